// Linux: the process's start, its command line, threads and buffers.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "platform/linux/linux.h"

static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle), "pthread_t fits a ThreadHandle");

namespace {
struct ThreadStart {
    ThreadProc proc;
    void* argument;
};

void* RunThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.proc(copy.argument);
    return nullptr;
}
}  // namespace

void StartPlatform() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself, as every lower one is open.
        open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    signal(SIGPIPE, SIG_IGN);
    // Past a file-size limit a write or reservation then fails with EFBIG
    // and its line, rather than the signal ending the dump unreported.
    signal(SIGXFSZ, SIG_IGN);
    StartConsole();
}

std::vector<std::string> CommandLine(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void* ObtainBuffer(size_t length, ErrorCode& error) {
    void* buffer = nullptr;
    int failure = posix_memalign(&buffer, IO_ALIGN, length);
    if (failure != 0) {
        error = static_cast<ErrorCode>(failure);
        return nullptr;
    }
    return buffer;
}

void ReleaseBuffer(void* buffer, size_t /*length*/) { free(buffer); }

bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error) {
    auto* start = new ThreadStart{proc, argument};
    pthread_t id;
    int failure = pthread_create(&id, nullptr, RunThread, start);
    if (failure != 0) {
        delete start;
        error = static_cast<ErrorCode>(failure);
        return false;
    }
    thread = static_cast<ThreadHandle>(id);
    return true;
}

void WaitThread(ThreadHandle thread) {
    auto id = static_cast<pthread_t>(thread);
    for (;;) {
        timespec deadline {};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 250000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000;
        }
        if (pthread_timedjoin_np(id, nullptr, &deadline) != ETIMEDOUT) return;
        // The thread has not been joined, so it is there to be signalled;
        // the signal cuts short what it is blocked in (EINTR).
        if (Interrupted()) pthread_kill(id, NotedSignalNumber());
    }
}

unsigned ProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

// Windows: the process's start, its command line, threads and buffers.
#include "platform/windows/windows.h"

#include <process.h>

// msvcrt's own splitting of the wide command line, by the rules that built
// the narrow argv; CommandLineToArgvW would bring in shell32.
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand,
                                      int* start_info);

namespace {
struct ThreadStart {
    ThreadProc proc;
    void* argument;
};

unsigned __stdcall RunThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    return copy.proc(copy.argument);
}
}  // namespace

void StartPlatform() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    StartConsole();
}

std::vector<std::string> CommandLine(int argc, char** argv) {
    int count = 0, start_info = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    if (__wgetmainargs(&count, &wide, &environment, 0, &start_info) != 0 || wide == nullptr)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int n = 0; n < count; ++n) arguments.push_back(Narrow(wide[n]));
    return arguments;
}

void* ObtainBuffer(size_t length, ErrorCode& error) {
    // VirtualAlloc gives page-aligned memory; the heap only 8-byte aligned.
    void* buffer = VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (buffer == nullptr) error = GetLastError();
    return buffer;
}

void ReleaseBuffer(void* buffer, size_t /*length*/) { VirtualFree(buffer, 0, MEM_RELEASE); }

bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error) {
    auto* start = new ThreadStart{proc, argument};
    // _beginthreadex, not CreateThread: the thread calls the C runtime.
    uintptr_t handle = _beginthreadex(nullptr, 0, RunThread, start, 0, nullptr);
    if (handle == 0) {
        error = GetLastError();
        delete start;
        return false;
    }
    thread = static_cast<ThreadHandle>(handle);
    return true;
}

void WaitThread(ThreadHandle thread) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

// The process's affinity, which a user may narrow (start /affinity); a
// 32-bit process sees at most 32 processors of its group.
unsigned ProcessorCount() {
    DWORD_PTR process = 0, system = 0;
    unsigned count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process != 0; process &= process - 1) ++count;
    return count > 0 ? count : 1;
}

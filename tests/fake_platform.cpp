#include "tests/fake_platform.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <malloc.h>
#include <cstring>
#include <thread>

#include "platform/platform.h"

FakeState* Fake = new FakeState;

void ResetFake(uint64_t drive_size) {
    delete Fake;
    Fake = new FakeState;
    Fake->drive_size = drive_size;
}

// Each 512-byte sector of the drive is filled with one byte of its own, so
// a shifted, repeated or stale sector shows, and sectors copy with memset.
uint8_t Pattern(uint64_t offset) {
    uint64_t sector = offset / 512 + 1;
    return static_cast<uint8_t>((sector * 2654435761u) >> 7 ^ sector);
}

bool ImageMatches(uint64_t length) {
    if (Fake->image.size() < length) return false;
    for (uint64_t at = 0; at < length; at += 512) {
        uint64_t run = std::min<uint64_t>(512, length - at);
        const uint8_t* sector = Fake->image.data() + at;
        if (sector[0] != Pattern(at) ||
            std::memcmp(sector, sector + 1, run - 1) != 0)
            return false;
    }
    return true;
}

bool ImageMatchesDrive() {
    return Fake->image.size() == Fake->drive_size && ImageMatches(Fake->drive_size);
}

namespace {
constexpr FileHandle DRIVE = 3, IMAGE = 4;

// The Windows C runtime has no aligned_alloc.
#ifdef _WIN32
void* AlignedAlloc(size_t length) { return _aligned_malloc(length, IO_ALIGN); }
void AlignedFree(void* buffer) { _aligned_free(buffer); }
#else
void* AlignedAlloc(size_t length) { return std::aligned_alloc(IO_ALIGN, length); }
void AlignedFree(void* buffer) { std::free(buffer); }
#endif

bool Aligned(const void* buffer, size_t length) {
    return reinterpret_cast<uintptr_t>(buffer) % IO_ALIGN == 0 && length % IO_ALIGN == 0;
}
}  // namespace

void StartPlatform() {}

std::vector<std::string> CommandLine(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string ConsoleText(const std::string& argument) { return argument; }

ErrorCode EndOfDriveCode() { return 5; }
ErrorCode InvalidParameterCode() { return 22; }

bool QueryDriveSize(const std::string& drive, uint64_t& total) {
    if (drive != Fake->drive_name) return false;
    total = Fake->drive_size;
    return true;
}

std::string DevicePath(const std::string& drive) { return "dev:" + drive; }

FileHandle OpenDrive(const std::string& device_path, ErrorCode& error) {
    if (Fake->open_error != 0 || device_path != "dev:" + Fake->drive_name) {
        error = Fake->open_error;
        return -1;
    }
    Fake->drive_position = 0;
    return DRIVE;
}

bool SharesStorage(FileHandle drive, const std::string&) { return drive == DRIVE && Fake->image_is_drive; }

FileHandle CreateImage(const std::string&, uint64_t total, ErrorCode& error) {
    if (Fake->create_error != 0) {
        error = Fake->create_error;
        return -1;
    }
    Fake->image.clear();
    Fake->image_position = 0;
    Fake->image_exists = true;
    Fake->reserved = total;
    return IMAGE;
}

size_t DriveReadUnit() { return 512; }

int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error) {
    if (drive != DRIVE || reinterpret_cast<uintptr_t>(buffer) % 512 != 0) Fake->misaligned_io = true;
    uint64_t& at = Fake->drive_position;
    if (at >= Fake->fail_read_from) {
        error = 23;
        return -1;
    }
    uint64_t end = std::min(Fake->drive_size, Fake->drive_ends_at);
    uint64_t count = std::min<uint64_t>({length, Fake->max_read, end > at ? end - at : 0});
    for (uint64_t done = 0; done < count;) {
        uint64_t run = std::min(count - done, 512 - (at + done) % 512);
        std::memset(static_cast<uint8_t*>(buffer) + done, Pattern(at + done), run);
        done += run;
    }
    at += count;
    return static_cast<int64_t>(count);
}

namespace {
int64_t Write(const void* buffer, size_t length, ErrorCode& error) {
    if (Fake->write_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(Fake->write_delay_ms));
    if (Fake->image_position >= Fake->fail_write_from) {
        error = 27;
        return -1;
    }
    size_t count = std::min(length, Fake->max_write);
    uint64_t end = Fake->image_position + count;
    if (Fake->image.size() < end) Fake->image.resize(end);
    std::memcpy(Fake->image.data() + Fake->image_position, buffer, count);
    Fake->image_position = end;
    return static_cast<int64_t>(count);
}
}  // namespace

int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (image != IMAGE || !Aligned(buffer, length) || Fake->tail_written) Fake->misaligned_io = true;
    return Write(buffer, length, error);
}

int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (image != IMAGE || length >= IO_ALIGN ||
        (!Fake->tail_written && Fake->image_position % IO_ALIGN != 0))
        Fake->misaligned_io = true;
    Fake->tail_written = true;
    return Write(buffer, length, error);
}

bool FlushImage(FileHandle, ErrorCode& error) {
    error = Fake->flush_error;
    return Fake->flush_error == 0;
}

bool CloseFile(FileHandle, ErrorCode&) { return true; }

void* ObtainBuffer(size_t length, ErrorCode& error) {
    if (++Fake->obtained_buffers == Fake->fail_obtain_number) {
        error = 12;
        return nullptr;
    }
    int live = ++Fake->live_buffers;
    int peak = Fake->peak_buffers.load();
    while (live > peak && !Fake->peak_buffers.compare_exchange_weak(peak, live)) {
    }
    return AlignedAlloc(length);
}

void ReleaseBuffer(void* buffer, size_t) {
    --Fake->live_buffers;
    AlignedFree(buffer);
}

bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error) {
    if (Fake->thread_error != 0) {
        error = Fake->thread_error;
        return false;
    }
    thread = reinterpret_cast<ThreadHandle>(new std::thread(proc, argument));
    return true;
}

void WaitThread(ThreadHandle thread) {
    auto* running = reinterpret_cast<std::thread*>(thread);
    running->join();
    delete running;
}

void WriteStdout(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(Fake->console_lock);
    Fake->console += bytes;
}

void Pause() { Fake->paused = true; }

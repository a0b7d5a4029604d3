// Windows: what the drive and the image rooms share, the handle they hold
// and the checks on unbuffered transfers.
#include "platform/windows/windows.h"

// A pointer from new is aligned to more than 2, so halved it loses nothing
// and stays positive where the process owns the top half of a 32-bit
// address space (large-address-aware): the engine takes a negative handle
// for none.
FileHandle HandOut(HANDLE handle, const std::wstring& path, bool character) {
    if (handle == INVALID_HANDLE_VALUE) return -1;
    auto* held = new HeldFile;
    held->handle = handle;
    held->path = path;
    held->character = character;
    return static_cast<FileHandle>(reinterpret_cast<uintptr_t>(held) >> 1);
}

HeldFile& Held(FileHandle file) { return *reinterpret_cast<HeldFile*>(static_cast<uintptr_t>(file) << 1); }

bool Position(HANDLE file, uint64_t& position) {
    LARGE_INTEGER zero{}, now{};
    if (!SetFilePointerEx(file, zero, &now, FILE_CURRENT)) return false;
    position = static_cast<uint64_t>(now.QuadPart);
    return true;
}

// FILE_FLAG_NO_BUFFERING needs sector-aligned buffers, lengths and offsets.
// Wine does not enforce that, so the rule is checked here, where a broken
// one shows under test instead of only on a real Windows volume.
bool UnbufferedTransferIsAligned(HANDLE file, const void* buffer, size_t length,
                                 uint64_t length_unit, ErrorCode& error) {
    uint64_t position = 0;
    if (!Position(file, position)) {
        error = GetLastError();
        return false;
    }
    if (reinterpret_cast<uintptr_t>(buffer) % IO_ALIGN != 0 || length % length_unit != 0 ||
        position % length_unit != 0) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    return true;
}

bool Control(HANDLE device, DWORD code, void* out, DWORD out_size) {
    DWORD returned = 0;
    return DeviceIoControl(device, code, nullptr, 0, out, out_size, &returned, nullptr) != 0;
}

namespace {
// The hold is an exclusive lock on one byte past the end of any file, where
// a lock is no error (LockFileEx's remarks) and no read or write reaches: the
// share mode has to stay open to reading and writing for this process's own
// second handles (the tail's, the flush's), and a lock bars only I/O on its
// own range. Any 64-bit offset is one to lock at but a range that wraps past
// the last (MS-FSA's byte-range lock). A lock goes with the handle that took
// it, but one left at a close the system frees only when it gets to it
// (LockFileEx's remarks), so it is let go of first.
constexpr ULONGLONG HOLD_BYTE = 0xFFFFFFFFFFFFFFFEull;

OVERLAPPED HoldAt() {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(HOLD_BYTE);
    at.OffsetHigh = static_cast<DWORD>(HOLD_BYTE >> 32);
    return at;
}
}  // namespace

bool HoldAlone(HANDLE file, bool& held, ErrorCode& error) {
    OVERLAPPED at = HoldAt();
    held = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
    if (held) return true;
    DWORD code = GetLastError();
    // A file system without byte-range locks holds nothing, as one without
    // allocations reserves nothing: the dump goes on without.
    if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED) return true;
    error = code;
    return false;
}

void LetGo(HANDLE file) {
    OVERLAPPED at = HoldAt();
    UnlockFileEx(file, 0, 1, 0, &at);
}

bool CloseFile(FileHandle file, ErrorCode& error) {
    HeldFile* held = &Held(file);
    if (held->held_alone) LetGo(held->handle);
    bool closed = CloseHandle(held->handle) != 0;
    if (!closed) error = GetLastError();
    for (HANDLE volume : held->volume_locks) CloseHandle(volume);
    delete held;
    return closed;
}

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

bool CloseFile(FileHandle file, ErrorCode& error) {
    HeldFile* held = &Held(file);
    bool closed = CloseHandle(held->handle) != 0;
    if (!closed) error = GetLastError();
    for (HANDLE volume : held->volume_locks) CloseHandle(volume);
    delete held;
    return closed;
}

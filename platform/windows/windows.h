// Windows, inside the platform: what its rooms (drive, image, storage,
// console, hash, process, text, list) hand one another. Every code is taken
// from GetLastError right after the failing call, before a CloseHandle on
// the way out can replace it.
#pragma once

#include <windows.h>
// After windows.h, whose types it takes.
#include <winioctl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

constexpr DWORD SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Volumes are read in sectors of at least 512 bytes, and the last read asks
// for exactly what remains: past the volume's end it would fail with
// ERROR_INVALID_PARAMETER. Only that read may be shorter than IO_ALIGN.
constexpr uint64_t SECTOR = 512;

// A drive or image as the platform holds it; a FileHandle points to one
// (HandOut), so that what a drive or image was opened as travels with its
// handle rather than in a variable every room could reach.
struct HeldFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    // The drive: the path it was opened by, to refuse an image that shares
    // its storage. The image: its own path; its last bytes go through a
    // second, buffered handle.
    std::wstring path;
    // The image is a character device (NUL): no sectors, no cache, no flush.
    bool character = false;
    // A whole disk as the drive: the handles that hold the locks of its
    // volumes, closed with it, as a lock lasts as long as its handle.
    std::vector<HANDLE> volume_locks;
};

// The handle of handle, opened by path, which then belongs to it; -1 for
// INVALID_HANDLE_VALUE.
FileHandle HandOut(HANDLE handle, const std::wstring& path, bool character = false);
HeldFile& Held(FileHandle file);
inline HANDLE HandleOf(FileHandle file) { return Held(file).handle; }

// windows.cpp
bool Control(HANDLE device, DWORD code, void* out = nullptr, DWORD out_size = 0);
bool Position(HANDLE file, uint64_t& position);
bool UnbufferedTransferIsAligned(HANDLE file, const void* buffer, size_t length, uint64_t length_unit,
                                 ErrorCode& error);

// An output buffer aligned for the structures the queries fill in.
using Buffer = std::vector<ULONGLONG>;
inline Buffer BufferOf(size_t bytes) { return Buffer((bytes + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG)); }

// drive.cpp
bool DeviceLength(HANDLE device, uint64_t& length);
size_t SectorSize(HANDLE device);
// What a disk or volume's device descriptor tells (the storage property
// query, which needs no access rights): false where it tells nothing.
struct StorageFacts {
    std::string model;   // vendor and product, as the device reports them
    std::string serial;
    DWORD bus = 0;       // a STORAGE_BUS_TYPE
    bool removable = false;
};
bool QueryStorage(HANDLE device, StorageFacts& facts);

// storage.cpp
std::wstring VolumeOf(const std::wstring& path);
std::wstring VolumeDevice(const std::wstring& volume);
std::vector<DWORD> VolumeDisks(HANDLE volume);
bool OpenedSharesStorage(const HeldFile& drive, HANDLE image, const std::wstring& opened_path, bool device);

// text.cpp
std::wstring Wide(const std::string& text, UINT code_page = CP_UTF8);
std::string Narrow(const std::wstring& wide, UINT code_page = CP_UTF8);
bool StartsWith(const std::wstring& text, const std::wstring& prefix);
bool SameText(const std::wstring& a, const std::wstring& b);
bool IsLetterAt(const std::wstring& text, size_t at);
bool IsDevicePath(const std::wstring& path);
std::wstring DeviceSpelling(const std::wstring& path);
std::wstring LongPath(const std::string& path);

// console.cpp: picks the console's encoding; once, at start-up.
void StartConsole();

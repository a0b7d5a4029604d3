// The operating-system operations the dump engine needs. One implementation
// per OS (posix.cpp, win32.cpp) and a fake one for the engine's tests; the
// engine never asks which one it runs on.
//
// Every operation that can fail takes an ErrorCode& and, on failure, stores
// the OS's own code there at the failing call (errno, GetLastError), before
// any cleanup inside the operation can overwrite it. On success the code is
// left untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An open drive or image: a file descriptor or a HANDLE, widened.
using FileHandle = intptr_t;
// The platform's last-error code, printed in decimal.
using ErrorCode = uint32_t;
// The writer's thread, kept only to wait for it.
using ThreadHandle = uintptr_t;
// A thread procedure: one pointer-sized argument, a 32-bit result.
using ThreadProc = uint32_t (*)(void* argument);

// Unbuffered transfers need buffers, lengths and offsets on this boundary;
// 4096 covers every sector size in use (512 and 4096).
constexpr size_t IO_ALIGN = 4096;

// Error codes the engine reports for conditions the OS itself does not flag.
// A read that returns no data before the drive's planned end.
ErrorCode EndOfDriveCode();
// An image path that names the drive itself.
ErrorCode InvalidParameterCode();

// Sets total to the drive's exact size in bytes. Returns false when the text
// names no drive; such a failure has no code worth printing.
bool QueryDriveSize(const std::string& drive, uint64_t& total);

// The path a drive is opened by (Windows prefixes "\\.\" to the drive text).
std::string DevicePath(const std::string& drive);

// Opens the drive for unbuffered reading from offset 0; -1 on failure.
FileHandle OpenDrive(const std::string& device_path, ErrorCode& error);

// True when path already exists and is the very file or device open as drive.
bool IsSameFile(FileHandle drive, const std::string& path);

// Creates the image anew (an existing file is emptied) for unbuffered writing
// from offset 0; -1 on failure.
FileHandle CreateImage(const std::string& path, ErrorCode& error);

// The unit the drive's last read is rounded up to: a volume's tail is whole
// sectors and a read past its end fails on Windows; O_DIRECT on Linux reads
// whole 4096-byte blocks and returns short at the end of a device or file.
size_t DriveReadUnit();

// Reads up to length bytes at the current position into an IO_ALIGN-aligned
// buffer; returns the bytes read, 0 at the end of the drive, -1 on an error.
// Fewer than asked with no error is not the end: ask again for the rest.
int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error);

// Writes up to length bytes from an IO_ALIGN-aligned buffer at the current
// position; returns the bytes written (at least 1), or -1 on an error.
// Fewer than asked with no error means write the rest again.
int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error);

// Gives the image exactly size bytes, cut or extended, where the image is a
// regular file; a device keeps its own size. False on failure.
bool SetImageSize(FileHandle image, uint64_t size, ErrorCode& error);

// Brings the image's data and size to stable storage. False on failure.
bool FlushImage(FileHandle image, ErrorCode& error);

// Closes a drive or image. False on failure (the handle is gone either way).
bool CloseFile(FileHandle file, ErrorCode& error);

// Returns length bytes aligned to IO_ALIGN, not cleared, or nullptr.
void* ObtainBuffer(size_t length, ErrorCode& error);

// Returns a buffer from ObtainBuffer to the system.
void ReleaseBuffer(void* buffer, size_t length);

// Starts proc(argument) on a new thread. False when it cannot be started.
bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error);

// Returns once the thread has ended.
void WaitThread(ThreadHandle thread);

// Hands bytes to standard output in one call and flushes them, so that a
// line is never split by the other thread's marks and marks show at once.
void WriteStdout(const std::string& bytes);

// Prints the "press any key" prompt and waits for one key; returns at once
// when standard input is closed.
void Pause();

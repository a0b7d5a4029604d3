// First phase of a dump: echo, size query and plan.
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"
#include "platform/platform.h"

int32_t ChunkCount = 0;

int32_t CountChunks(uint64_t total) {
    return static_cast<int32_t>((total + CHUNK_BYTES - 1) / CHUNK_BYTES);
}

uint64_t RoundUp(uint64_t length, uint64_t unit) { return (length + unit - 1) / unit * unit; }

uint64_t RoundDown(uint64_t length, uint64_t unit) { return length / unit * unit; }

bool PlanDump(const std::string& drive, const std::string& image, uint64_t& total) {
    PrintLine(ConsoleMessage(MSG_DRIVE) + EchoText(drive));
    PrintLine(ConsoleMessage(MSG_IMAGE) + EchoText(image));
    ErrorCode error = 0;
    if (!QueryDriveSize(drive, total, error)) {
        if (error != 0) {
            PrintFailureOrInterrupt(MSG_OPEN_FAILED, error);
        } else {
            PrintMessage(MSG_INVALID_DRIVE);
        }
        return false;
    }
    ChunkCount = CountChunks(total);
    PrintLine(ConsoleMessage(MSG_DRIVE_SIZE) + std::to_string(total / MIB) + MSG_MB);
    PrintLine(ConsoleMessage(MSG_CACHE_SIZE) + std::to_string(CHUNK_BYTES / MIB) + MSG_MB);
    PrintLine(ConsoleMessage(MSG_CHUNKS) + std::to_string(ChunkCount) + ConsoleMessage(MSG_CHUNKS_UNIT));
    return true;
}

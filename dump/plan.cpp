// First phase of a dump: echo, size query and plan (dump.h).
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"
#include "platform/platform.h"

int32_t CountChunks(uint64_t total) {
    return static_cast<int32_t>((total + CHUNK_BYTES - 1) / CHUNK_BYTES);
}

uint64_t RoundUp(uint64_t length, uint64_t unit) { return (length + unit - 1) / unit * unit; }

uint64_t RoundDown(uint64_t length, uint64_t unit) { return length / unit * unit; }

void EchoDump(const std::string& drive, const std::string& image) {
    PrintLine(ConsoleMessage(MSG_DRIVE) + EchoText(drive));
    PrintLine(ConsoleMessage(MSG_IMAGE) + EchoText(image));
}

bool SizeDrive(const std::string& drive, uint64_t& total) {
    ErrorCode error = 0;
    if (!QueryDriveSize(drive, total, error)) {
        if (error != 0) {
            PrintFailureOrInterrupt(MSG_OPEN_FAILED, error);
        } else {
            PrintMessage(MSG_INVALID_DRIVE);
        }
        return false;
    }
    return true;
}

DumpPlan PlanDump(uint64_t total) { return {total, CountChunks(total)}; }

void PrintPlan(const DumpPlan& plan) {
    PrintLine(ConsoleMessage(MSG_DRIVE_SIZE) + std::to_string(plan.total / MIB) + MSG_MB);
    PrintLine(ConsoleMessage(MSG_CACHE_SIZE) + std::to_string(CHUNK_BYTES / MIB) + MSG_MB);
    PrintLine(ConsoleMessage(MSG_CHUNKS) + std::to_string(plan.chunks) + ConsoleMessage(MSG_CHUNKS_UNIT));
}

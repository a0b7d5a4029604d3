#include "dump/progress.h"

#include <chrono>

#include "dump/dump.h"
#include "platform/platform.h"

namespace {
using Clock = std::chrono::steady_clock;

// Set before the writer starts and read after it ends; in between only the
// writer touches them.
bool Showing = false;
std::string Drive;
uint64_t Total = 0, Start = 0, Written = 0;
Clock::time_point Started, Shown;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Duration(uint64_t seconds) {
    auto two = [](uint64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    if (seconds >= 3600) return std::to_string(seconds / 3600) + ":" + two(seconds / 60 % 60) + ":" + two(seconds % 60);
    return std::to_string(seconds / 60) + ":" + two(seconds % 60);
}
}  // namespace

std::string ProgressTitle(const std::string& drive, uint64_t written, uint64_t total, double seconds,
                          uint64_t start) {
    uint64_t percent = total == 0 ? 100 : written * 100 / total;
    std::string title = "korvex " + drive + " " + std::to_string(percent) + "%";
    double speed = seconds > 0 && written > start ? static_cast<double>(written - start) / seconds : 0;
    if (written <= start || speed < 1) return title;
    title += " " + std::to_string(static_cast<uint64_t>(speed / MIB)) + " MB/s";
    return title + " " + Duration(static_cast<uint64_t>(static_cast<double>(total - written) / speed + 0.5));
}

void StartProgress(const std::string& drive, uint64_t total, uint64_t start) {
    Showing = StartTitle();
    Drive = drive;
    Total = total;
    Start = start;
    Written = 0;
    Started = Shown = Clock::now();
    if (Showing) ShowTitle(ProgressTitle(Drive, Start, Total, 0, Start));
}

void ReportWritten(uint64_t bytes) {
    Written += bytes;
    if (!Showing || Since(Shown) < 1.0) return;
    Shown = Clock::now();
    ShowTitle(ProgressTitle(Drive, Start + Written, Total, Since(Started), Start));
}

uint64_t WrittenBytes() { return Written; }

void EndProgress() {
    if (Showing) EndTitle();
    Showing = false;
}

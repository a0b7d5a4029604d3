// How far a dump is, in the console window's or terminal's title (never in
// the transcript): percent of the drive written, speed and time left.
#pragma once

#include <cstdint>
#include <string>

// Before the writer starts; the bytes before start were written before
// (a dump that goes on where one stopped).
void StartProgress(const std::string& drive, uint64_t total, uint64_t start = 0);

// Writer: bytes more are written. Shows them at most once a second.
void ReportWritten(uint64_t bytes);

// After the writer has ended: the title as it was.
void EndProgress();

// Bytes the writer wrote in this dump: read once it has ended.
uint64_t WrittenBytes();

// The title for written of total bytes after seconds: "korvex E: 37% 85 MB/s
// 4:12"; speed and time left once there is a speed to tell.
// The speed is of the bytes after start.
std::string ProgressTitle(const std::string& drive, uint64_t written, uint64_t total, double seconds,
                          uint64_t start = 0);

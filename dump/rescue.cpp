#include "dump/rescue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "dump/console.h"
#include "dump/dump.h"
#include "dump/rescue_reads.h"

namespace {
std::string Hex(uint64_t number) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(number));
    return text;
}

std::string TimeText(std::time_t when) {
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&when));
    return text;
}

const char* PhaseText(char phase, int pass) {
    switch (phase) {
        case NOT_TRIMMED: return "# Trimming failed blocks...";
        case NOT_SCRAPED: return "# Scraping failed blocks...";
        default: return pass == 1   ? "# Copying non-tried blocks... Pass 1 (forwards)"
                        : pass == 2 ? "# Copying non-tried blocks... Pass 2 (backwards)"
                                    : "# Copying non-tried blocks... Pass 3 (forwards)";
    }
}
}  // namespace

DriveMap::DriveMap(uint64_t total, const std::string& command_line)
    : total_(total), command_(command_line), started_(static_cast<int64_t>(std::time(nullptr))) {
    if (total > 0) areas_.push_back({0, total, NOT_TRIED});
    drive_.size = total;
}

void DriveMap::Identify(const DriveIdentity& drive) {
    std::lock_guard<std::mutex> hold(lock_);
    drive_ = drive;
    drive_.size = total_;
    ++changes_;
}

void DriveMap::FirstBytesRead(const std::string& digest) {
    std::lock_guard<std::mutex> hold(lock_);
    drive_.first_sha256 = digest;
    ++changes_;
}

uint64_t DriveMap::Changes() const {
    std::lock_guard<std::mutex> hold(lock_);
    return changes_;
}

void DriveMap::Mark(uint64_t pos, uint64_t size, char status) {
    std::lock_guard<std::mutex> hold(lock_);
    ++changes_;
    uint64_t end = std::min(pos + size, total_);
    if (pos >= end) return;
    auto holding = [this](uint64_t at) {
        return std::upper_bound(areas_.begin(), areas_.end(), at,
                                [](uint64_t value, const MapArea& area) { return value < area.pos; }) -
               1;
    };
    auto first = holding(pos), last = holding(end - 1);
    std::vector<MapArea> pieces;
    if (first->pos < pos) pieces.push_back({first->pos, pos - first->pos, first->status});
    pieces.push_back({pos, end - pos, status});
    if (last->pos + last->size > end) pieces.push_back({end, last->pos + last->size - end, last->status});
    size_t index = static_cast<size_t>(first - areas_.begin());
    areas_.erase(first, last + 1);
    areas_.insert(areas_.begin() + static_cast<std::ptrdiff_t>(index), pieces.begin(), pieces.end());
    // Only the pieces and their two neighbours can now stand beside one of
    // their own status.
    size_t from = index > 0 ? index - 1 : 0, to = std::min(areas_.size(), index + pieces.size() + 1);
    for (size_t at = from; at + 1 < to;) {
        if (areas_[at].status == areas_[at + 1].status) {
            areas_[at].size += areas_[at + 1].size;
            areas_.erase(areas_.begin() + static_cast<std::ptrdiff_t>(at) + 1);
            --to;
        } else {
            ++at;
        }
    }
}

void DriveMap::Restore(const std::vector<MapArea>& areas, uint64_t from) {
    std::lock_guard<std::mutex> hold(lock_);
    ++changes_;
    areas_.clear();
    auto add = [this](uint64_t pos, uint64_t size, char status) {
        if (size == 0) return;
        if (!areas_.empty() && areas_.back().status == status)
            areas_.back().size += size;
        else
            areas_.push_back({pos, size, status});
    };
    for (const MapArea& area : areas)
        if (area.pos < from) add(area.pos, std::min(area.size, from - area.pos), area.status);
    if (from < total_) add(from, total_ - from, NOT_TRIED);
}

const MapArea& DriveMap::At(uint64_t pos) const {
    return *(std::upper_bound(areas_.begin(), areas_.end(), pos,
                              [](uint64_t value, const MapArea& area) { return value < area.pos; }) -
             1);
}

uint64_t DriveMap::UnreadBytes() const {
    uint64_t bytes = 0;
    for (const MapArea& area : areas_)
        if (area.status != READ) bytes += area.size;
    return bytes;
}

void DriveMap::StartPhase(char status, int pass) {
    std::lock_guard<std::mutex> hold(lock_);
    ++changes_;
    phase_ = status;
    pass_ = pass;
}

std::string DriveMap::Text(uint64_t held_to, bool finished) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<MapArea> listed;
    for (const MapArea& area : areas_) {
        if (area.pos >= held_to) break;
        listed.push_back({area.pos, std::min(area.size, held_to - area.pos), area.status});
    }
    if (total_ > held_to) {
        if (!listed.empty() && listed.back().status == NOT_TRIED)
            listed.back().size += total_ - held_to;
        else
            listed.push_back({held_to, total_ - held_to, NOT_TRIED});
    }
    std::string text = "# Mapfile. Created by korvex " KORVEX_VERSION "\n";
    // A line end in an argument would end the comment: ddrescue reads the
    // rest as the status line.
    text += "# Command line: " + EscapeLineEnds(command_, false) + "\n";
    text += "# Start time:   " + TimeText(static_cast<std::time_t>(started_)) + "\n";
    text += "# Current time: " + TimeText(std::time(nullptr)) + "\n";
    text += DriveLines(drive_);
    text += std::string(finished ? "# Finished" : PhaseText(phase_, pass_)) + "\n";
    text += "# current_pos  current_status  current_pass\n";
    // ddrescue goes on from the position only while copying; the later
    // phases go over the whole map again.
    uint64_t position = finished ? total_ : phase_ == NOT_TRIED && pass_ == 1 ? held_to : 0;
    text += Hex(position) + "     " + (finished ? READ : phase_) + "               " + std::to_string(pass_) + "\n";
    text += "#      pos        size  status\n";
    for (const MapArea& area : listed) text += Hex(area.pos) + "  " + Hex(area.size) + "  " + area.status + "\n";
    return text;
}

uint64_t DriveMap::BytesBound(uint64_t lines) const {
    // A line is at most two 18-character numbers, the status and the
    // blanks; the text's own lines are those of a map of one area.
    constexpr uint64_t LINE = 2 * 18 + 6;
    std::string text = Text(0, false);
    std::lock_guard<std::mutex> hold(lock_);
    return text.size() + DriveLinesBound(drive_) - DriveLines(drive_).size() + (areas_.size() + lines) * LINE;
}

int ReadAt(FileHandle drive, uint64_t at, uint64_t length, uint64_t sector, char* buffer, uint64_t& got,
           ErrorCode& failed, ErrorCode& error) {
    // A failed read leaves the position to the system: every read sets its own.
    got = 0;
    if (!SeekDrive(drive, at, error)) return -1;
    uint64_t ask = RoundUp(length, sector);
    int64_t read = ReadDrive(drive, buffer, ask, failed);
    if (read == 0) {
        error = EndOfDriveCode();
        return -1;
    }
    if (read < 0) return READ_FAILED;
    got = std::min<uint64_t>(static_cast<uint64_t>(read), length);
    if (got == length) return READ_ALL;
    // The rest of a sector cannot be asked for on its own: one that came
    // back in part was not read.
    got = RoundDown(got, sector);
    failed = 0;
    return got > 0 ? READ_SHORT : READ_FAILED;
}

bool StillThere(const DriveMap& map, FileHandle drive, uint64_t at, ErrorCode failed) {
    if (DriveGone(failed)) return false;
    uint64_t sector = DriveSectorSize(drive), good = UINT64_MAX;
    // The read sector nearest below at, else above it: one whole sector
    // inside an area read.
    for (const MapArea& area : map.Areas()) {
        if (area.status != READ) continue;
        uint64_t first = RoundUp(area.pos, sector), end = area.pos + area.size;
        if (first + sector > end) continue;
        if (area.pos < at) {
            good = RoundDown(std::min(end, at) - sector, sector);
            if (good < first) good = first;
        } else {
            if (good == UINT64_MAX) good = first;
            break;
        }
    }
    if (good == UINT64_MAX) return true;
    ErrorCode ignored = 0;
    void* scratch = ObtainBuffer(std::max<uint64_t>(sector, IO_ALIGN), ignored);
    if (scratch == nullptr) return true;
    ErrorCode code = 0;
    uint64_t got = 0;
    bool read = ReadAt(drive, good, sector, sector, static_cast<char*>(scratch), got, code, ignored) == READ_ALL;
    ReleaseBuffer(scratch, std::max<uint64_t>(sector, IO_ALIGN));
    return read;
}

bool Skipping(const CopyPhase& copy, uint64_t offset) { return offset < copy.skip_to || copy.skip != 0; }

namespace {
// Skips double while blocks keep failing, up to a hundredth of the drive
// (at most 1 GiB), so that a dead area costs a failed read per doubling
// rather than per block, and the skip never leaps over much of a drive.
uint64_t MaxSkip(uint64_t total) {
    uint64_t hundredth = RoundDown(std::min<uint64_t>(total / 100, 1024 * MIB), RESCUE_BLOCK);
    return std::max(hundredth, RESCUE_BLOCK);
}
}  // namespace

Rescued RescueTransfer(CopyPhase& copy, FileHandle drive, char* data, uint64_t offset, uint64_t length,
                       ErrorCode& error) {
    DriveMap& map = copy.map;
    uint64_t sector = copy.sector;
    uint64_t end = std::min(offset + length, map.Total());
    // The transfer is asked for at once unless the reader is skipping, and
    // so is the rest of it after a block that read behind a failed one: a
    // lone bad sector costs no more reads than that.
    bool whole = !Skipping(copy, offset);
    for (uint64_t at = offset; at < end;) {
        if (Interrupted()) return STOPPED;
        if (at < copy.skip_to) {
            uint64_t to = std::min(copy.skip_to, end);
            std::memset(data + (at - offset), 0, to - at);
            map.Mark(at, to - at, NOT_TRIED);
            at = to;
            continue;
        }
        uint64_t block_end = std::min(RoundDown(at, RESCUE_BLOCK) + RESCUE_BLOCK, end);
        uint64_t to = whole ? end : block_end;
        ErrorCode failed = 0;
        uint64_t got = 0;
        int read = ReadAt(drive, at, to - at, sector, data + (at - offset), got, failed, error);
        if (read < 0) return NOT_RESCUED;
        map.Mark(at, got, READ);
        at += got;
        if (read == READ_ALL) {
            whole = copy.skip != 0;
            copy.skip = 0;
            continue;
        }
        // A read that stopped short has met the trouble, at its own cost:
        // the block there counts as failed without a read of its own.
        if (read == READ_FAILED) {
            if (!StillThere(map, drive, at, failed)) {
                error = failed;
                return NOT_RESCUED;
            }
            bool rest_failed = whole && to > block_end;
            whole = false;
            if (rest_failed) continue;
        }
        whole = false;
        // The map grows only where a block fails: by it, the skip after it
        // and the read data after that.
        if (!copy.room.keep(copy.room.context, map.BytesBound(3), error)) return NO_MAP_ROOM;
        block_end = std::min(RoundDown(at, RESCUE_BLOCK) + RESCUE_BLOCK, end);
        std::memset(data + (at - offset), 0, block_end - at);
        map.Mark(at, block_end - at, NOT_TRIMMED);
        copy.skip = copy.skip == 0 ? RESCUE_BLOCK : std::min(2 * copy.skip, MaxSkip(map.Total()));
        copy.skip_to = block_end + copy.skip;
        at = block_end;
    }
    return SeekDrive(drive, offset + length, error) ? RESCUED : NOT_RESCUED;
}

#include "dump/rescue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

bool Rescuing = false;

namespace {
struct Block {
    uint64_t pos, size;
    char status;  // '-' bad sector, '?' not tried
};

// Written by the reader only, read once it has ended; in drive order.
std::vector<Block> Unread;
uint64_t Total = 0;
std::string Command;
std::time_t Started = 0;

void List(uint64_t pos, uint64_t size, char status) {
    if (size == 0) return;
    if (!Unread.empty() && Unread.back().status == status && Unread.back().pos + Unread.back().size == pos) {
        Unread.back().size += size;
        return;
    }
    Unread.push_back({pos, size, status});
}

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
}  // namespace

void StartRescueMap(uint64_t total, const std::string& command_line) {
    Unread.clear();
    Total = total;
    Command = command_line;
    Started = std::time(nullptr);
}

namespace {
// Reads the sector at at into piece, through scratch: a sector inside a
// chunk lies on a sector boundary only, and an unbuffered read may need its
// buffer on a wider one (4096 bytes on Windows). -1 with the code on a
// failure; a short read counts as none.
int64_t ReadSector(FileHandle drive, void* scratch, uint64_t at, uint64_t sector, char* piece, uint64_t need,
                   ErrorCode& error) {
    // Each sector is tried once in this pass; its own position is set, as a
    // failed read leaves the position to the system.
    if (!SeekDrive(drive, at, error)) return -2;
    int64_t read = ReadDrive(drive, scratch, sector, error);
    if (read >= static_cast<int64_t>(need)) std::memcpy(piece, scratch, need);
    return read;
}

// The last sector below before that the drive gave: every byte it did not
// give is listed. False when there is none.
bool LastReadSector(uint64_t before, uint64_t sector, uint64_t& good) {
    if (before < sector) return false;
    good = (before - sector) / sector * sector;
    for (auto block = Unread.rbegin(); block != Unread.rend(); ++block) {
        if (block->pos >= good + sector) continue;
        if (block->pos + block->size <= good) break;
        if (block->pos < sector) return false;
        good = (block->pos - sector) / sector * sector;
    }
    return true;
}

// A failed read after reads that worked may be a drive that went away
// without saying so: a USB drive pulled out, or the server behind a loop
// device ended, both answer EIO like a bad sector. A sector that read
// before and fails now tells them apart.
bool StillThere(FileHandle drive, void* scratch, uint64_t at, uint64_t sector) {
    uint64_t good = 0;
    ErrorCode ignored = 0;
    return !LastReadSector(at, sector, good) ||
           (SeekDrive(drive, good, ignored) && ReadDrive(drive, scratch, sector, ignored) > 0);
}
}  // namespace

bool RescueTransfer(FileHandle drive, char* data, uint64_t offset, uint64_t length, ErrorCode& error) {
    uint64_t sector = DriveSectorSize(drive);
    uint64_t end = std::min(offset + length, Total), bad_run = 0;
    void* scratch = ObtainBuffer(IO_ALIGN, error);
    if (scratch == nullptr) return false;
    struct Release {
        void* buffer;
        ~Release() { ReleaseBuffer(buffer, IO_ALIGN); }
    } release{scratch};
    for (uint64_t at = offset; at < end; at += sector) {
        if (Interrupted()) return false;
        uint64_t need = std::min(sector, end - at);
        char* piece = data + (at - offset);
        ErrorCode failed = 0;
        int64_t read = ReadSector(drive, scratch, at, sector, piece, need, failed);
        if (read == -2 || read == 0) {
            error = read == 0 ? EndOfDriveCode() : failed;
            return false;
        }
        // A drive that is gone (unplugged, its server ended) has no bad
        // sectors: every read from here on would fail.
        if (read < 0 && (DriveGone(failed) || (bad_run == 0 && !StillThere(drive, scratch, at, sector)))) {
            error = failed;
            return false;
        }
        if (read >= static_cast<int64_t>(need)) {
            bad_run = 0;
            continue;
        }
        std::memset(piece, 0, need);
        List(at, need, '-');
        bad_run += need;
        if (bad_run >= RESCUE_GIVE_UP && at + need < end) {
            std::memset(piece + need, 0, end - at - need);
            List(at + need, end - at - need, '?');
            break;
        }
    }
    return SeekDrive(drive, offset + length, error);
}

uint64_t MapBytesBound(uint64_t length, uint64_t sector) {
    // A line is at most two 18-character numbers, the status and the
    // blanks; besides the listed blocks there are read ones between them,
    // one before and one after.
    constexpr uint64_t LINE = 2 * 18 + 6;
    uint64_t lines = 2 * Unread.size() + 2 + (sector == 0 ? 0 : length / sector + 1);
    return RescueMapText(0, false).size() + lines * LINE;
}

uint64_t UnreadBytes(uint64_t end) {
    uint64_t bytes = 0;
    for (const Block& block : Unread)
        if (block.pos < end) bytes += std::min(block.size, end - block.pos);
    return bytes;
}

std::string RescueMapText(uint64_t done, bool finished) {
    std::vector<Block> blocks;
    uint64_t at = 0;
    for (const Block& block : Unread) {
        if (block.pos >= done) break;
        if (block.pos > at) blocks.push_back({at, block.pos - at, '+'});
        uint64_t size = std::min(block.size, done - block.pos);
        blocks.push_back({block.pos, size, block.status});
        at = block.pos + size;
    }
    if (done > at) blocks.push_back({at, done - at, '+'});
    if (Total > done) blocks.push_back({done, Total - done, '?'});
    std::string text = "# Mapfile. Created by korvex " KORVEX_VERSION "\n";
    // A line end in an argument would end the comment: ddrescue reads the
    // rest as the status line.
    std::string command;
    for (char c : Command) command += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    text += "# Command line: " + command + "\n";
    text += "# Start time:   " + TimeText(Started) + "\n";
    text += "# Current time: " + TimeText(std::time(nullptr)) + "\n";
    text += finished ? "# Finished\n" : "# Copying non-tried blocks... Pass 1 (forwards)\n";
    text += "# current_pos  current_status  current_pass\n";
    text += Hex(done) + "     " + (finished ? "+" : "?") + "               1\n";
    text += "#      pos        size  status\n";
    for (const Block& block : blocks) text += Hex(block.pos) + "  " + Hex(block.size) + "  " + block.status + "\n";
    return text;
}

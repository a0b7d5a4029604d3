// The rescue's phases after copying (rescue.h): far edges, trimming,
// scraping. They read the drive out of order and put what they read into
// the image in place, through one buffer laid out as the image is, in
// IO_ALIGN blocks.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "dump/dump.h"
#include "dump/rescue.h"
#include "dump/rescue_reads.h"
#include "dump/rewrite.h"

namespace {
using Clock = std::chrono::steady_clock;

class Phases {
public:
    Phases(DriveMap& map, FileHandle drive, FileHandle image, MapRoom room, MapKeeping kept, uint64_t failed_reads)
        : map_(map), drive_(drive), image_(image), room_(room), kept_(kept), failed_reads_(failed_reads),
          sector_(DriveSectorSize(drive)) {}
    ~Phases() {
        if (buffer_ != nullptr) ReleaseBuffer(buffer_, BUFFER_BYTES);
        if (scratch_ != nullptr) ReleaseBuffer(scratch_, ScratchBytes());
    }
    Rescued Run(bool& rewrote, ErrorCode& error);

private:
    // The far edges' longest read, and the most a run of sectors gathers
    // before it goes into the image.
    static constexpr uint64_t BUFFER_BYTES = TRANSFER_BYTES;
    uint64_t ScratchBytes() const { return std::max<uint64_t>(sector_, IO_ALIGN); }

    Rescued FarEdge(uint64_t from, uint64_t to);
    Rescued CopySkipped(uint64_t from, uint64_t to);
    Rescued Trim(uint64_t from, uint64_t to);
    Rescued Scrape(uint64_t from, uint64_t to);
    // One sector (the drive's last may be cut short) at at: 1 read and
    // added to the run at its lower end (downwards) or its upper one, 0
    // failed and listed bad, -1 with the reason to stop.
    int Sector(uint64_t at, bool downwards, Rescued& stop);
    // The run gathered, [run_from_, run_to_), goes into the image, read.
    bool PutRun();
    bool Failed(uint64_t at, ErrorCode failed, Rescued& stop);
    bool Spent() const { return failures_ >= failed_reads_; }
    // Before each read: an interrupt stops the phases, and the map beside
    // the partial file is kept current.
    Rescued Step();
    // That map brought up to date, where the map changed since it was.
    Rescued KeepMap();

    DriveMap& map_;
    FileHandle drive_, image_;
    MapRoom room_;
    MapKeeping kept_;
    uint64_t kept_changes_ = UINT64_MAX;  // the map's count of changes as last kept
    Clock::time_point kept_at_ = Clock::now();
    uint64_t failed_reads_, failures_ = 0;
    uint64_t sector_;
    char* buffer_ = nullptr;   // drive bytes from base_ on
    char* scratch_ = nullptr;  // one sector, aligned as a whole buffer must be
    uint64_t base_ = 0, run_from_ = 0, run_to_ = 0;
    bool rewrote_ = false;
    ErrorCode error_ = 0;
};

Rescued Phases::Run(bool& rewrote, ErrorCode& error) {
    buffer_ = static_cast<char*>(ObtainBuffer(BUFFER_BYTES, error));
    scratch_ = buffer_ == nullptr ? nullptr : static_cast<char*>(ObtainBuffer(ScratchBytes(), error));
    if (scratch_ == nullptr) return NOT_RESCUED;
    const uint64_t total = map_.Total();
    Rescued result = RESCUED;
    // Each pass goes over the areas of its status in drive order; an area's
    // work changes only its own bytes.
    auto pass = [&](char status, Rescued (Phases::*work)(uint64_t, uint64_t)) {
        for (uint64_t pos = 0; pos < total && result == RESCUED;) {
            MapArea area = map_.At(pos);
            pos = area.pos + area.size;
            if (area.status == status) result = (this->*work)(area.pos, pos);
        }
    };
    // A phase starts only where the one before it ended well; the map's
    // header names the last that ran. Trimming goes again after the third
    // copying pass, whose failed blocks have edges beside what it read.
    // The map beside the partial file tells what each phase found before
    // the next one begins: the copy's last chunk, first.
    auto phase = [&](char status, int pass_number, bool bounded, Rescued (Phases::*work)(uint64_t, uint64_t)) {
        if (result == RESCUED) result = KeepMap();
        if (result != RESCUED || (bounded && Spent())) return;
        map_.StartPhase(status, pass_number);
        pass(status, work);
    };
    phase(NOT_TRIED, 2, false, &Phases::FarEdge);
    phase(NOT_TRIMMED, 1, true, &Phases::Trim);
    phase(NOT_TRIED, 3, true, &Phases::CopySkipped);
    phase(NOT_TRIMMED, 1, true, &Phases::Trim);
    phase(NOT_SCRAPED, 1, true, &Phases::Scrape);
    rewrote = rewrote_;
    if (result != RESCUED) error = error_;
    return result;
}

Rescued Phases::Step() {
    if (Interrupted()) return STOPPED;
    return Clock::now() - kept_at_ < MAP_KEPT_EVERY ? RESCUED : KeepMap();
}

Rescued Phases::KeepMap() {
    uint64_t changes = map_.Changes();
    kept_at_ = Clock::now();
    if (changes == kept_changes_) return RESCUED;
    Rescued kept = kept_.keep(kept_.context, map_, error_);
    if (kept == RESCUED) kept_changes_ = changes;
    return kept;
}

bool Phases::Failed(uint64_t at, ErrorCode failed, Rescued& stop) {
    if (!StillThere(map_, drive_, at, failed)) {
        error_ = failed;
        stop = NOT_RESCUED;
        return false;
    }
    if (!room_.keep(room_.context, map_.BytesBound(2), error_)) {
        stop = NO_MAP_ROOM;
        return false;
    }
    return true;
}

bool Phases::PutRun() {
    if (run_to_ > run_from_) {
        if (!PatchImage(image_, map_.Total(), buffer_, base_, run_from_, run_to_, error_)) return false;
        map_.Mark(run_from_, run_to_ - run_from_, READ);
        rewrote_ = true;
    }
    run_from_ = run_to_ = 0;
    return true;
}

// A skipped area is searched from its far end only where read data lies
// beyond it: there the dead area it belongs to ends inside it. Reads grow
// while they work; the block that fails is the far edge, and the rest stays
// not tried, most likely the dead area itself.
Rescued Phases::FarEdge(uint64_t from, uint64_t to) {
    if (to < map_.Total() && map_.At(to).status != READ) return RESCUED;
    uint64_t size = RESCUE_BLOCK;
    for (uint64_t at = to; at > from;) {
        if (Rescued stepped = Step(); stepped != RESCUED) return stepped;
        uint64_t start = at % RESCUE_BLOCK != 0 ? RoundDown(at, RESCUE_BLOCK) : at - std::min(size, at);
        start = std::max(start, from);
        ErrorCode failed = 0;
        uint64_t got = 0;
        int read = ReadAt(drive_, start, at - start, sector_, buffer_, got, failed, error_);
        if (read < 0) return NOT_RESCUED;
        if (read == READ_ALL) {
            if (!PatchImage(image_, map_.Total(), buffer_, start, start, at, error_)) return NOT_WRITTEN;
            map_.Mark(start, at - start, READ);
            rewrote_ = true;
            at = start;
            size = std::min<uint64_t>(2 * size, BUFFER_BYTES);
            continue;
        }
        Rescued stop = RESCUED;
        if (!Failed(start, failed, stop)) return stop;
        if (at - start > RESCUE_BLOCK) {
            size = RESCUE_BLOCK;
            continue;
        }
        map_.Mark(start, at - start, NOT_TRIMMED);
        break;
    }
    return RESCUED;
}

// What the skips left between failed blocks, forwards, without skipping:
// readable data there lies between bad areas. Every failed read counts
// against the bound, so that a dead area's inside costs no more than it.
Rescued Phases::CopySkipped(uint64_t from, uint64_t to) {
    uint64_t size = RESCUE_BLOCK;
    for (uint64_t at = from; at < to && !Spent();) {
        if (Rescued stepped = Step(); stepped != RESCUED) return stepped;
        uint64_t end = std::min(to, RoundDown(at + size, RESCUE_BLOCK));
        if (end <= at) end = std::min(to, RoundDown(at, RESCUE_BLOCK) + RESCUE_BLOCK);
        ErrorCode failed = 0;
        uint64_t got = 0;
        int read = ReadAt(drive_, at, end - at, sector_, buffer_, got, failed, error_);
        if (read < 0) return NOT_RESCUED;
        if (got > 0) {
            if (!PatchImage(image_, map_.Total(), buffer_, at, at, at + got, error_)) return NOT_WRITTEN;
            map_.Mark(at, got, READ);
            rewrote_ = true;
            at += got;
        }
        if (read == READ_ALL) {
            size = std::min<uint64_t>(2 * size, BUFFER_BYTES);
            continue;
        }
        ++failures_;
        Rescued stop = RESCUED;
        if (read == READ_FAILED && !Failed(at, failed, stop)) return stop;
        if (read == READ_FAILED && end - at > RESCUE_BLOCK) {
            size = RESCUE_BLOCK;
            continue;
        }
        // As while copying, a read that stopped short gives up the block
        // where it stopped.
        uint64_t block_end = std::min(to, RoundDown(at, RESCUE_BLOCK) + RESCUE_BLOCK);
        if (!room_.keep(room_.context, map_.BytesBound(2), error_)) return NO_MAP_ROOM;
        map_.Mark(at, block_end - at, NOT_TRIMMED);
        at = block_end;
        size = RESCUE_BLOCK;
    }
    return RESCUED;
}

int Phases::Sector(uint64_t at, bool downwards, Rescued& stop) {
    uint64_t length = std::min(sector_, map_.Total() - at);
    ErrorCode failed = 0;
    uint64_t got = 0;
    int read = ReadAt(drive_, at, length, sector_, scratch_, got, failed, error_);
    if (read < 0) {
        stop = NOT_RESCUED;
        return -1;
    }
    if (read == READ_ALL) {
        bool joins = run_to_ > run_from_ && (downwards ? at + length == run_from_ && at >= base_
                                                       : at == run_to_ && at + length <= base_ + BUFFER_BYTES);
        if (!joins) {
            if (!PutRun()) {
                stop = NOT_WRITTEN;
                return -1;
            }
            // Room for the run to grow the way it goes.
            uint64_t room = BUFFER_BYTES - IO_ALIGN;
            base_ = downwards ? RoundDown(std::max(at + length, room) - room, IO_ALIGN) : RoundDown(at, IO_ALIGN);
            run_from_ = at;
            run_to_ = at + length;
        } else if (downwards) {
            run_from_ = at;
        } else {
            run_to_ = at + length;
        }
        std::memcpy(buffer_ + (at - base_), scratch_, length);
        return 1;
    }
    ++failures_;
    if (!PutRun()) {
        stop = NOT_WRITTEN;
        return -1;
    }
    if (!Failed(at, failed, stop)) return -1;
    map_.Mark(at, length, BAD_SECTOR);
    return 0;
}

// Only an edge beside bytes that were tried (or the drive's own end) is
// trimmed: the edge of a failed block beside a skipped area is no edge of
// the bad area, until the third copying pass has tried that area. The
// area is trimmed once every such edge has met a bad sector (or the other
// edge); what lies between is then not scraped.
Rescued Phases::Trim(uint64_t from, uint64_t to) {
    bool front = from == 0 || map_.At(from - 1).status != NOT_TRIED;
    bool back = to == map_.Total() || map_.At(to).status != NOT_TRIED;
    uint64_t low = from, high = to;
    bool front_met = !front, back_met = !back;
    Rescued stop = RESCUED;
    while (!front_met && low < high && !Spent()) {
        if (Rescued stepped = Step(); stepped != RESCUED) return stepped;
        int read = Sector(low, false, stop);
        if (read < 0) return stop;
        low = std::min(low + sector_, high);
        front_met = read == 0 || low == high;
    }
    if (!PutRun()) return NOT_WRITTEN;
    while (!back_met && low < high && !Spent()) {
        if (Rescued stepped = Step(); stepped != RESCUED) return stepped;
        uint64_t at = std::max(RoundDown(high - 1, sector_), low);
        int read = Sector(at, true, stop);
        if (read < 0) return stop;
        high = at;
        back_met = read == 0 || low == high;
    }
    if (!PutRun()) return NOT_WRITTEN;
    if ((front || back) && front_met && back_met && low < high) map_.Mark(low, high - low, NOT_SCRAPED);
    return RESCUED;
}

Rescued Phases::Scrape(uint64_t from, uint64_t to) {
    Rescued stop = RESCUED;
    for (uint64_t at = from; at < to && !Spent(); at += sector_) {
        if (Rescued stepped = Step(); stepped != RESCUED) return stepped;
        if (Sector(at, false, stop) < 0) return stop;
    }
    return PutRun() ? RESCUED : NOT_WRITTEN;
}
}  // namespace

Rescued FinishRescue(DriveMap& map, FileHandle drive, FileHandle image, MapRoom room, MapKeeping kept,
                     uint64_t failed_reads, bool& rewrote, ErrorCode& error) {
    return Phases(map, drive, image, room, kept, failed_reads).Run(rewrote, error);
}

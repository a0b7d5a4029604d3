// Names shared by the parts of the dump engine and its entry routine.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "dump/codec.h"

// The size of every chunk buffer.
constexpr uint32_t CHUNK_BYTES = 0x4000000;  // 64 MiB
constexpr uint64_t MIB = 1048576;
// Reads ask for at most this much, and the writer is told of each piece as
// it lands and writes whatever has landed since its last write: at either
// end of a dump one device waits for a piece, not for a whole chunk.
constexpr uint32_t TRANSFER_BYTES = 16 * MIB;
// The most one write is handed, an interrupt looked for between them:
// Windows ends a process within seconds of its console being closed, and a
// slow stick takes longer than that over a whole chunk, so the partial
// file and its map are kept in time only if the writer stops soon.
constexpr uint32_t WRITE_BYTES = 4 * MIB;
// While bytes are added, the partial file's map is brought up to date at
// least this often (and after each chunk written): on a slow drive a chunk
// can take minutes.
constexpr std::chrono::seconds MAP_KEPT_EVERY{5};

// Chunks needed for total bytes, counted from the exact byte count so that a
// tail shorter than a chunk (or than a MiB) is still read.
int32_t CountChunks(uint64_t total);

// length rounded up, or down, to a multiple of unit.
uint64_t RoundUp(uint64_t length, uint64_t unit);
uint64_t RoundDown(uint64_t length, uint64_t unit);

// The first steps of a dump, in this order: the arguments echoed, the
// drive sized, the plan made and printed.

// What a dump copies: the drive's bytes, and the chunks that carry them,
// which the reader, the writer and the hasher are each handed.
struct DumpPlan {
    uint64_t total;
    int32_t chunks;
    // Where the reading begins: 0, or where a dump that stopped goes on
    // (a multiple of IO_ALIGN); the chunks cover the bytes from there.
    uint64_t start = 0;
};

// Echoes the drive and the image as the user gave them.
void EchoDump(const std::string& drive, const std::string& image);

// The drive's size in total. False, after the open failure's line or the
// invalid-drive line, when the drive cannot be opened or has no size.
bool SizeDrive(const std::string& drive, uint64_t& total);

// The plan for a drive of total bytes.
DumpPlan PlanDump(uint64_t total);

// The plan's lines: the drive's size, the cache's and the chunks.
void PrintPlan(const DumpPlan& plan);

enum DumpOutcome {
    DUMP_FAILED,    // its line printed; the image path holds no new image
    DUMP_REFUSED,   // its line printed: what the image is cannot take what was asked (a usage error);
                    // nothing was read or written
    DUMP_COMPLETE,  // every byte of the drive in the image, named and flushed
    DUMP_RESCUED,   // named too, with zeros where the drive could not be read
    DUMP_NAMED_ONLY,  // its line printed; the new image has the name, not its whole set or not flushed
};

// The failed reads a rescue's trimming and scraping spend, unless told
// otherwise (rescue.h).
constexpr uint64_t DEFAULT_FAILED_READS = 100;

// How a dump is asked for.
struct DumpRequest {
    // Unreadable sectors do not end the dump (rescue.h), and failed_reads
    // bounds its trimming and scraping.
    bool rescue = false;
    uint64_t failed_reads = DEFAULT_FAILED_READS;
    std::string command_line;  // names the run in the map and the record it leaves
    ImageFormat format = RAW;  // compressed at level (codec.h); never with rescue
    int level = 0;
    // Before the image takes its name, it is read back from its storage
    // and compared with what was written (verify.h); only an image that
    // can be read back (ImageRewritable) takes it.
    bool verify = false;
    // The dump that stopped goes on (resume.h): its partial file and map, or
    // a rescued image and its map.
    bool resume = false;
};

// Copies the whole drive into the image: complete only when the image is
// complete and flushed, with its fingerprint and record beside a file
// image; every failure has printed its line. An image that is no file
// (a device, a pipe, the null device) gets neither, and the drive's
// SHA-256 is printed as sha256sum prints it; it cannot be compressed.
DumpOutcome DumpDrive(const std::string& drive, const std::string& image, const DumpRequest& request);

// The same, compressed as the image's name says at its default level.
DumpOutcome DumpDrive(const std::string& drive, const std::string& image, bool rescue = false,
                      const std::string& command_line = "", uint64_t failed_reads = DEFAULT_FAILED_READS);

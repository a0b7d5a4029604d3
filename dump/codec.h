// The image's format, told by its name: raw, or compressed as zstd, gzip or
// xz. A compressed image is cut into pieces compressed independently (zstd
// frames, gzip members, xz blocks of one stream), so that pieces can be
// compressed on every processor at once and still be one file that every
// standard decoder reads whole. One room per format: codec_zstd.cpp,
// codec_gzip.cpp, codec_xz.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

enum ImageFormat { RAW, ZSTD, GZIP, XZ };

// By the name's ending, as the standard tools name their files, in any
// case (Windows names have none): ".zst", ".gz", ".xz"; RAW otherwise.
ImageFormat FormatOfName(const std::string& path);

// "raw", "zstd", "gzip", "xz": as the acquisition record names the format.
const char* FormatName(ImageFormat format);

// The format's own tool's default level: zstd 3, gzip 6, xz 6.
int DefaultLevel(ImageFormat format);

// The levels the format's own tool takes without extra options: zstd 1 to
// 19, gzip 1 to 9, xz 0 to 9.
bool LevelInRange(ImageFormat format, int level);

// The drive bytes each piece holds: a piece never spans two chunks, since a
// chunk's buffer goes back to the reader once its pieces are written.
constexpr size_t PIECE_BYTES = 16 * 1024 * 1024;

// One worker's compressor: its state is its own, used by one thread at once.
class Encoder {
public:
    virtual ~Encoder() = default;
    // Compresses length bytes (at most PIECE_BYTES) into out, which holds
    // Codec::Bound(length) bytes; sets written, and record to what the
    // stream's end must know of the piece (Codec::Written). False when the
    // library fails.
    virtual bool Compress(const char* data, size_t length, char* out, size_t& written, uint64_t& record) = 0;
};

// A format's stream: its head, the encoders that compress its pieces, and
// its end, which may have to know every piece (an xz index).
class Codec {
public:
    virtual ~Codec() = default;
    // The most a piece of length bytes can take, compressed.
    virtual size_t Bound(size_t length) const = 0;
    // The memory one encoder takes: the workers are as many as fit the
    // pool's bound.
    virtual uint64_t EncoderMemory() const = 0;
    // nullptr when the library cannot make one (no memory).
    virtual std::unique_ptr<Encoder> NewEncoder() const = 0;
    // The bytes before the first piece.
    virtual std::string Head() const = 0;
    // Writer, in order: a piece of length drive bytes went out, with the
    // record its encoder set.
    virtual bool Written(uint64_t record, size_t length) = 0;
    // The bytes after the last piece; empty and false when they cannot be
    // made.
    virtual bool Tail(std::string& bytes) = 0;
};

// The codec of a compressed format at level; nullptr for RAW.
std::unique_ptr<Codec> NewCodec(ImageFormat format, int level);

std::unique_ptr<Codec> NewZstdCodec(int level);
std::unique_ptr<Codec> NewGzipCodec(int level);
std::unique_ptr<Codec> NewXzCodec(int level);

#include "dump/codec.h"

#include <cctype>

namespace {
bool EndsWith(const std::string& path, const char* suffix) {
    std::string end(suffix);
    if (path.size() <= end.size()) return false;
    for (size_t n = 0; n < end.size(); ++n)
        if (std::tolower(static_cast<unsigned char>(path[path.size() - end.size() + n])) != end[n]) return false;
    return true;
}
}  // namespace

ImageFormat FormatOfName(const std::string& path) {
    if (EndsWith(path, ".zst")) return ZSTD;
    if (EndsWith(path, ".gz")) return GZIP;
    if (EndsWith(path, ".xz")) return XZ;
    return RAW;
}

const char* FormatName(ImageFormat format) {
    switch (format) {
        case ZSTD: return "zstd";
        case GZIP: return "gzip";
        case XZ: return "xz";
        case RAW: break;
    }
    return "raw";
}

int DefaultLevel(ImageFormat format) { return format == ZSTD ? 3 : 6; }

bool LevelInRange(ImageFormat format, int level) {
    switch (format) {
        case ZSTD: return level >= 1 && level <= 19;
        case GZIP: return level >= 1 && level <= 9;
        case XZ: return level >= 0 && level <= 9;
        case RAW: break;
    }
    return false;
}

std::unique_ptr<Codec> NewCodec(ImageFormat format, int level) {
    switch (format) {
        case ZSTD: return NewZstdCodec(level);
        case GZIP: return NewGzipCodec(level);
        case XZ: return NewXzCodec(level);
        case RAW: break;
    }
    return nullptr;
}

#include "dump/fingerprint.h"

#include "dump/console.h"

std::string FileName(const std::string& image) { return image.substr(FileNameStart(image)); }

std::string FingerprintPath(const std::string& image) { return image + ".sha256"; }

std::string DigestHex(const uint8_t (&digest)[DIGEST_BYTES]) {
    static const char HEX[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : digest) {
        hex += HEX[byte >> 4];
        hex += HEX[byte & 15];
    }
    return hex;
}

std::string FingerprintLine(const uint8_t (&digest)[DIGEST_BYTES], const std::string& image) {
    std::string line = DigestHex(digest), plain = FileName(image), name = EscapeLineEnds(plain, true);
    bool escaped = name != plain;
    return (escaped ? "\\" : "") + line + "  " + name + "\n";
}

#include "dump/fingerprint.h"

#include "dump/console.h"

std::string FileName(const std::string& image) { return image.substr(FileNameStart(image)); }

std::string FingerprintPath(const std::string& image) { return image + ".sha256"; }

std::string FingerprintLine(const uint8_t (&digest)[DIGEST_BYTES], const std::string& image) {
    static const char HEX[] = "0123456789abcdef";
    std::string line, plain = FileName(image), name = EscapeLineEnds(plain, true);
    for (uint8_t byte : digest) {
        line += HEX[byte >> 4];
        line += HEX[byte & 15];
    }
    bool escaped = name != plain;
    return (escaped ? "\\" : "") + line + "  " + name + "\n";
}

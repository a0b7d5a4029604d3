#include "dump/fingerprint.h"

#include <cctype>

#include "dump/console.h"
#include "dump/messages.h"

namespace {
std::string FileName(const std::string& image) {
    size_t start = image.find_last_of("/\\");
    start = start == std::string::npos ? 0 : start + 1;
    // "E:e.img" names e.img in the current folder of E:.
    if (start == 0 && image.size() > 2 && image[1] == ':' && std::isalpha(static_cast<unsigned char>(image[0])))
        start = 2;
    return image.substr(start);
}
}  // namespace

std::string FingerprintPath(const std::string& image) { return image + ".sha256"; }

std::string FingerprintLine(const uint8_t (&digest)[DIGEST_BYTES], const std::string& image) {
    static const char HEX[] = "0123456789abcdef";
    std::string line;
    for (uint8_t byte : digest) {
        line += HEX[byte >> 4];
        line += HEX[byte & 15];
    }
    return line + "  " + FileName(image) + "\n";
}

bool RemoveFingerprint(const std::string& image) {
    ErrorCode error = 0;
    if (RemoveFile(FingerprintPath(image), error)) return true;
    PrintFailure(MSG_FINGERPRINT_FAILED, error);
    return false;
}

bool WriteFingerprint(const std::string& image, const uint8_t (&digest)[DIGEST_BYTES]) {
    ErrorCode error = 0;
    if (WriteSmallFile(FingerprintPath(image), FingerprintLine(digest, image), error)) return true;
    PrintFailure(MSG_FINGERPRINT_FAILED, error);
    return false;
}

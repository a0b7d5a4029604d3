// The fingerprint beside a file image: IMAGE.sha256, one line as sha256sum
// writes it, so that `sha256sum -c` checks the image wherever it is copied.
#pragma once

#include <string>

#include "platform/platform.h"

// The fingerprint's path: the image path as given, with ".sha256" appended.
std::string FingerprintPath(const std::string& image);

// The image's file name as the fingerprint names it: the path's last
// component (see FileNameStart); empty when the path names no file.
std::string FileName(const std::string& image);

// The digest as 64 lowercase hex digits.
std::string DigestHex(const uint8_t (&digest)[DIGEST_BYTES]);

// 64 lowercase hex digits, two blanks, the image's file name and an LF, on
// every system alike; a name with a backslash or a line end is escaped as
// sha256sum escapes it (a leading "\", then "\\", "\n" and "\r").
std::string FingerprintLine(const uint8_t (&digest)[DIGEST_BYTES], const std::string& image);

// The command line: options, then the drive and the image.
#pragma once

#include <string>
#include <vector>

struct Options {
    bool rescue = false;
    bool help = false;
    bool version = false;
    std::string unknown;             // the first option not known, if any
    std::vector<std::string> paths;  // the drive, the image, and whatever follows
};

// Arguments before the drive that begin with "-" are options (a "-" alone
// is not); "--" ends them, so that a drive whose name begins with "-" can
// be given.
Options ParseOptions(const std::vector<std::string>& arguments);

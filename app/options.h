// The command line: options and the operands (the drive, the image).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dump/dump.h"

struct Options {
    bool rescue = false;
    uint64_t failed_reads = DEFAULT_FAILED_READS;  // --max-failed-reads
    std::string bad_value;              // the first option whose value is not one, as given
    bool help = false;
    bool version = false;
    bool list = false;                  // --list: the drives there are, no dump
    std::string unknown;                // the first option not known, if any
    std::vector<std::string> operands;  // the drive, the image, and whatever follows, in order
};

// As GNU programs read theirs: an argument that begins with "-" is an
// option wherever it stands, before or after the drive and the image, up
// to "--"; every argument after "--" is an operand, so that a name that
// begins with "-" can be given. A "-" alone is an operand.
Options ParseOptions(const std::vector<std::string>& arguments);

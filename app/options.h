// The command line: options and the operands (the drive, the image).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dump/dump.h"

struct Options {
    bool rescue = false;
    uint64_t failed_reads = DEFAULT_FAILED_READS;  // --max-failed-reads
    int level = -1;                     // --level, -1 when not given
    std::string level_text;             // --level as given, with its value
    bool verify = false;                // --verify: the image read back before it takes its name
    bool resume = false;                // --resume: the dump that stopped goes on
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

// The line (a message of messages.h) that refuses the options for an image
// of format, or nullptr: a level for a raw image, a rescue into a
// compressed one (its later phases write into bytes written before), a
// compressed one resumed (a partial file of whole pieces has no map to go
// on from), a level out of the format's range (MSG_BAD_VALUE, with the option as
// given in bad_value).
const char* RefuseForImage(const Options& options, ImageFormat format, std::string& bad_value);

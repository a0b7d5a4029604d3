#include "app/options.h"

#include "dump/messages.h"

namespace {
// A count in decimal digits only, as large as it fits.
bool ParseCount(const std::string& text, uint64_t& count) {
    if (text.empty()) return false;
    count = 0;
    for (char c : text) {
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (c < '0' || c > '9' || count > (UINT64_MAX - digit) / 10) return false;
        count = count * 10 + digit;
    }
    return true;
}

// An option that takes a count: its value is the next argument, or follows
// "=". False when argument is not that option; a value that is no count is
// kept as the first bad one.
bool TakeCount(const std::string& name, const std::vector<std::string>& arguments, size_t& at, uint64_t& count,
               Options& options) {
    const std::string& argument = arguments[at];
    if (argument.compare(0, name.size(), name) != 0 || (argument.size() > name.size() && argument[name.size()] != '='))
        return false;
    bool joined = argument.size() > name.size();
    std::string value = joined ? argument.substr(name.size() + 1)
                               : at + 1 < arguments.size() ? arguments[++at] : std::string();
    if (!ParseCount(value, count) && options.bad_value.empty())
        options.bad_value = joined || value.empty() ? argument : argument + " " + value;
    return true;
}
}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
    Options options;
    bool ended = false;
    for (size_t at = 1; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        uint64_t level = 0;
        if (ended || argument.size() < 2 || argument[0] != '-') {
            options.operands.push_back(argument);
        } else if (argument == "--") {
            ended = true;
        } else if (argument == "--rescue") {
            options.rescue = true;
        } else if (argument == "--resume") {
            options.resume = true;
        } else if (argument == "--verify") {
            options.verify = true;
        } else if (TakeCount("--max-failed-reads", arguments, at, options.failed_reads, options)) {
        } else if (TakeCount("--level", arguments, at, level, options)) {
            // Kept as given, up to a bound no format reaches, for the
            // format to judge once the image's name is known.
            options.level = static_cast<int>(level < 1000 ? level : 1000);
            options.level_text = arguments[at].compare(0, 7, "--level") == 0 ? arguments[at]
                                                                              : "--level " + arguments[at];
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version" || argument == "-V") {
            options.version = true;
        } else if (argument == "--list") {
            options.list = true;
        } else if (options.unknown.empty()) {
            options.unknown = argument;
        }
    }
    return options;
}

const char* RefuseForImage(const Options& options, ImageFormat format, std::string& bad_value) {
    if (format == RAW) return options.level < 0 ? nullptr : MSG_LEVEL_RAW;
    if (options.rescue) return MSG_COMPRESS_RESCUE;
    if (options.resume) return MSG_COMPRESS_RESUME;
    if (options.level >= 0 && !LevelInRange(format, options.level)) {
        bad_value = options.level_text;
        return MSG_BAD_VALUE;
    }
    return nullptr;
}

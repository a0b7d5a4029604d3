#include "app/options.h"

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
}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
    static const std::string FAILED_READS = "--max-failed-reads";
    Options options;
    bool ended = false;
    for (size_t at = 1; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (ended || argument.size() < 2 || argument[0] != '-') {
            options.operands.push_back(argument);
        } else if (argument == "--") {
            ended = true;
        } else if (argument == "--rescue") {
            options.rescue = true;
        } else if (argument.compare(0, FAILED_READS.size(), FAILED_READS) == 0 &&
                   (argument.size() == FAILED_READS.size() || argument[FAILED_READS.size()] == '=')) {
            // The value is the next argument, or follows "=".
            bool joined = argument.size() > FAILED_READS.size();
            std::string value = joined ? argument.substr(FAILED_READS.size() + 1)
                                       : at + 1 < arguments.size() ? arguments[++at] : std::string();
            if (!ParseCount(value, options.failed_reads) && options.bad_value.empty())
                options.bad_value = joined || value.empty() ? argument : argument + " " + value;
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

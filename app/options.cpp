#include "app/options.h"

#include <algorithm>
#include <cstddef>

Options ParseOptions(const std::vector<std::string>& arguments) {
    Options options;
    size_t at = 1;
    for (; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (argument == "--") {
            ++at;
            break;
        }
        if (argument == "--rescue") {
            options.rescue = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version" || argument == "-V") {
            options.version = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            if (options.unknown.empty()) options.unknown = argument;
        } else {
            break;
        }
    }
    options.paths.assign(arguments.begin() + static_cast<std::ptrdiff_t>(std::min(at, arguments.size())),
                         arguments.end());
    return options;
}

#include "app/options.h"

Options ParseOptions(const std::vector<std::string>& arguments) {
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
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version" || argument == "-V") {
            options.version = true;
        } else if (options.unknown.empty()) {
            options.unknown = argument;
        }
    }
    return options;
}

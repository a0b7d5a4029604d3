// korvex [--resume] [--rescue [--max-failed-reads N]] [--level N] [--verify] DRIVE IMAGE: copies the
// whole drive into the image file, compressed where the image's name ends in .zst, .gz or .xz, and with
// --verify reads it back before it takes its name; --resume goes on with the dump that stopped.
// korvex --list: the drives there are to copy.
// Exit status: 0 for a complete dump, for --list, --help and --version, and for the
// usage block of a program started without arguments (double-clicked);
// 1 after any reported failure that leaves the image path as it was; 2 for
// the usage block after a lone argument (the image forgotten), an unknown
// option, an option's value that is none, or options the image cannot take
// (a compressed image with --rescue or --resume, or into a device; --verify with an image that cannot be read
// back); 3 for a rescued image with unreadable bytes; 4 when the new image
// took its name but a step after that failed (its fingerprint or map not in
// place, the rename not flushed). A dump the user interrupted ends as an interrupted
// program does. Options may stand anywhere (options.h); operands after the
// image are ignored.
#include "app/list.h"
#include "app/options.h"
#include "app/usage.h"
#include "dump/dump.h"
#include "platform/platform.h"

namespace {
constexpr int EXIT_COMPLETE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_RESCUED = 3, EXIT_NAMED_ONLY = 4;

std::string Joined(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) line += (line.empty() ? "" : " ") + argument;
    return line;
}
}  // namespace

int main(int argc, char** argv) {
    StartPlatform();
    std::vector<std::string> arguments = CommandLine(argc, argv);
    Options options = ParseOptions(arguments);
    if (!options.unknown.empty()) {
        ShowUnknownOption(options.unknown);
        return EXIT_USAGE;
    }
    if (!options.bad_value.empty()) {
        ShowBadValue(options.bad_value);
        return EXIT_USAGE;
    }
    if (options.help) {
        ShowHelp();
        return EXIT_COMPLETE;
    }
    if (options.version) {
        ShowVersion();
        return EXIT_COMPLETE;
    }
    if (options.list) {
        ShowDrives();
        return EXIT_COMPLETE;
    }
    if (options.operands.size() < 2) {
        ShowUsage();
        return arguments.size() <= 1 ? EXIT_COMPLETE : EXIT_USAGE;
    }
    DumpRequest request;
    request.format = FormatOfName(ImageFilePath(options.operands[1]));
    std::string bad_value;
    if (const char* refusal = RefuseForImage(options, request.format, bad_value)) {
        ShowRefusal(refusal, bad_value);
        return EXIT_USAGE;
    }
    request.rescue = options.rescue;
    request.failed_reads = options.failed_reads;
    request.verify = options.verify;
    request.resume = options.resume;
    request.command_line = Joined(arguments);
    request.level = options.level >= 0 ? options.level : DefaultLevel(request.format);
    DumpOutcome outcome = DumpDrive(options.operands[0], options.operands[1], request);
    if (outcome == DUMP_FAILED && Interrupted()) EndAsInterrupted();
    switch (outcome) {
        case DUMP_COMPLETE: return EXIT_COMPLETE;
        case DUMP_RESCUED: return EXIT_RESCUED;
        case DUMP_NAMED_ONLY: return EXIT_NAMED_ONLY;
        case DUMP_REFUSED: return EXIT_USAGE;
        case DUMP_FAILED: break;
    }
    return EXIT_FAILED;
}

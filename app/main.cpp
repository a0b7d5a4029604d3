// korvex DRIVE IMAGE: copies the whole drive into the image file.
// Exit status: 0 for the usage block and a complete dump, 1 after any
// reported failure; a dump the user interrupted ends as an interrupted
// program does. Arguments after the second are ignored.
#include "app/usage.h"
#include "dump/dump.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    StartPlatform();
    std::vector<std::string> arguments = CommandLine(argc, argv);
    if (arguments.size() <= 2) {
        ShowUsage();
        return 0;
    }
    bool done = DumpDrive(arguments[1], arguments[2]);
    if (!done && Interrupted()) EndAsInterrupted();
    return done ? 0 : 1;
}

// korvex DRIVE IMAGE: copies the whole drive into the image file.
// Exit status: 0 for a complete dump and for the usage block of a program
// started without arguments (double-clicked), 1 after any reported failure,
// 2 for the usage block after a lone argument (the image forgotten); a dump
// the user interrupted ends as an interrupted program does. Arguments after
// the second are ignored.
#include "app/usage.h"
#include "dump/dump.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    StartPlatform();
    std::vector<std::string> arguments = CommandLine(argc, argv);
    if (arguments.size() <= 2) {
        ShowUsage();
        return arguments.size() == 2 ? 2 : 0;
    }
    bool done = DumpDrive(arguments[1], arguments[2]);
    if (!done && Interrupted()) EndAsInterrupted();
    return done ? 0 : 1;
}

// korvex DRIVE IMAGE: copies the whole drive into the image file.
// Exit status: 0 for the usage block and a complete dump, 1 after any
// reported failure. Arguments after the second are ignored.
#include "app/usage.h"
#include "dump/dump.h"

int main(int argc, char** argv) {
    if (argc <= 2) {
        ShowUsage();
        return 0;
    }
    return DumpDrive(argv[1], argv[2]) ? 0 : 1;
}

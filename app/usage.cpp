#include "app/usage.h"

#include "dump/console.h"
#include "dump/messages.h"
#include "platform/platform.h"

namespace {
void PrintUsageBlock() {
    PrintLine(MSG_BANNER);
    PrintLine("");
    PrintLine(MSG_USAGE);
    PrintMessage(MSG_USAGE_ZH);
    PrintLine("");
    PrintLine("");
}
}  // namespace

void ShowUsage() {
    PrintUsageBlock();
    Pause();
}

void ShowHelp() {
    PrintLine(MSG_BANNER);
    PrintLine("");
    for (const char* line : MSG_HELP_USAGE) PrintLine(line);
    PrintMessage(MSG_HELP_USAGE_ZH);
    PrintLine("");
    for (const char* line : MSG_HELP) PrintLine(line);
}

void ShowVersion() { PrintLine(MSG_VERSION); }

void ShowUnknownOption(const std::string& option) {
    PrintUsageBlock();
    PrintLine(ConsoleMessage(MSG_UNKNOWN_OPTION) + EchoText(option));
}

void ShowBadValue(const std::string& option) {
    PrintUsageBlock();
    PrintLine(ConsoleMessage(MSG_BAD_VALUE) + EchoText(option));
}

void ShowRefusal(const char* message, const std::string& given) {
    PrintUsageBlock();
    PrintLine(ConsoleMessage(message) + EchoText(given));
}

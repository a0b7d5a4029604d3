#include "dump/console.h"

#include "dump/messages.h"

void PrintLine(const std::string& text) { WriteStdout(text + "\n"); }

void PrintMessage(const char* message) { PrintLine(ConsoleMessage(message)); }

std::string InterruptLine() { return ConsoleMessage(MSG_INTERRUPTED); }

std::string FailureLine(const char* message, ErrorCode code) {
    if (Interrupted()) return InterruptLine();
    return ConsoleMessage(message) + std::to_string(code);
}

void PrintFailure(const char* message, ErrorCode code) { PrintLine(FailureLine(message, code)); }

void PrintMark(const char* mark) { WriteStdout(mark); }

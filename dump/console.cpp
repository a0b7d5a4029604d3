#include "dump/console.h"

void PrintLine(const std::string& text) { WriteStdout(text + "\n"); }

void PrintMessage(const char* message) { PrintLine(ConsoleMessage(message)); }

std::string FailureLine(const char* message, ErrorCode code) {
    return ConsoleMessage(message) + std::to_string(code);
}

void PrintFailure(const char* message, ErrorCode code) { PrintLine(FailureLine(message, code)); }

void PrintMark(const char* mark) { WriteStdout(mark); }

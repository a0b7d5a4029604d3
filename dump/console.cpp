#include "dump/console.h"

void PrintLine(const std::string& text) { WriteStdout(text + "\n"); }

std::string Message(const char* message) { return ConsoleMessage(message); }

void PrintMessage(const char* message) { PrintLine(Message(message)); }

std::string FailureLine(const char* message, ErrorCode code) {
    return Message(message) + std::to_string(code);
}

void PrintFailure(const char* message, ErrorCode code) { PrintLine(FailureLine(message, code)); }

void PrintMark(const char* mark) { WriteStdout(mark); }

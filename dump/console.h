// Console output of the engine. Each line is assembled first and written in
// one call, so the other thread's marks fall between lines, never inside one.
#pragma once

#include <string>

#include "platform/platform.h"

void PrintLine(const std::string& text);

// A message of messages.h, in the console's encoding (ConsoleMessage).
void PrintMessage(const char* message);

// A failed call: the message directly followed by the code in decimal.
// Once the user has interrupted the dump, a call that failed then failed of
// it (cut short, or stopped at its next step) and the line says so instead.
std::string FailureLine(const char* message, ErrorCode code);
void PrintFailure(const char* message, ErrorCode code);

// The line of a dump stopped by an interrupt, with no code.
std::string InterruptLine();

// A progress mark: one byte, no line end, shown at once.
void PrintMark(const char* mark);

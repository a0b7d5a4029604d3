// Console output of the engine. Each line is assembled first and written in
// one call, so the other thread's marks fall between lines, never inside one.
#pragma once

#include <string>

#include "platform/platform.h"

void PrintLine(const std::string& text);

// A message of messages.h, in the console's encoding (ConsoleMessage).
void PrintMessage(const char* message);

// The line of a failed call: the message directly followed by the code in
// decimal, but the interrupt's line (InterruptLine) once the user has
// interrupted the dump: a call that failed then failed of it (cut short, or
// stopped at its next step), and its code would only mislead.
std::string FailureOrInterruptLine(const char* message, ErrorCode code);
void PrintFailureOrInterrupt(const char* message, ErrorCode code);

// The line of a dump stopped by an interrupt, with no code.
std::string InterruptLine();

// A text the user gave (the drive, the image path, an option) as it is
// echoed: in the console's form (ConsoleText), and where standard output is
// a terminal or console, with its control characters escaped
// (EscapeControls), so that a name can neither retitle, clear nor rewrite
// the screen. Into a file or pipe its bytes stay as given.
std::string EchoText(const std::string& text);

// C0 controls, DEL and C1 controls in their UTF-8 form (C2 80..C2 9F) as
// visible text: each of their bytes as \xNN (lowercase hex; ESC is \x1b,
// not \e, which a Windows path such as D:\e.img holds as it is). A run of
// backslashes is doubled only right before what would read as such an
// escape (an "x" and two hex digits, or an escaped character), so
// that every shown text reads back to one text only, while the backslashes
// of a path (\\.\E:, D:\img) show as they are. Bytes that are not UTF-8
// stay.
std::string EscapeControls(const std::string& text);

// A text made to stand on one line of a file beside the image: each LF as
// "\n", each CR as "\r", and with backslashes, each "\" as "\\" too, so
// that the line reads back to text only one way (as sha256sum reads a
// name). Without them, a comment line that is never read back keeps the
// backslashes of a path as they are, and still cannot be ended early.
std::string EscapeLineEnds(const std::string& text, bool backslashes);

// A progress mark: one byte, no line end, shown at once.
void PrintMark(const char* mark);

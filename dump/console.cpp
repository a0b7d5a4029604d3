#include "dump/console.h"

#include "dump/messages.h"

namespace {
// The bytes of the control character at text[at], 0 where none starts.
size_t ControlLength(const std::string& text, size_t at) {
    auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte == 0x7f) return 1;
    auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
    return byte == 0xc2 && next >= 0x80 && next <= 0x9f ? 2 : 0;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True when a backslash before text[at] would be read as an escape's.
bool ReadsAsEscape(const std::string& text, size_t at) {
    if (at >= text.size()) return false;
    if (ControlLength(text, at) > 0) return true;
    return text[at] == 'x' && at + 2 < text.size() && IsHexDigit(text[at + 1]) && IsHexDigit(text[at + 2]);
}
}  // namespace

void PrintLine(const std::string& text) { WriteStdout(text + "\n"); }

void PrintMessage(const char* message) { PrintLine(ConsoleMessage(message)); }

std::string InterruptLine() { return ConsoleMessage(MSG_INTERRUPTED); }

std::string FailureOrInterruptLine(const char* message, ErrorCode code) {
    if (Interrupted()) return InterruptLine();
    return ConsoleMessage(message) + std::to_string(code);
}

void PrintFailureOrInterrupt(const char* message, ErrorCode code) { PrintLine(FailureOrInterruptLine(message, code)); }

void PrintMark(const char* mark) { WriteStdout(mark); }

std::string EscapeControls(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        if (text[at] == '\\') {
            size_t end = text.find_first_not_of('\\', at);
            if (end == std::string::npos) end = text.size();
            shown.append(ReadsAsEscape(text, end) ? 2 * (end - at) : end - at, '\\');
            at = end;
            continue;
        }
        size_t length = ControlLength(text, at);
        if (length == 0) shown += text[at++];
        for (; length > 0; --length, ++at) {
            auto byte = static_cast<unsigned char>(text[at]);
            shown += "\\x";
            shown += HEX[byte >> 4];
            shown += HEX[byte & 0xf];
        }
    }
    return shown;
}

std::string EscapeLineEnds(const std::string& text, bool backslashes) {
    std::string shown;
    for (char c : text)
        shown += c == '\\' && backslashes ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return shown;
}

std::string EchoText(const std::string& text) {
    std::string shown = ConsoleText(text);
    return StdoutIsTerminal() ? EscapeControls(shown) : shown;
}

// Linux: the console, its encoding and title, and the interrupts that
// reach it.
#include <langinfo.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/linux.h"

namespace {
// Set once at start-up, before any other thread runs.
bool ConsoleIsGb = false;

// The interrupt's signal number, 0 until one came. Written by the signal
// handler and read by every thread: an atomic, and one without a lock, as
// a handler may not wait on a lock the thread it interrupted holds. A
// handler takes no argument to hand it anything else, so it lives here.
std::atomic<int> NotedSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt flag is safe in a signal handler");

void NoteSignal(int number) { NotedSignal.store(number); }

// "GBK", "gb18030", "GB2312" and their spellings with - or _ (glibc names
// GB2312's codeset EUC-CN as well).
bool IsGbCodeset(const char* codeset) {
    std::string name;
    for (const char* c = codeset; *c != '\0'; ++c)
        if (*c != '-' && *c != '_') name += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    return name == "GBK" || name == "GB18030" || name == "GB2312" || name == "EUCCN";
}

// The terminal's title was pushed on its stack (StartTitle), to be popped;
// the title belongs to the terminal, not to a handle the engine holds.
bool TitleShown = false;
}  // namespace

void StartConsole() {
    setlocale(LC_CTYPE, "");
    ConsoleIsGb = IsGbCodeset(nl_langinfo(CODESET));
}

std::string ConsoleText(const std::string& argument) { return argument; }

std::string ConsoleMessage(const char* message) {
    if (ConsoleIsGb) return message;
    return Utf8OfGbk(message);
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

void WriteStdout(const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

bool StartTitle() {
    const char* term = getenv("TERM");
    if (!isatty(STDOUT_FILENO) || term == nullptr || std::string(term) == "dumb") return false;
    // xterm's window operations: push the title on its stack.
    WriteStdout("\033[22;0t");
    TitleShown = true;
    return true;
}

void ShowTitle(const std::string& text) {
    if (!TitleShown) return;
    // A control character in a drive's name would end the sequence early or
    // start another: C0 and DEL bytes, and C1 ones in their UTF-8 form.
    std::string plain;
    for (size_t at = 0; at < text.size(); ++at) {
        auto byte = static_cast<unsigned char>(text[at]);
        auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            plain += '?';
            ++at;
        } else {
            plain += byte < 0x20 || byte == 0x7f ? '?' : text[at];
        }
    }
    WriteStdout("\033]0;" + plain + "\007");
}

void EndTitle() {
    if (TitleShown) WriteStdout("\033[23;0t");
    TitleShown = false;
}

void WatchInterrupts() {
    // No SA_RESTART: a read, write or open that the signal cuts short
    // returns EINTR, and the dump stops there rather than after it.
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

bool Interrupted() { return NotedSignal.load() != 0; }

int NotedSignalNumber() { return NotedSignal.load(); }

void EndAsInterrupted() {
    int number = NotedSignal.load();
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}

void Pause() {
    struct termios saved {};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return;
    WriteStdout("Press any key to continue . . . ");
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key = 0;
    ssize_t ignored = read(STDIN_FILENO, &key, 1);
    (void)ignored;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    WriteStdout("\n");
}

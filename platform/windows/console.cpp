// Windows: the console, its encoding and title, and the interrupts that
// reach it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/windows/windows.h"

namespace {
// Set once at start-up: standard output is a console, which is written in
// Unicode (WriteConsoleW), so that any code page shows the Chinese. Bytes
// to a file or pipe stay GBK, the arguments in the system code page.
bool UnicodeConsole = false;

// The console's own title, put back at the end; the title belongs to the
// console, not to a handle the engine holds.
std::wstring SavedTitle;
bool TitleSaved = false;

// The console event that interrupted the dump, -1 until one came. The
// control handler runs on a thread of its own and is handed nothing, so
// this is where it leaves the event.
volatile LONG NotedEvent = -1;

BOOL WINAPI NoteEvent(DWORD event) {
    InterlockedExchange(&NotedEvent, static_cast<LONG>(event));
    // Ctrl+C and Ctrl+Break leave the process to the dump, which stops at
    // its next step. Closing the console (or a logoff or shutdown) ends the
    // process once this handler returns, so it does not return: the dump
    // keeps its partial file and ends the process itself, within the
    // system's few seconds.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    Sleep(INFINITE);
    return TRUE;
}
}  // namespace

void StartConsole() {
    DWORD mode = 0;
    UnicodeConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

std::string ConsoleText(const std::string& argument) {
    return UnicodeConsole ? argument : Narrow(Wide(argument), CP_ACP);
}

std::string ConsoleMessage(const char* message) {
    return UnicodeConsole ? Narrow(Wide(message, 936)) : message;
}

bool StdoutIsTerminal() { return UnicodeConsole; }

void WriteStdout(const std::string& bytes) {
    if (UnicodeConsole) {
        // Windows 7 takes at most about 64 KB in one WriteConsoleW and fails
        // past it, and any console may take fewer characters than given:
        // pieces go until all is written or one fails, a surrogate pair
        // never split between two.
        constexpr size_t PIECE = 8192;
        std::wstring wide = Wide(bytes);
        HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
        for (size_t done = 0; done < wide.size();) {
            size_t piece = std::min(PIECE, wide.size() - done);
            if (piece < wide.size() - done && wide[done + piece - 1] >= 0xD800 && wide[done + piece - 1] <= 0xDBFF)
                --piece;
            DWORD written = 0;
            if (!WriteConsoleW(console, wide.data() + done, static_cast<DWORD>(piece), &written, nullptr) ||
                written == 0)
                return;
            done += written;
        }
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

bool StartTitle() {
    if (!UnicodeConsole) return false;
    // A title may be up to 64K characters. One that fills the buffer may
    // have been cut, and one that does not fit may give 0 with no error, so
    // the buffer grows until the title is shorter than it; an empty title
    // gives 0 at every size.
    constexpr DWORD MOST = 128 * 1024;
    for (DWORD size = 1024;; size *= 2) {
        std::wstring title(size, L'\0');
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetConsoleTitleW(&title[0], size);
        if (length == 0 && GetLastError() != ERROR_SUCCESS) return false;
        if ((length != 0 && length + 1 < size) || size >= MOST) {
            SavedTitle = title.c_str();
            break;
        }
    }
    TitleSaved = true;
    return true;
}

void ShowTitle(const std::string& text) {
    if (TitleSaved) SetConsoleTitleW(Wide(text).c_str());
}

void EndTitle() {
    if (TitleSaved) SetConsoleTitleW(SavedTitle.c_str());
    TitleSaved = false;
}

void WatchInterrupts() { SetConsoleCtrlHandler(NoteEvent, TRUE); }

bool Interrupted() { return InterlockedCompareExchange(&NotedEvent, -1, -1) != -1; }

void EndAsInterrupted() { ExitProcess(STATUS_CONTROL_C_EXIT); }

void Pause() {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) system("pause");
}

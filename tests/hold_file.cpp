// Holds a file open as an indexer or a virus scanner does, for the Wine
// test: hold_file PATH SHARING, SHARING the letters of what it lets others
// do meanwhile (r read, w write, d delete or rename). Prints "held" once the
// file is open and keeps it until its standard input closes or it is
// killed; exits 1 with the open's code when the file cannot be opened.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: hold_file PATH SHARING (r, w, d)\n");
        return 2;
    }
    DWORD share = 0;
    for (const wchar_t* letter = argv[2]; *letter != L'\0'; ++letter) {
        if (*letter == L'r') share |= FILE_SHARE_READ;
        if (*letter == L'w') share |= FILE_SHARE_WRITE;
        if (*letter == L'd') share |= FILE_SHARE_DELETE;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("open failed %lu\n", GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    char byte = 0;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got > 0) {
    }
    CloseHandle(file);
    return 0;
}

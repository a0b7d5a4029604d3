// Windows: the conversions between UTF-8, the wide form and the code
// pages, and paths' spellings: paths travel through the engine as UTF-8 of
// the wide command line and are opened with the wide calls, in the "\\?\"
// form, so that a name in any script and a path past MAX_PATH both reach
// the file system unchanged.
#include <algorithm>
#include <cctype>
#include <cwctype>

#include "platform/windows/windows.h"

std::wstring Wide(const std::string& text, UINT code_page) {
    int length = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& wide, UINT code_page) {
    int length = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                     0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length,
                        nullptr, nullptr);
    return text;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A device: "\\.\" and one name ("\\.\E:", "\\.\PhysicalDrive1", "\\.\NUL"),
// or anything under "\\?\GLOBALROOT\" ("\\?\GLOBALROOT\Device\Harddisk1\Partition1").
// "\\.\J:\e.img" is a file, reached through the device namespace.
bool IsDevicePath(const std::wstring& path) {
    return (path.rfind(L"\\\\.\\", 0) == 0 && path.find_first_of(L"\\/", 4) == std::wstring::npos) ||
           StartsWith(path, L"\\\\?\\GLOBALROOT\\");
}

bool IsLetterAt(const std::wstring& text, size_t at) {
    return text.size() == at + 2 && iswalpha(text[at]) && text[at + 1] == L':';
}

// A disk or volume in any of its spellings, "\\.\" then its name:
// "\\.\E:", "//./E:", "\\?\E:", "\\?\GLOBALROOT\??\E:", "\\?\PhysicalDrive2",
// "\\?\Volume{...}". A "\\?\" path with a folder in it ("\\?\E:\x.img",
// "\\?\UNC\...") is a file path. Empty when path is none of these.
std::wstring DeviceSpelling(const std::wstring& path) {
    for (const wchar_t* prefix : {L"\\\\.\\", L"//./", L"\\\\?\\GLOBALROOT\\??\\", L"\\\\?\\"}) {
        std::wstring name = path.substr(std::min(path.size(), wcslen(prefix)));
        if (!StartsWith(path, prefix)) continue;
        if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) break;
        return L"\\\\.\\" + name;
    }
    return IsDevicePath(path) ? path : L"";
}

// The absolute "\\?\" form, which lifts MAX_PATH and skips the rewriting of
// trailing dots and blanks. Any spelling of a device is taken as "\\.\"
// and its name, so that it is treated as the device it names.
std::wstring LongPath(const std::string& path) {
    std::wstring wide = Wide(path);
    std::wstring device = DeviceSpelling(wide);
    if (!device.empty()) return device;
    if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0) return wide;
    std::wstring full(length, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), length, &full[0], nullptr));
    if (IsDevicePath(full)) return full;
    if (full.rfind(L"\\\\.\\", 0) == 0 || full.rfind(L"//./", 0) == 0) return L"\\\\?\\" + full.substr(4);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

size_t FileNameStart(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos) return slash + 1;
    // "E:e.img" names e.img in the current folder of E:.
    return path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0])) ? 2 : 0;
}

// Linux: paths' names and folders, and the messages' GBK as UTF-8.
#include <iconv.h>

#include "platform/linux/linux.h"

std::string Utf8OfGbk(const char* message) {
    // A descriptor of its own per call: the threads may speak at once, and
    // an iconv descriptor is not to be shared between them.
    iconv_t converter = iconv_open("UTF-8", "GBK");
    if (converter == reinterpret_cast<iconv_t>(-1)) return message;
    std::string in = message, out(in.size() * 2, '\0');
    char* from = &in[0];
    char* to = &out[0];
    size_t left = in.size(), room = out.size();
    bool converted = iconv(converter, &from, &left, &to, &room) != static_cast<size_t>(-1);
    iconv_close(converter);
    if (!converted) return message;
    out.resize(out.size() - room);
    return out;
}

size_t FileNameStart(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

std::string Folder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

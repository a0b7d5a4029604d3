// Every message's GBK bytes, converted back, are the Chinese text they stand
// for, and so is what a UTF-8 console is given; the system's SHA-256.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "dump/messages.h"
#include "platform/platform.h"

namespace {
std::string GbkToUtf8(const std::string& gbk) {
    iconv_t converter = iconv_open("UTF-8", "GBK");
    EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));
    std::string in = gbk, out(gbk.size() * 4, '\0');
    char* from = in.data();
    char* to = out.data();
    size_t left = in.size(), room = out.size();
    size_t converted = iconv(converter, &from, &left, &to, &room);
    iconv_close(converter);
    EXPECT_NE(converted, static_cast<size_t>(-1)) << "not valid GBK";
    out.resize(out.size() - room);
    return out;
}

struct Message {
    const char* bytes;
    const char* text;
    size_t gbk_length;
};

TEST(Messages, EachIsItsChineseTextInGbk) {
    const Message messages[] = {
        {MSG_USAGE_ZH, "使用方法: Korvex [驱动器] [ISO|IMG 文件地址]", 44},
        {MSG_DRIVE, "驱动器: ", 8},
        {MSG_IMAGE, "镜像文件: ", 10},
        {MSG_INVALID_DRIVE, "错误，不是有效的驱动器", 22},
        {MSG_DRIVE_SIZE, "驱动器大小: ", 12},
        {MSG_CACHE_SIZE, "缓存大小: ", 10},
        {MSG_CHUNKS, "分块: ", 6},
        {MSG_MB, " MB", 3},
        {MSG_CHUNKS_UNIT, " 个", 3},
        {MSG_OPEN_FAILED, "错误，无法打开驱动器", 20},
        {MSG_START, "开始转储...", 11},
        {MSG_CREATE_FAILED, "错误，无法创建镜像文件", 22},
        {MSG_READ_FAILED, "错误，无法读取驱动器", 20},
        {MSG_NO_MEMORY, "错误，内存不足", 14},
        {MSG_THREAD_FAILED, "错误，无法创建写入线程", 22},
        {MSG_WRITE_FAILED, "错误，无法写入镜像", 18},
        {MSG_COMPLETE, "转储完成！", 10},
        {MSG_HASH_FAILED, "错误，无法计算校验和", 20},
        {MSG_FINGERPRINT_FAILED, "错误，无法写入校验文件", 22},
        {MSG_INTERRUPTED, "错误，转储已中断", 16},
        {MSG_LOCK_FAILED, "警告，无法锁定驱动器，镜像可能不一致", 36},
        {MSG_MAP_FAILED, "错误，无法写入映射文件", 22},
        {MSG_RESCUED, "转储结束，无法读取的字节：", 26},
        {MSG_UNKNOWN_OPTION, "错误，未知选项: ", 16},
        {MSG_BAD_VALUE, "错误，选项的值无效: ", 20},
        {MSG_COMPRESS_FAILED, "错误，无法压缩镜像", 18},
        {MSG_RECORD_FAILED, "错误，无法写入采集记录", 22},
        {MSG_COMPRESS_RESCUE, "错误，救援模式只写未压缩的镜像，请救援后再压缩", 46},
        {MSG_COMPRESS_NOT_FILE, "错误，压缩镜像只能写入文件", 26},
        {MSG_LEVEL_RAW, "错误，--level 只用于压缩镜像 (.zst .gz .xz)", 43},
        {MSG_LIST_DRIVE, "驱动器", 6},
        {MSG_LIST_SIZE, "大小", 4},
        {MSG_LIST_BUS, "总线", 4},
        {MSG_LIST_REMOVABLE, "可移动", 6},
        {MSG_LIST_FILE_SYSTEM, "文件系统", 8},
        {MSG_LIST_MOUNT, "挂载点", 6},
        {MSG_LIST_MODEL, "型号/卷标", 9},
        {MSG_LIST_SYSTEM, "系统盘", 6},
        {MSG_LIST_YES, "是", 2},
        {MSG_LIST_NO, "否", 2},
        {MSG_VERIFY_FAILED, "错误，镜像校验失败", 18},
        {MSG_IMAGE_READ_FAILED, "错误，无法读取镜像", 18},
        {MSG_VERIFY_UNREADABLE, "错误，镜像无法读回，不能校验", 28},
        {MSG_PARTIAL_LEFT, "错误，已有未完成的镜像，可用 --resume 继续", 42},
        {MSG_NOTHING_TO_RESUME, "错误，没有可继续的未完成镜像", 28},
        {MSG_MAP_INVALID, "错误，映射文件无效", 18},
        {MSG_OTHER_DRIVE, "错误，驱动器与映射文件不符", 26},
        {MSG_MAP_NOT_IMAGE, "错误，映射文件与镜像不符", 24},
        {MSG_COMPRESS_RESUME, "错误，压缩镜像不能继续，请重新转储", 34},
        {MSG_RESUMING, "继续转储，已有的字节：", 22},
        {MSG_HELP_USAGE_ZH, "使用方法: korvex [--resume] [--rescue [--max-failed-reads N] | --level N] [--verify] 驱动器 镜像文件", 100},
    };
    setenv("LC_ALL", "C.UTF-8", 1);
    StartPlatform();
    for (const Message& message : messages) {
        EXPECT_EQ(std::string(message.bytes).size(), message.gbk_length) << message.text;
        EXPECT_EQ(GbkToUtf8(message.bytes), message.text);
        EXPECT_EQ(ConsoleMessage(message.bytes), message.text) << "as a UTF-8 console gets it";
    }
}

TEST(Hash, TheSystemsSha256OfAbc) {
    HashHandle hash = 0;
    ErrorCode error = 0;
    uint8_t digest[DIGEST_BYTES] = {};
    ASSERT_TRUE(StartHash(hash, error));
    ASSERT_TRUE(HashBytes(hash, "a", 1, error) && HashBytes(hash, "bc", 2, error));
    ASSERT_TRUE(FinishHash(hash, digest, error));
    static const char HEX[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : digest) hex += std::string{HEX[byte >> 4], HEX[byte & 15]};
    EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Messages, AsciiLinesAreAscii) {
    std::vector<const char*> lines = {MSG_BANNER, MSG_USAGE, MSG_VERSION, MARK_READ, MARK_WRITE};
    lines.insert(lines.end(), std::begin(MSG_HELP), std::end(MSG_HELP));
    lines.insert(lines.end(), std::begin(MSG_HELP_USAGE), std::end(MSG_HELP_USAGE));
    for (const char* line : lines)
        for (const char* c = line; *c; ++c) EXPECT_LT(static_cast<unsigned char>(*c), 0x80) << line;
}
}  // namespace

// Every text the program prints, as GBK (code page 936) bytes, each beside
// its Chinese text: the one table of texts. The Windows console and a
// Linux console in a GB locale are given these bytes unconverted; any other
// Linux console gets them converted to UTF-8 (ConsoleMessage). Commas and
// the exclamation mark are full-width (GBK A3 AC, A3 A1); colons, blanks
// and dots are ASCII.
#pragma once

constexpr char MSG_BANNER[] = "Korvex 1.0 - copies a whole drive into an ISO or IMG image file";
constexpr char MSG_USAGE[] = "Usage: Korvex [Drive] [ISO|IMG File Path]";
// 使用方法: Korvex [驱动器] [ISO|IMG 文件地址]
constexpr char MSG_USAGE_ZH[] =
    "\xca\xb9\xd3\xc3\xb7\xbd\xb7\xa8: Korvex [\xc7\xfd\xb6\xaf\xc6\xf7] [ISO|IMG "
    "\xce\xc4\xbc\xfe\xb5\xd8\xd6\xb7]";

// 驱动器: 
constexpr char MSG_DRIVE[] = "\xc7\xfd\xb6\xaf\xc6\xf7: ";
// 镜像文件: 
constexpr char MSG_IMAGE[] = "\xbe\xb5\xcf\xf1\xce\xc4\xbc\xfe: ";
// 错误，不是有效的驱动器
constexpr char MSG_INVALID_DRIVE[] =
    "\xb4\xed\xce\xf3\xa3\xac\xb2\xbb\xca\xc7\xd3\xd0\xd0\xa7\xb5\xc4\xc7\xfd\xb6\xaf\xc6\xf7";
// 驱动器大小: 
constexpr char MSG_DRIVE_SIZE[] = "\xc7\xfd\xb6\xaf\xc6\xf7\xb4\xf3\xd0\xa1: ";
// 缓存大小: 
constexpr char MSG_CACHE_SIZE[] = "\xbb\xba\xb4\xe6\xb4\xf3\xd0\xa1: ";
// 分块: 
constexpr char MSG_CHUNKS[] = "\xb7\xd6\xbf\xe9: ";
constexpr char MSG_MB[] = " MB";
//  个 (the counting word after the chunk count)
constexpr char MSG_CHUNKS_UNIT[] = " \xb8\xf6";

// 错误，无法打开驱动器
constexpr char MSG_OPEN_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xb4\xf2\xbf\xaa\xc7\xfd\xb6\xaf\xc6\xf7";
// 开始转储...
constexpr char MSG_START[] = "\xbf\xaa\xca\xbc\xd7\xaa\xb4\xa2...";
// 错误，无法创建镜像文件
constexpr char MSG_CREATE_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xb4\xb4\xbd\xa8\xbe\xb5\xcf\xf1\xce\xc4\xbc\xfe";
// 错误，无法读取驱动器
constexpr char MSG_READ_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xb6\xc1\xc8\xa1\xc7\xfd\xb6\xaf\xc6\xf7";
// 错误，内存不足
constexpr char MSG_NO_MEMORY[] = "\xb4\xed\xce\xf3\xa3\xac\xc4\xda\xb4\xe6\xb2\xbb\xd7\xe3";
// 错误，无法创建写入线程
constexpr char MSG_THREAD_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xb4\xb4\xbd\xa8\xd0\xb4\xc8\xeb\xcf\xdf\xb3\xcc";
// 错误，无法写入镜像
constexpr char MSG_WRITE_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xd0\xb4\xc8\xeb\xbe\xb5\xcf\xf1";
// 错误，无法计算校验和
constexpr char MSG_HASH_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xbc\xc6\xcb\xe3\xd0\xa3\xd1\xe9\xba\xcd";
// 错误，无法写入校验文件
constexpr char MSG_FINGERPRINT_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xd0\xb4\xc8\xeb\xd0\xa3\xd1\xe9\xce\xc4\xbc\xfe";
// 错误，转储已中断
constexpr char MSG_INTERRUPTED[] = "\xb4\xed\xce\xf3\xa3\xac\xd7\xaa\xb4\xa2\xd2\xd1\xd6\xd0\xb6\xcf";
// 转储完成！
constexpr char MSG_DONE[] = "\xd7\xaa\xb4\xa2\xcd\xea\xb3\xc9\xa3\xa1";

constexpr char MARK_READ[] = "R";
constexpr char MARK_WRITE[] = "W";

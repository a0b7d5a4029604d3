// Every text the program prints, as GBK (code page 936) bytes, each beside
// its Chinese text: the one table of texts. The Windows console and a
// Linux console in a GB locale are given these bytes unconverted; any other
// Linux console gets them converted to UTF-8 (ConsoleMessage). Commas and
// the exclamation mark are full-width (GBK A3 AC, A3 A1); colons, blanks
// and dots are ASCII.
#pragma once

// KORVEX_VERSION comes from the build (CMakeLists.txt's project version).
constexpr char MSG_VERSION[] = "korvex " KORVEX_VERSION;
constexpr char MSG_BANNER[] = "Korvex " KORVEX_VERSION " - copies a whole drive into an ISO or IMG image file";
constexpr char MSG_USAGE[] = "Usage: Korvex [Drive] [ISO|IMG File Path]";
// 使用方法: Korvex [驱动器] [ISO|IMG 文件地址]
constexpr char MSG_USAGE_ZH[] =
    "\xca\xb9\xd3\xc3\xb7\xbd\xb7\xa8: Korvex [\xc7\xfd\xb6\xaf\xc6\xf7] [ISO|IMG "
    "\xce\xc4\xbc\xfe\xb5\xd8\xd6\xb7]";

// --help: the usage lines of the real syntax (the usage block above is
// what a program started without its arguments shows), the options and the
// exit statuses; ASCII like the usage line.
constexpr const char* MSG_HELP_USAGE[] = {
    "Usage: korvex [--resume] [--rescue [--max-failed-reads N] | --level N] [--verify] DRIVE IMAGE",
    "       korvex --list",
    "       korvex --help | --version",
};
// 使用方法: korvex [--resume] [--rescue [--max-failed-reads N] | --level N] [--verify] 驱动器 镜像文件
constexpr char MSG_HELP_USAGE_ZH[] =
    "\xca\xb9\xd3\xc3\xb7\xbd\xb7\xa8: korvex [--resume] [--rescue [--max-failed-reads N] | --level N] [--verify] "
    "\xc7\xfd\xb6\xaf\xc6\xf7 "
    "\xbe\xb5\xcf\xf1\xce\xc4\xbc\xfe";
constexpr const char* MSG_HELP[] = {
    "Options, before or after DRIVE and IMAGE:",
    "  --rescue       read on past unreadable sectors: zeros in their place in the",
    "                 image, and IMAGE.map, a GNU ddrescue map, beside it; the",
    "                 readable parts first, then the edges of the unreadable ones",
    "                 sector by sector",
    "  --max-failed-reads N",
    "                 with --rescue, stop reading what the copy left after N",
    "                 failed reads (100); 0: the copy only",
    "  --level N      the compression level of an image named .zst (1 to 19, 3 if",
    "                 not given), .gz (1 to 9, 6) or .xz (0 to 9, 6); any other",
    "                 name is a raw image, byte for byte, which --rescue needs",
    "  --verify       once the image is written and flushed, read it back from its",
    "                 storage without the cache (decompressed, if compressed) and",
    "                 compare it with the drive's bytes as read: a target that",
    "                 returns other bytes than were written (a fake-capacity stick,",
    "                 a failing disk) fails the dump; one more read of the image,",
    "                 at the target's speed; not for a pipe or the null device",
    "  --resume       go on with the dump that stopped and left IMAGE.part and its",
    "                 map IMAGE.part.map (interrupted, killed, its target full, its",
    "                 drive gone): the drive must be the map's; what the partial",
    "                 file holds is read back for the fingerprint and only the rest",
    "                 is read from the drive; after a rescue its later phases go on;",
    "                 also finishes a rescued IMAGE from IMAGE.map (after ddrescue),",
    "                 as --rescue into such an image does; not for compressed images",
    "  --list         every drive there is to image, one a line: the name to give",
    "                 as DRIVE, its size, bus, whether removable, file system,",
    "                 mount point, model or label, and which is the system's disk",
    "  -h, --help     this help",
    "  -V, --version  the version",
    "  --             the end of the options: every argument after it is DRIVE or",
    "                 IMAGE, even one that begins with \"-\"; a \"-\" alone is never",
    "                 an option",
    "",
    "Exit status:",
    "  0  the dump is complete: the image flushed, named, fingerprinted and",
    "     recorded (IMAGE.sha256, IMAGE.info), read back first with --verify; also",
    "     --list, --help, --version and the usage of a program started without",
    "     arguments",
    "  1  a failure, told by its line (with --verify also an image read back",
    "     other than written); IMAGE is not the new image",
    "  2  the usage: the image missing, an unknown option or a value that is",
    "     none, --rescue or --level where the image cannot take them, a",
    "     compressed image at a device or the null device, or --verify with an",
    "     image that cannot be read back (a pipe, the null device)",
    "  3  a rescue that met unreadable sectors: the image named and fingerprinted,",
    "     zeros where the drive could not be read, IMAGE.map telling where",
    "  4  the image took its name, but its fingerprint or map could not be put in",
    "     place, or the rename could not be flushed: the image is complete but not",
    "     verified",
    "  An interrupted dump ends as an interrupt ends a program (130 for Ctrl+C in",
    "  a Linux shell).",
};
// 错误，未知选项: (followed by the option)
constexpr char MSG_UNKNOWN_OPTION[] = "\xb4\xed\xce\xf3\xa3\xac\xce\xb4\xd6\xaa\xd1\xa1\xcf\xee: ";

// 错误，选项的值无效: (followed by the option and its value)
constexpr char MSG_BAD_VALUE[] = "\xb4\xed\xce\xf3\xa3\xac\xd1\xa1\xcf\xee\xb5\xc4\xd6\xb5\xce\xde\xd0\xa7: ";

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
// 警告，无法锁定驱动器，镜像可能不一致
constexpr char MSG_LOCK_FAILED[] =
    "\xbe\xaf\xb8\xe6\xa3\xac\xce\xde\xb7\xa8\xcb\xf8\xb6\xa8\xc7\xfd\xb6\xaf\xc6\xf7\xa3\xac"
    "\xbe\xb5\xcf\xf1\xbf\xc9\xc4\xdc\xb2\xbb\xd2\xbb\xd6\xc2";
// 错误，转储已中断
constexpr char MSG_INTERRUPTED[] = "\xb4\xed\xce\xf3\xa3\xac\xd7\xaa\xb4\xa2\xd2\xd1\xd6\xd0\xb6\xcf";
// 错误，无法写入映射文件
constexpr char MSG_MAP_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xd0\xb4\xc8\xeb\xd3\xb3\xc9\xe4\xce\xc4\xbc\xfe";
// 转储结束，无法读取的字节： (followed by the count, in decimal)
constexpr char MSG_RESCUED[] =
    "\xd7\xaa\xb4\xa2\xbd\xe1\xca\xf8\xa3\xac\xce\xde\xb7\xa8\xb6\xc1\xc8\xa1\xb5\xc4\xd7\xd6\xbd\xda\xa3\xba";
// 转储完成！ (once the complete image has its name)
constexpr char MSG_COMPLETE[] = "\xd7\xaa\xb4\xa2\xcd\xea\xb3\xc9\xa3\xa1";

// 错误，无法压缩镜像
constexpr char MSG_COMPRESS_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xd1\xb9\xcb\xf5\xbe\xb5\xcf\xf1";
// 错误，无法写入采集记录
constexpr char MSG_RECORD_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xd0\xb4\xc8\xeb\xb2\xc9\xbc\xaf\xbc\xc7\xc2\xbc";
// 错误，救援模式只写未压缩的镜像，请救援后再压缩 (usage: --rescue with an image named .zst, .gz or .xz)
constexpr char MSG_COMPRESS_RESCUE[] =
    "\xb4\xed\xce\xf3\xa3\xac\xbe\xc8\xd4\xae\xc4\xa3\xca\xbd\xd6\xbb\xd0\xb4\xce\xb4\xd1\xb9\xcb\xf5\xb5\xc4\xbe\xb5\xcf\xf1\xa3\xac\xc7\xeb\xbe\xc8\xd4\xae\xba\xf3\xd4\xd9\xd1\xb9\xcb\xf5";
// 错误，压缩镜像只能写入文件 (usage: a compressed image's name at a device, FIFO or null device)
constexpr char MSG_COMPRESS_NOT_FILE[] =
    "\xb4\xed\xce\xf3\xa3\xac\xd1\xb9\xcb\xf5\xbe\xb5\xcf\xf1\xd6\xbb\xc4\xdc\xd0\xb4\xc8\xeb\xce\xc4\xbc\xfe";
// 错误，--level 只用于压缩镜像 (.zst .gz .xz) (usage: --level with an image that is not compressed)
constexpr char MSG_LEVEL_RAW[] =
    "\xb4\xed\xce\xf3\xa3\xac--level \xd6\xbb\xd3\xc3\xd3\xda\xd1\xb9\xcb\xf5\xbe\xb5\xcf\xf1 (.zst .gz .xz)";

// 错误，镜像校验失败 (--verify: the image read back is not what was written)
constexpr char MSG_VERIFY_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xbe\xb5\xcf\xf1\xd0\xa3\xd1\xe9\xca\xa7\xb0\xdc";
// 错误，无法读取镜像 (--verify: a read of the image back failed; followed by the code)
constexpr char MSG_IMAGE_READ_FAILED[] =
    "\xb4\xed\xce\xf3\xa3\xac\xce\xde\xb7\xa8\xb6\xc1\xc8\xa1\xbe\xb5\xcf\xf1";
// 错误，镜像无法读回，不能校验 (usage: --verify with an image that is a pipe, FIFO or character device)
constexpr char MSG_VERIFY_UNREADABLE[] =
    "\xb4\xed\xce\xf3\xa3\xac\xbe\xb5\xcf\xf1\xce\xde\xb7\xa8\xb6\xc1\xbb\xd8\xa3\xac\xb2\xbb\xc4\xdc\xd0\xa3\xd1\xe9";

// 错误，已有未完成的镜像，可用 --resume 继续 (a dump into an image whose partial file and map a stopped dump left)
constexpr char MSG_PARTIAL_LEFT[] =
    "\xb4\xed\xce\xf3\xa3\xac\xd2\xd1\xd3\xd0\xce\xb4\xcd\xea\xb3\xc9\xb5\xc4\xbe\xb5\xcf\xf1\xa3\xac"
    "\xbf\xc9\xd3\xc3 --resume \xbc\xcc\xd0\xf8";
// 错误，没有可继续的未完成镜像 (--resume: no partial file with its map, nor an image with its map)
constexpr char MSG_NOTHING_TO_RESUME[] =
    "\xb4\xed\xce\xf3\xa3\xac\xc3\xbb\xd3\xd0\xbf\xc9\xbc\xcc\xd0\xf8\xb5\xc4\xce\xb4\xcd\xea\xb3\xc9"
    "\xbe\xb5\xcf\xf1";
// 错误，映射文件无效 (the map to go on from cannot be read as a map; followed by why)
constexpr char MSG_MAP_INVALID[] = "\xb4\xed\xce\xf3\xa3\xac\xd3\xb3\xc9\xe4\xce\xc4\xbc\xfe\xce\xde\xd0\xa7";
// 错误，驱动器与映射文件不符 (the drive is not the one the map was made of)
constexpr char MSG_OTHER_DRIVE[] =
    "\xb4\xed\xce\xf3\xa3\xac\xc7\xfd\xb6\xaf\xc6\xf7\xd3\xeb\xd3\xb3\xc9\xe4\xce\xc4\xbc\xfe\xb2\xbb\xb7\xfb";
// 错误，映射文件与镜像不符 (the image does not hold what its map calls read)
constexpr char MSG_MAP_NOT_IMAGE[] =
    "\xb4\xed\xce\xf3\xa3\xac\xd3\xb3\xc9\xe4\xce\xc4\xbc\xfe\xd3\xeb\xbe\xb5\xcf\xf1\xb2\xbb\xb7\xfb";
// 错误，压缩镜像不能继续，请重新转储 (usage: --resume with an image named .zst, .gz or .xz)
constexpr char MSG_COMPRESS_RESUME[] =
    "\xb4\xed\xce\xf3\xa3\xac\xd1\xb9\xcb\xf5\xbe\xb5\xcf\xf1\xb2\xbb\xc4\xdc\xbc\xcc\xd0\xf8\xa3\xac"
    "\xc7\xeb\xd6\xd8\xd0\xc2\xd7\xaa\xb4\xa2";
// 继续转储，已有的字节： (followed by the count the copy goes on from, in decimal)
constexpr char MSG_RESUMING[] = "\xbc\xcc\xd0\xf8\xd7\xaa\xb4\xa2\xa3\xac\xd2\xd1\xd3\xd0\xb5\xc4\xd7\xd6\xbd\xda\xa3\xba";

// --list: the heads of its columns, and the yes and no of its removable
// and system disk columns.
// 驱动器
constexpr char MSG_LIST_DRIVE[] = "\xc7\xfd\xb6\xaf\xc6\xf7";
// 大小
constexpr char MSG_LIST_SIZE[] = "\xb4\xf3\xd0\xa1";
// 总线
constexpr char MSG_LIST_BUS[] = "\xd7\xdc\xcf\xdf";
// 可移动
constexpr char MSG_LIST_REMOVABLE[] = "\xbf\xc9\xd2\xc6\xb6\xaf";
// 文件系统
constexpr char MSG_LIST_FILE_SYSTEM[] = "\xce\xc4\xbc\xfe\xcf\xb5\xcd\xb3";
// 挂载点
constexpr char MSG_LIST_MOUNT[] = "\xb9\xd2\xd4\xd8\xb5\xe3";
// 型号/卷标
constexpr char MSG_LIST_MODEL[] = "\xd0\xcd\xba\xc5/\xbe\xed\xb1\xea";
// 系统盘
constexpr char MSG_LIST_SYSTEM[] = "\xcf\xb5\xcd\xb3\xc5\xcc";
// 是
constexpr char MSG_LIST_YES[] = "\xca\xc7";
// 否
constexpr char MSG_LIST_NO[] = "\xb7\xf1";

constexpr char MARK_READ[] = "R";
constexpr char MARK_WRITE[] = "W";

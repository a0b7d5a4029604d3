// korvex --list: sizes as the systems' tools show them, and a table whose
// columns line up whatever the system could not tell.
#include <gtest/gtest.h>

#include <cstring>

#include "app/list.h"
#include "dump/messages.h"
#include "tests/fake_platform.h"

namespace {
TEST(List, SizesInDecimalAndBinaryUnits) {
    EXPECT_EQ(SizeText(0), "0 B");
    EXPECT_EQ(SizeText(512), "512 B");
    EXPECT_EQ(SizeText(1000), "1.0 kB (1000 B)");
    EXPECT_EQ(SizeText(64ull << 20), "67.1 MB (64.0 MiB)");
    EXPECT_EQ(SizeText(31914983424ull), "31.9 GB (29.7 GiB)");
    EXPECT_EQ(SizeText(2000398934016ull), "2.0 TB (1.8 TiB)");
    // Rounded up into the next unit, not "1000.0 MB" or "1024.0 MiB".
    EXPECT_EQ(SizeText(999999999), "1.0 GB (953.7 MiB)");
    EXPECT_EQ(SizeText((1ull << 30) - 1), "1.1 GB (1.0 GiB)");
    EXPECT_EQ(SizeText(UINT64_MAX), "18446.7 PB (16384.0 PiB)");
}

DriveInfo Drive(const std::string& name, uint64_t size, const std::string& model, bool within = false) {
    DriveInfo drive;
    drive.name = name;
    drive.within = within;
    drive.size_known = true;
    drive.size = size;
    drive.model = model;
    return drive;
}

// Where text begins on the line, in terminal places: the fake console
// keeps messages in GBK, where a byte is a place, and these fields are ASCII.
size_t At(const std::string& line, const std::string& text) {
    size_t at = line.find(text);
    EXPECT_NE(at, std::string::npos) << text << " in " << line;
    return at;
}

TEST(List, ColumnsLineUpUnderTheirHeads) {
    ResetFake(0);
    DriveInfo disk = Drive("/dev/sda", 500107862016ull, "Samsung SSD 860");
    disk.bus = "SATA";
    disk.removal = DriveInfo::FIXED;
    disk.system = true;
    DriveInfo root = Drive("/dev/sda1", 499033735168ull, "rootfs", true);
    root.bus = "SATA";
    root.removal = DriveInfo::FIXED;
    root.file_system = "ext4";
    root.mount = "/";
    DriveInfo stick = Drive("/dev/sdb", 31914983424ull, "SanDisk Cruzer");
    stick.bus = "USB";
    stick.removal = DriveInfo::REMOVABLE;
    Fake->drives = {disk, root, stick};
    ShowDrives();
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = Fake->console.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(Fake->console.substr(at, end - at));
    ASSERT_EQ(lines.size(), 4u);
    const std::string& head = lines[0];
    EXPECT_EQ(head.find(MSG_LIST_DRIVE), 0u);
    EXPECT_EQ(At(lines[1], "500.1 GB (465.8 GiB)"), At(head, MSG_LIST_SIZE));
    EXPECT_EQ(At(lines[2], "499.0 GB (464.8 GiB)"), At(head, MSG_LIST_SIZE));
    EXPECT_EQ(At(lines[3], "31.9 GB (29.7 GiB)"), At(head, MSG_LIST_SIZE));
    EXPECT_EQ(At(lines[2], "  /dev/sda1"), 0u) << "a partition under its disk";
    EXPECT_EQ(At(lines[3], "USB"), At(head, MSG_LIST_BUS));
    EXPECT_EQ(At(lines[1], MSG_LIST_NO), At(head, MSG_LIST_REMOVABLE));
    EXPECT_EQ(At(lines[3], MSG_LIST_YES), At(head, MSG_LIST_REMOVABLE));
    EXPECT_EQ(lines[1].rfind(MSG_LIST_YES), At(head, MSG_LIST_SYSTEM));
    EXPECT_EQ(lines[3].rfind(MSG_LIST_YES), At(head, MSG_LIST_REMOVABLE)) << "only the system's disk marked";
    EXPECT_EQ(At(lines[2], "ext4"), At(head, MSG_LIST_FILE_SYSTEM));
    EXPECT_EQ(At(lines[2], "/  "), At(head, MSG_LIST_MOUNT));
    EXPECT_EQ(At(lines[2], "rootfs"), At(head, MSG_LIST_MODEL));
    EXPECT_EQ(At(lines[1], "Samsung"), At(head, MSG_LIST_MODEL));
    EXPECT_EQ(At(lines[3], "SanDisk"), At(head, MSG_LIST_MODEL));
    for (const std::string& line : lines) EXPECT_NE(line.back(), ' ') << line;
}

// Wine answers few queries: what was not told leaves its column out, or
// shows "?" beside drives that told it, and the rest still lines up.
TEST(List, WhatIsNotKnownKeepsTheColumnsInLine) {
    ResetFake(0);
    DriveInfo lettered = Drive("C:", 0, "");
    lettered.size_known = false;
    lettered.file_system = "NTFS";
    DriveInfo card = Drive("K:", 1u << 20, "\xe7\x85\xa7\xe7\x89\x87");  // 照片: 6 bytes, 4 places
    card.file_system = "FAT32";
    DriveInfo control = Drive("L:", 1u << 20, "a\x1b]0;x");
    Fake->drives = {lettered, card, control};
    std::vector<std::string> lines = DriveTable(Fake->drives);
    ASSERT_EQ(lines.size(), 4u);
    for (const char* left_out : {MSG_LIST_BUS, MSG_LIST_REMOVABLE, MSG_LIST_MOUNT, MSG_LIST_SYSTEM})
        EXPECT_EQ(lines[0].find(left_out), std::string::npos) << "no column for what no drive told";
    EXPECT_EQ(At(lines[1], "?"), At(lines[2], "1.0 MB"));
    EXPECT_EQ(At(lines[1], "NTFS"), At(lines[2], "FAT32"));
    EXPECT_EQ(At(lines[1], "NTFS"), At(lines[0], MSG_LIST_FILE_SYSTEM));
    EXPECT_EQ(At(lines[3], "a\\x1b]0;x"), At(lines[2], "\xe7\x85\xa7")) << "a control shown, not sent";
    EXPECT_EQ(lines[0].size() - lines[0].find(MSG_LIST_MODEL), std::strlen(MSG_LIST_MODEL));
}
}  // namespace

// The Windows platform's partial image, under Wine: held by one dump at a
// time, opened again as it was left, and written on from where it stopped.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/windows/windows.h"

namespace {
constexpr uint64_t BLOCK = IO_ALIGN;

struct PartialImage : testing::Test {
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder = Narrow(temp) + "korvex-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
        ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr));
        image = folder + "\\e.img";
        part = image + PARTIAL_SUFFIX;
        ErrorCode error = 0;
        ASSERT_TRUE(WriteSmallFile(folder + "\\drive.bin", std::string(BLOCK, 'd'), error));
        drive = OpenDrive(folder + "\\drive.bin", error);
        buffer = static_cast<char*>(ObtainBuffer(BLOCK, error));
        ASSERT_TRUE(drive >= 0 && buffer);
    }
    void TearDown() override {
        ErrorCode ignored = 0;
        CloseFile(drive, ignored);
        ReleaseBuffer(buffer, BLOCK);
        DeleteFileW(Wide(part).c_str());
        RemoveDirectoryW(Wide(part).c_str());
        DeleteFileW(Wide(folder + "\\drive.bin").c_str());
        RemoveDirectoryW(Wide(folder).c_str());
    }
    // OpenPartialImage's code, 0 where it opens (and lets go at once).
    ErrorCode OpenCode() {
        uint64_t size = 0;
        ErrorCode error = 0;
        FileHandle file = OpenPartialImage(drive, image, 0, 0, size, error);
        return file >= 0 && CloseFile(file, error) ? 0 : error;
    }
    void WriteBlock(FileHandle file, char letter) {
        memset(buffer, letter, BLOCK);
        ErrorCode error = 0;
        EXPECT_EQ(WriteImage(file, buffer, BLOCK, error), static_cast<int64_t>(BLOCK)) << error;
    }
    std::string Contents() {
        std::string bytes;
        bool found = false;
        ErrorCode error = 0;
        EXPECT_TRUE(ReadFileStart(part, 16 * BLOCK, bytes, found, error)) << error;
        return bytes;
    }
    std::string folder, image, part;
    FileHandle drive = -1;
    char* buffer = nullptr;
};

TEST_F(PartialImage, HeldByOneDumpAtATimeAndOpenedOnlyWhereItIs) {
    EXPECT_TRUE(NoSuchFile(OpenCode()));
    EXPECT_EQ(GetFileAttributesW(Wide(part).c_str()), INVALID_FILE_ATTRIBUTES);
    bool partial = false;
    ErrorCode error = 0;
    FileHandle creator = CreateImage(drive, image, 4 * BLOCK, 0, partial, error);
    ASSERT_GE(creator, 0) << error;
    WriteBlock(creator, 'a');
    EXPECT_EQ(OpenCode(), BusyCode());
    ASSERT_TRUE(CloseFile(creator, error));
    uint64_t size = 0;
    FileHandle again = OpenPartialImage(drive, image, 4 * BLOCK, 0, size, error);
    ASSERT_GE(again, 0) << error;
    EXPECT_EQ(size, BLOCK);
    EXPECT_EQ(OpenCode(), BusyCode());
    ASSERT_TRUE(CloseFile(again, error));
    EXPECT_EQ(OpenCode(), 0u);
    EXPECT_EQ(Contents(), std::string(BLOCK, 'a'));
    ASSERT_TRUE(DeleteFileW(Wide(part).c_str()) && CreateDirectoryW(Wide(part).c_str(), nullptr));
    EXPECT_NE(OpenCode(), 0u);
}

TEST_F(PartialImage, WrittenOnFromWhereItIsSet) {
    bool partial = false;
    ErrorCode error = 0;
    FileHandle file = CreateImage(drive, image, 4 * BLOCK, 0, partial, error);
    ASSERT_GE(file, 0) << error;
    WriteBlock(file, 'a');
    WriteBlock(file, 'b');
    ASSERT_TRUE(CloseFile(file, error));
    // Room for less than the file holds (a drive that shrank) cuts nothing.
    uint64_t size = 0;
    file = OpenPartialImage(drive, image, BLOCK, 0, size, error);
    ASSERT_GE(file, 0) << error;
    // Past the end: lengthened with zeros at once; within it: nothing cut.
    ASSERT_TRUE(SeekImage(file, 3 * BLOCK, error)) << error;
    LARGE_INTEGER length{};
    EXPECT_TRUE(GetFileSizeEx(HandleOf(file), &length) && length.QuadPart == 3 * BLOCK);
    WriteBlock(file, 'c');
    ASSERT_TRUE(SeekImage(file, BLOCK, error)) << error;
    WriteBlock(file, 'e');
    // The tail goes where the unbuffered handle was set.
    ASSERT_TRUE(SeekImage(file, 5 * BLOCK, error)) << error;
    memset(buffer, 't', 100);
    EXPECT_EQ(WriteImageTail(file, buffer, 100, error), 100) << error;
    EXPECT_FALSE(SeekImage(file, BLOCK + 512, error));
    // A drive's end that is no multiple of a block: the file lengthened to
    // it, and no write follows.
    ASSERT_TRUE(SeekImage(file, 6 * BLOCK + 512, error)) << error;
    ASSERT_TRUE(CloseFile(file, error));
    std::string zeros(BLOCK, '\0');
    EXPECT_EQ(Contents(), std::string(BLOCK, 'a') + std::string(BLOCK, 'e') + zeros + std::string(BLOCK, 'c') +
                              zeros + std::string(100, 't') + std::string(BLOCK - 100 + 512, '\0'));
}
}  // namespace

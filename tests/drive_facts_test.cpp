// What the real Linux platform tells of an opened drive: decided on the
// descriptor, whatever name it was opened by, and no model or serial made
// up where no hardware stands behind it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace {
std::string Output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    for (int c; pipe != nullptr && (c = fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    if (pipe != nullptr) pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

struct Scratch {
    std::string folder = Output("mktemp -d /tmp/korvex-facts-XXXXXX");
    ~Scratch() { Output("rm -rf '" + folder + "'"); }
};

// The facts of path, opened through the link made to it; told after
// after(path) where given, on the same handle.
DriveFacts ThroughLink(const std::string& path, const std::string& link,
                       void (*after)(const std::string&) = nullptr) {
    ErrorCode error = 0;
    FileHandle drive = symlink(path.c_str(), link.c_str()) == 0 ? OpenDrive(link, error) : -1;
    if (drive < 0) return {"not opened: " + std::to_string(error), "", ""};
    if (after != nullptr) after(path);
    DriveFacts facts = DescribeDrive(drive, link);
    CloseFile(drive, error);
    return facts;
}

TEST(DriveFacts, AFileIsThePathItsDescriptorReadsNow) {
    Scratch scratch;
    std::string file = scratch.folder + "/card.img";
    std::ofstream(file) << std::string(8192, 'x');
    EXPECT_EQ(ThroughLink(file, scratch.folder + "/link").opened, file);
    DriveFacts facts = ThroughLink(file, scratch.folder + "/link2", [](const std::string& path) {
        rename(path.c_str(), (path + ".moved").c_str());
    });
    EXPECT_EQ(facts.opened, file + ".moved");
    EXPECT_EQ(facts.model + facts.serial, "");
}

// A loop device and, where the kernel makes one, its partition: each the
// node the kernel names, with nothing for a model or serial.
TEST(DriveFacts, ALoopDeviceAndItsPartitionAreTheirNodes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    Scratch scratch;
    std::string file = scratch.folder + "/disk.img", disk(2 * 1048576, '\0'), loop;
    // One partition from sector 2048 to the end of the 2 MiB disk.
    disk.replace(446 + 4, 1, "\x83").replace(446 + 8, 8, std::string("\x00\x08\0\0\x00\x08\0\0", 8));
    std::ofstream(file, std::ios::binary) << disk.replace(510, 2, "\x55\xaa");
    // Tests running at once race for the same free device; the loser asks again.
    for (int attempt = 0; attempt < 5 && loop.empty(); ++attempt)
        loop = Output("losetup -f --show -P '" + file + "' 2>/dev/null");
    if (loop.empty()) GTEST_SKIP() << "no loop device could be attached";
    for (int wait = 0; wait < 10 && access((loop + "p1").c_str(), F_OK) != 0; ++wait) usleep(100000);
    for (const std::string& node : {loop, loop + "p1"}) {
        if (access(node.c_str(), F_OK) != 0) continue;
        DriveFacts facts = ThroughLink(node, scratch.folder + "/link" + std::to_string(node.size()));
        EXPECT_EQ(facts.opened, node);
        EXPECT_EQ(facts.model + facts.serial, "") << node;
    }
    Output("losetup -d " + loop);
}

// The first disk of this machine with a model or serial in sysfs that can
// be opened tells them.
TEST(DriveFacts, ADiskTellsTheModelAndSerialOfSysfs) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::istringstream names(
        Output("cd /sys/block && for d in *; do realpath $d | grep -qv /virtual/ && echo $d; done"));
    for (std::string name; std::getline(names, name);) {
        std::string base = "/sys/block/" + name, model = Output("cat " + base + "/device/model 2>/dev/null");
        std::string serial = Output("cat " + base + "/serial " + base + "/device/serial 2>/dev/null");
        ErrorCode error = 0;
        FileHandle drive = model.empty() && serial.empty() ? -1 : OpenDrive("/dev/" + name, error);
        if (drive < 0) continue;
        DriveFacts facts = DescribeDrive(drive, "/dev/" + name);
        CloseFile(drive, error);
        EXPECT_EQ(facts.opened, "/dev/" + name);
        EXPECT_NE(facts.model.find(model), std::string::npos) << model;
        EXPECT_EQ(facts.serial, serial.empty() ? facts.serial : serial);
        return;
    }
    GTEST_SKIP() << "no disk with a model or serial in sysfs to open";
}
}  // namespace

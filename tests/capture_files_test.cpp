// The capture files hold a person's palm: they are private, written whole or
// not at all, and nothing planted in the capture folder can divert them.
#include "scenarios.h"
#include "tool_harness.h"

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emulated_module {
namespace {

mode_t mode_of(const std::string &path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return 0;
    return info.st_mode;
}

class CaptureFiles : public ToolTest {
protected:
    void TearDown() override
    {
        if (mounted_)
            umount2(capture_dir().c_str(), MNT_DETACH);
        ToolTest::TearDown();
    }
    bool mounted_ = false;
};

TEST_F(CaptureFiles, AreReadableByTheOwnerOnlyInAFolderOfTheirOwn)
{
    mode_t previous = umask(022);
    run_tool(healthy_module());
    umask(previous);
    EXPECT_EQ(run_.exit_status, 0);
    EXPECT_EQ(mode_of(capture_dir()), S_IFDIR | 0700);
    for (const char *name : CAPTURE_NAMES)
        EXPECT_EQ(mode_of(capture_path(name)), S_IFREG | 0600) << name;
}

TEST_F(CaptureFiles, PlantedLinksAndFilesNeverReceiveAFrame)
{
    std::string outside = work_dir() + "/outside";
    Bytes outside_content = {'k', 'e', 'e', 'p'};
    mkdir(capture_dir().c_str(), 0700);
    {
        std::string path = outside;
        FILE *file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(outside_content.data(), 1, outside_content.size(), file);
        std::fclose(file);
    }
    // A link at the capture's own name, and things at the temporary names.
    ASSERT_EQ(symlink(outside.c_str(), capture_path("bg1.bin").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), capture_path("bg2.bin.tmp").c_str()), 0);
    Bytes planted = {'p', 'l', 'a', 'n', 't'};
    write_capture("bg3.bin.tmp", planted);

    run_tool(healthy_module());
    EXPECT_EQ(run_.exit_status, 0);
    std::vector<Bytes> frames = healthy_frames();
    EXPECT_EQ(read_file(outside), outside_content) << "written through a planted link";
    EXPECT_TRUE(S_ISREG(mode_of(capture_path("bg1.bin")))) << "the link is replaced by a file";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_capture(CAPTURE_NAMES[i]), frames[i]) << CAPTURE_NAMES[i];
    EXPECT_TRUE(S_ISLNK(mode_of(capture_path("bg2.bin.tmp"))));
    EXPECT_EQ(read_capture("bg3.bin.tmp"), planted);
    EXPECT_EQ(capture_dir_entries(),
              (std::vector<std::string>{"bg1.bin", "bg2.bin", "bg2.bin.tmp", "bg3.bin",
                                        "bg3.bin.tmp", "hand1.bin"}));
}

TEST_F(CaptureFiles, ADirectoryInTheWayIsReportedAndLeftAlone)
{
    mkdir(capture_dir().c_str(), 0700);
    ASSERT_EQ(mkdir(capture_path("bg1.bin").c_str(), 0700), 0);
    run_tool(healthy_module());
    EXPECT_EQ(run_.exit_status, 0);
    EXPECT_EQ(run_.out.substr(0, run_.out.find('\n') + 1),
              "cannot replace captures/bg1.bin: Is a directory\n");
    EXPECT_EQ(run_.out.find("frame: total=1056"), std::string::npos);
    EXPECT_TRUE(S_ISDIR(mode_of(capture_path("bg1.bin"))));
    EXPECT_EQ(capture_dir_entries(),
              (std::vector<std::string>{"bg1.bin", "bg2.bin", "bg3.bin", "hand1.bin"}));
}

// A full disk while a frame is written: the earlier capture survives whole.
TEST_F(CaptureFiles, AFullDiskLeavesTheEarlierCaptureIntact)
{
    mkdir(capture_dir().c_str(), 0700);
    // 24 KiB: room for the old palm capture, bg1 and bg3, not for bg2 or the palm.
    if (geteuid() != 0 ||
        mount("tmpfs", capture_dir().c_str(), "tmpfs", 0, "size=24k,mode=0700") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root: " << std::strerror(errno);
    mounted_ = true;
    Bytes old_palm(3000, 0x0D);
    write_capture("hand1.bin", old_palm);

    run_tool(healthy_module());
    EXPECT_EQ(run_.exit_status, 0);
    std::vector<Bytes> frames = healthy_frames();
    EXPECT_EQ(run_.out, frame_line(1056, 1, 1, 0x0102) +
                            "cannot write captures/bg2.bin: No space left on device\n" +
                            frame_line(56, 3, 1, 0x1A1A) + OPERATOR_PROMPT_LINE +
                            "cannot write captures/hand1.bin: No space left on device\n"
                            "done\n");
    EXPECT_EQ(read_capture("bg1.bin"), frames[0]);
    EXPECT_EQ(read_capture("bg3.bin"), frames[2]);
    EXPECT_EQ(read_capture("hand1.bin"), old_palm);
    EXPECT_EQ(capture_dir_entries(), (std::vector<std::string>{"bg1.bin", "bg3.bin", "hand1.bin"}));
}

}  // namespace
}  // namespace emulated_module

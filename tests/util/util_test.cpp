// qfutil: the child processes a batch runs in, outputs refused over what a command reads
// (including a disk image whose file was named as IMAGE:path), and whole files written or refused.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

#include "authoring/adf_writer.h"
#include "qfhost/volume_files.hpp"
#include "qfutil/output.hpp"
#include "qfutil/process_pool.hpp"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;

TEST(ProcessPool, EachChildsOutputArrivesWholeWithItsStatus)
{
    // More than a pipe holds, from two children at once: each must still come through whole.
    const size_t big = 200000;
    std::map<size_t, qfutil::ChildDone> ended;
    qfutil::RunInChildren(
        4, 2, false,
        [&](size_t i) {
            if (i == 2) ::raise(SIGKILL);
            std::string line(i == 0 || i == 1 ? big : 3, static_cast<char>('a' + i));
            std::fputs(line.c_str(), stdout);
            char c;
            // stdin is /dev/null: nothing to read, at once.
            if (::read(STDIN_FILENO, &c, 1) != 0) return 9;
            return static_cast<int>(i);
        },
        [&](const qfutil::ChildDone &done) { ended[done.index] = done; });
    ASSERT_EQ(ended.size(), 4u);
    for (size_t i : {0u, 1u}) {
        EXPECT_EQ(ended[i].output, std::string(big, static_cast<char>('a' + i)));
        EXPECT_TRUE(WIFEXITED(ended[i].status) && WEXITSTATUS(ended[i].status) == static_cast<int>(i));
    }
    EXPECT_TRUE(WIFSIGNALED(ended[2].status) && WTERMSIG(ended[2].status) == SIGKILL);
    EXPECT_EQ(ended[2].output, "");
    EXPECT_EQ(ended[3].output, "ddd");
    EXPECT_EQ(WEXITSTATUS(ended[3].status), 3);
}

TEST(Outputs, NothingReadIsWrittenOver)
{
    qftest::TempDir dir;
    const fs::path picture = dir.write("art/field.png", {1, 2, 3});
    const fs::path disk = dir.write("bounce.adf", qfauthor::AdfWriter().file("bounce.movie", {4, 5, 6}).image());
    fs::create_symlink(picture, dir / "link.png");

    qfutil::Outputs outputs(qfutil::Overwrite::Always);
    outputs.addInput(picture);
    // A file inside a disk image is no host file: the image holding it is the input.
    outputs.addInput(qfhost::HostFileOf((disk.string() + ":bounce.movie")));
    for (const fs::path &target : {picture, dir / "link.png", dir / "art/../art/field.png", disk}) {
        EXPECT_THROW(outputs.claim(target), std::runtime_error) << target;
    }
    EXPECT_NO_THROW(outputs.claim(dir / "other.png"));
    EXPECT_EQ(qfhost::HostFileOf("no/such:file"), fs::path("no/such:file"));
}

// A write that only fails when the bytes leave the buffer is still a failure, and bytes are
// written as they are.
TEST(Outputs, WriteFileReportsAFullDisk)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_THROW(qfutil::WriteFile("/dev/full", std::string_view("a few bytes")), std::runtime_error);
    qftest::TempDir dir;
    const std::vector<uint8_t> bytes{0, 255, '\n', 0};
    qfutil::WriteFile(dir / "b", bytes);
    qfutil::WriteFile(dir / "b", bytes);  // emptied first, not appended to
    EXPECT_EQ(fs::file_size(dir / "b"), bytes.size());
    EXPECT_THROW(qfutil::WriteFile(dir / "no/folder/b", bytes), std::runtime_error);
}

}  // namespace

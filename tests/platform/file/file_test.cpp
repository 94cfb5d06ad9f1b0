#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file/file.h"

namespace {

using namespace platform;
namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/file-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Folder = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }

    std::string Path(const std::string& name) const { return Folder + "/" + name; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // Every name in the folder: a writer must leave no temporary file behind.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Folder;
};

TEST_F(FileTest, AnExistingFileIsReplacedWholeWithItsModeAndOwnerKept) {
    const std::string target = Path("registry");
    Write(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), 1234, 2345), 0);
    }

    std::string error;
    ASSERT_TRUE(WriteFileAtomically(target, "new content", &error)) << error;
    EXPECT_EQ(Read(target), "new content");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(info.st_uid, 1234u);
        EXPECT_EQ(info.st_gid, 2345u);
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"registry"});
}

TEST_F(FileTest, ANewFileGetsTheUsualPermissions) {
    const mode_t mask = ::umask(027);
    std::string error;
    const bool written = WriteFileAtomically(Path("new"), "x", &error);
    ::umask(mask);
    ASSERT_TRUE(written) << error;
    struct stat info {};
    ASSERT_EQ(::stat(Path("new").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(FileTest, WhatIsNotARegularFileIsRefusedAndLeftAlone) {
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    fs::create_directory(Path("folder"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Path("socket").c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::symlink("/dev/null", Path("null-link").c_str()), 0);

    struct Case {
        std::string Path;
        const char* Kind;
    };
    for (const Case& c : {Case{"/dev/null", "character device"}, Case{"/dev/full", "character device"},
                          Case{Path("fifo"), "pipe or FIFO"}, Case{Path("folder"), "folder"},
                          Case{Path("socket"), "socket"}, Case{Path("null-link"), "character device"}}) {
        struct stat before {};
        ASSERT_EQ(::stat(c.Path.c_str(), &before), 0) << c.Path;
        std::string error;
        AtomicFile file;
        EXPECT_FALSE(file.Open(c.Path, &error)) << c.Path;
        EXPECT_NE(error.find(c.Path), std::string::npos) << error;
        EXPECT_NE(error.find(c.Kind), std::string::npos) << error;
        EXPECT_FALSE(WriteFileAtomically(c.Path, "data", &error)) << c.Path;
        struct stat after {};
        ASSERT_EQ(::stat(c.Path.c_str(), &after), 0) << c.Path;
        EXPECT_EQ(after.st_mode, before.st_mode) << c.Path;
        EXPECT_EQ(after.st_ino, before.st_ino) << c.Path;
    }
    ::close(sock);
    EXPECT_EQ(Names(), (std::vector<std::string>{"fifo", "folder", "null-link", "socket"}));
}

TEST_F(FileTest, ASymbolicLinkIsFollowedAndStaysALink) {
    fs::create_directory(Path("real"));
    Write(Path("real/registry"), "old");
    ASSERT_EQ(::symlink("real/registry", Path("link").c_str()), 0);
    ASSERT_EQ(::symlink("../link", Path("real/chain").c_str()), 0);   // a link to a link, relative to its folder
    ASSERT_EQ(::symlink("real/later", Path("dangling").c_str()), 0);  // names a file not made yet

    std::string error;
    ASSERT_TRUE(WriteFileAtomically(Path("real/chain"), "through two links", &error)) << error;
    EXPECT_TRUE(fs::is_symlink(Path("link")));
    EXPECT_TRUE(fs::is_symlink(Path("real/chain")));
    EXPECT_EQ(Read(Path("real/registry")), "through two links");

    ASSERT_TRUE(WriteFileAtomically(Path("dangling"), "made", &error)) << error;
    EXPECT_TRUE(fs::is_symlink(Path("dangling")));
    EXPECT_EQ(Read(Path("real/later")), "made");

    std::string resolved;
    ASSERT_TRUE(ResolveOutputPath(Path("real/chain"), resolved, &error)) << error;
    EXPECT_EQ(resolved, Path("real/registry"));
    ASSERT_EQ(::symlink("loop-b", Path("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", Path("loop-b").c_str()), 0);
    EXPECT_FALSE(WriteFileAtomically(Path("loop-a"), "x", &error));
    EXPECT_NE(error.find("symbolic links"), std::string::npos) << error;
}

TEST_F(FileTest, AnUncommittedOrFailedWriteLeavesTheEarlierFileIntact) {
    const std::string target = Path("song.wav");
    Write(target, "the earlier render");
    {
        AtomicFile file;
        std::string error;
        ASSERT_TRUE(file.Open(target, &error)) << error;
        ASSERT_TRUE(file.Write("half a", 6));
    }  // destroyed without Commit, as a run that is refused or interrupted
    EXPECT_EQ(Read(target), "the earlier render");
    EXPECT_EQ(Names(), std::vector<std::string>{"song.wav"});

    // A full disk, as the size limit makes it: the write fails, so does Commit.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    AtomicFile file;
    std::string error;
    const bool opened = file.Open(target, &error);
    const std::string big(8192, 'x');
    const bool wrote = file.Write(big.data(), big.size());
    const bool committed = file.Commit(&error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(wrote);
    EXPECT_FALSE(committed);
    EXPECT_NE(error.find(target), std::string::npos) << error;
    EXPECT_EQ(Read(target), "the earlier render");
    EXPECT_EQ(Names(), std::vector<std::string>{"song.wav"});
}

TEST_F(FileTest, AHeaderWrittenLastLandsAtItsPlace) {
    AtomicFile file;
    std::string error;
    ASSERT_TRUE(file.Open(Path("out"), &error)) << error;
    ASSERT_TRUE(file.Write("....body", 8));
    ASSERT_TRUE(file.WriteAt(0, "HEAD", 4));
    ASSERT_TRUE(file.Commit(&error)) << error;
    EXPECT_EQ(Read(Path("out")), "HEADbody");
}

TEST_F(FileTest, TwoWritersAtOnceEachLeaveAWholeFile) {
    const std::string target = Path("shared");
    const std::string first(1 << 20, 'a'), second(1 << 20, 'b');
    auto writer = [&](const std::string& content) {
        for (int i = 0; i < 20; ++i) {
            AtomicFile file;
            if (!file.Open(target, nullptr)) return false;
            for (std::size_t at = 0; at < content.size(); at += 4096) file.Write(content.data() + at, 4096);
            if (!file.Commit(nullptr)) return false;
        }
        return true;
    };
    auto one = std::async(std::launch::async, writer, first);
    auto two = std::async(std::launch::async, writer, second);
    EXPECT_TRUE(one.get());
    EXPECT_TRUE(two.get());
    const std::string result = Read(target);
    EXPECT_TRUE(result == first || result == second) << "a mixed file of " << result.size() << " bytes";
    EXPECT_EQ(Names(), std::vector<std::string>{"shared"});
}

TEST_F(FileTest, NamesOfOneFileAreKnownAsOne) {
    Write(Path("a"), "x");
    ASSERT_EQ(::link(Path("a").c_str(), Path("hard").c_str()), 0);
    ASSERT_EQ(::symlink("a", Path("soft").c_str()), 0);
    Write(Path("b"), "x");
    EXPECT_TRUE(NameSameFile(Path("a"), Path("hard")));
    EXPECT_TRUE(NameSameFile(Path("soft"), Path("a")));
    fs::create_directory(Path("d"));
    EXPECT_TRUE(NameSameFile(Path("a"), Folder + "/./d/../a"));
    EXPECT_FALSE(NameSameFile(Path("a"), Path("b")));
    EXPECT_TRUE(NameSameFile(Path("new"), Folder + "/../" + fs::path(Folder).filename().string() + "/new"));
    EXPECT_FALSE(NameSameFile(Path("new"), Path("other")));
}

// ---------------------------------------------------------------- reading

TEST_F(FileTest, AReadIsBoundedAndNamesTheFileAndTheLimit) {
    Write(Path("big"), std::string(2048, 'x'));
    FileBytes bytes;
    ReadFailure failure;
    EXPECT_FALSE(ReadFileBytes(Path("big"), ReadLimits{1024, 0}, bytes, failure));
    EXPECT_EQ(failure.Problem, ReadProblem::TooLarge);
    EXPECT_NE(failure.Text.find(Path("big")), std::string::npos) << failure.Text;
    EXPECT_NE(failure.Text.find("1 KiB"), std::string::npos) << failure.Text;

    ASSERT_TRUE(ReadFileBytes(Path("big"), ReadLimits{2048, 0}, bytes, failure)) << failure.Text;
    EXPECT_EQ(bytes.Size, 2048u);

    // A streaming device never ends: it is read to the limit and refused.
    EXPECT_FALSE(ReadFileBytes("/dev/zero", ReadLimits{1 << 20, 1 << 20}, bytes, failure));
    EXPECT_EQ(failure.Problem, ReadProblem::TooLarge);
    EXPECT_NE(failure.Text.find("/dev/zero"), std::string::npos) << failure.Text;
    EXPECT_NE(failure.Text.find("1 MiB"), std::string::npos) << failure.Text;

    // Files that report no size, as under /proc, are read to their end.
    ASSERT_TRUE(ReadFileBytes("/proc/self/status", ReadLimits{1 << 20, 0}, bytes, failure)) << failure.Text;
    EXPECT_NE(bytes.Text().find("Umask:"), std::string::npos);
}

TEST_F(FileTest, StreamsAreRefusedUnlessAllowedAndThenReadToTheirEnd) {
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    fs::create_directory(Path("folder"));
    FileBytes bytes;
    ReadFailure failure;
    // No writer: refused at once, not waited on.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadFileBytes(Path("fifo"), ReadLimits{1024, 0}, bytes, failure));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(failure.Problem, ReadProblem::NotRegular);
    EXPECT_NE(failure.Text.find("pipe or FIFO"), std::string::npos) << failure.Text;
    EXPECT_FALSE(ReadFileBytes(Path("folder"), ReadLimits{1024, 1024}, bytes, failure));
    EXPECT_EQ(failure.Problem, ReadProblem::NotRegular);
    EXPECT_FALSE(ReadFileBytes(Path("missing"), ReadLimits{1024, 1024}, bytes, failure));
    EXPECT_EQ(failure.Problem, ReadProblem::Open);
    EXPECT_EQ(failure.Reason, std::strerror(ENOENT));

    // A FIFO with a writer, and a pipe named the way /dev/stdin names one.
    const std::string content(200000, 'm');
    std::thread writer([&] { std::ofstream(Path("fifo"), std::ios::binary) << content; });
    ASSERT_TRUE(ReadFileBytes(Path("fifo"), ReadLimits{1024, 1 << 20}, bytes, failure)) << failure.Text;
    writer.join();
    EXPECT_EQ(std::string(bytes.Text()), content);

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread piper([&] {
        for (std::size_t at = 0; at < content.size(); at += 1000) {
            if (::write(ends[1], content.data() + at, 1000) != 1000) break;
        }
        ::close(ends[1]);
    });
    const bool read = ReadFileBytes("/dev/fd/" + std::to_string(ends[0]), ReadLimits{1024, 1 << 20}, bytes, failure);
    piper.join();
    ::close(ends[0]);
    ASSERT_TRUE(read) << failure.Text;
    EXPECT_EQ(bytes.Size, content.size());
}

TEST(FileSizes, AreNamedInTheirLargestWholeUnit) {
    EXPECT_EQ(DescribeSize(16u << 20), "16 MiB");
    EXPECT_EQ(DescribeSize(64u << 10), "64 KiB");
    EXPECT_EQ(DescribeSize(4ull << 30), "4 GiB");
    EXPECT_EQ(DescribeSize(1000), "1000 bytes");
    EXPECT_EQ(DescribeSize(1), "1 byte");
}

}  // namespace

// ocx-register and ocx-container run as a user runs them: separate processes
// with a registry file of the test's own, the sample control module loaded
// through it, and a script fed to the container.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int Status = -1;
    std::string Out;
    std::string Err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class OcxTools : public ::testing::Test {
protected:
    void SetUp() override {
        // The tools are programs of their own, without the sanitizer options
        // compiled into test programs: they get the same suppressions (system
        // libraries only, such as fontconfig's lifelong caches) from here.
        ::setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" ORVALIS_SOURCE_DIR "/cmake/sanitizers/lsan.supp",
                 0);
        ::setenv("TSAN_OPTIONS", "halt_on_error=1:suppressions=" ORVALIS_SOURCE_DIR "/cmake/sanitizers/tsan.supp", 0);
        char pattern[] = "/tmp/ocx-tools-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Folder = pattern;
        Registry = Folder + "/registry";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }

    // Runs a program with `input` on its standard input.
    Outcome Run(std::vector<std::string> args, const std::string& input = "") {
        std::string in = Folder + "/stdin", out = Folder + "/stdout", err = Folder + "/stderr";
        std::ofstream(in, std::ios::binary) << input;
        pid_t pid = ::fork();
        if (pid == 0) {
            int i = ::open(in.c_str(), O_RDONLY);
            int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(i, 0);
            ::dup2(o, 1);
            ::dup2(e, 2);
            std::vector<char*> argv;
            for (auto& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        Outcome outcome;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            outcome.Status = WEXITSTATUS(status);
        }
        outcome.Out = ReadFile(out);
        outcome.Err = ReadFile(err);
        return outcome;
    }

    Outcome Register(const std::string& module, bool unregister = false) {
        std::vector<std::string> args{OCX_REGISTER, "--registry", Registry};
        if (unregister) args.push_back("-u");
        args.push_back(module);
        return Run(args);
    }

    std::string Folder;
    std::string Registry;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines of `text` that `wanted` lists appear in that order.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& wanted) {
    std::size_t from = 0;
    for (const auto& line : wanted) {
        std::size_t at = text.find(line + "\n", from);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure() << "missing, or out of order: \"" << line << "\" in\n" << text;
        }
        from = at + line.size();
    }
    return ::testing::AssertionSuccess();
}

TEST_F(OcxTools, RegisterListsWhatTheModuleRegisteredAndUnregisterWhatItRemoved) {
    Outcome registered = Register(SAMPLE_MODULE);
    ASSERT_EQ(registered.Status, 0) << registered.Err;
    std::string module = std::filesystem::canonical(SAMPLE_MODULE).string();
    EXPECT_TRUE(InOrder(registered.Out,
                        {"Registered " + module + " in " + Registry,
                         "  control SAMPLE.SampleCtrl.1 {3D1B7A40-52C6-4E0B-8F11-6A2C905E1301} \"Sample Control\"",
                         "  property page {3D1B7A40-52C6-4E0B-8F11-6A2C905E1302} \"Sample Property Page\"",
                         "  type library SAMPLELib 1.0 {3D1B7A40-52C6-4E0B-8F11-6A2C905E1305}"}));
    EXPECT_TRUE(Contains(ReadFile(Registry), "ProgID = SAMPLE.SampleCtrl.1"));

    Outcome again = Register(SAMPLE_MODULE);
    EXPECT_EQ(again.Status, 0);
    EXPECT_TRUE(Contains(again.Out, "(no changes)")) << again.Out;

    Outcome removed = Register(SAMPLE_MODULE, true);
    ASSERT_EQ(removed.Status, 0) << removed.Err;
    EXPECT_TRUE(Contains(removed.Out, "Unregistered " + module)) << removed.Out;
    EXPECT_TRUE(Contains(removed.Out, "  control SAMPLE.SampleCtrl.1")) << removed.Out;
    EXPECT_FALSE(Contains(ReadFile(Registry), "SAMPLE.SampleCtrl.1"));
    EXPECT_TRUE(Contains(Register(SAMPLE_MODULE, true).Out, "(nothing of it was registered)"));
}

TEST_F(OcxTools, RegisterExplainsEachFailureWithItsOwnExitStatus) {
    Outcome help = Run({OCX_REGISTER, "--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_TRUE(Contains(help.Out, "Usage: ocx-register [-u] [--registry FILE] MODULE.so"));

    EXPECT_EQ(Run({OCX_REGISTER}).Status, 1);
    Outcome unknown = Run({OCX_REGISTER, "--frobnicate", SAMPLE_MODULE});
    EXPECT_EQ(unknown.Status, 1);
    EXPECT_TRUE(Contains(unknown.Err, "unknown option --frobnicate")) << unknown.Err;

    Outcome missing = Register(Folder + "/nothing.so");
    EXPECT_EQ(missing.Status, 2);
    EXPECT_TRUE(Contains(missing.Err, "nothing.so: no such module file")) << missing.Err;

    std::string notAModule = Folder + "/plain.so";
    std::filesystem::copy_file(OCX_REGISTER, notAModule);  // an executable, not a shared object
    Outcome wrong = Register(notAModule);
    EXPECT_EQ(wrong.Status, 2);
    EXPECT_TRUE(Contains(wrong.Err, "cannot load the module")) << wrong.Err;

    Outcome broken = Register(BROKEN_MODULE);
    EXPECT_EQ(broken.Status, 3);
    EXPECT_TRUE(Contains(broken.Err, "0x80040200 (type library registration failed)")) << broken.Err;
    EXPECT_TRUE(Contains(broken.Err, "the name is used twice")) << broken.Err;

    const std::string corrupt = "[Class {not a guid}]\n";
    std::ofstream(Registry) << corrupt;
    Outcome refused = Register(SAMPLE_MODULE);
    EXPECT_EQ(refused.Status, 3);
    EXPECT_TRUE(Contains(refused.Err, Registry + " line 1")) << refused.Err;
    EXPECT_EQ(ReadFile(Registry), corrupt) << "a corrupt registry is never overwritten";
}

TEST_F(OcxTools, ContainerDrivesTheSampleControlFromAScript) {
    ASSERT_EQ(Register(SAMPLE_MODULE).Status, 0);
    std::string png = Folder + "/control.png";
    std::string props = Folder + "/control.props";
    std::string page = Folder + "/page.png";
    std::string script =
        "# drive the sample control\n"
        "create sample.samplectrl.1 as s\n"
        "members\n"
        "events\n"
        "call Echo \"hello, world\"\n"
        "call Add 40 2\n"
        "call GetInfo & &5 &\n"
        "call MuteChannel 3 true\n"
        "call MutedChannels\n"
        "set Level 0.5\n"
        "get Level\n"
        "call Notify 7\n"
        "answer Request Refuse=true\n"
        "call AskPermission\n"
        "call RaiseError \"it broke\"\n"
        "call Nothing\n"
        "call Add 1\n"
        "call Add one two\n"
        "frobnicate\n"
        "activate 100 50\n"
        "click 20 30\n"
        "png " +
        png +
        "\n"
        "save " +
        props +
        "\n"
        "set Level 2\n"
        "load " +
        props +
        "\n"
        "get Level\n"
        "verb properties " +
        page +
        "\n"
        "call StartTicks 3\n"
        "wait Tick 3\n"
        "wait Tick 4 50\n"
        "release\n"
        "get Level\n";
    std::string scriptFile = Folder + "/script.txt";
    std::ofstream(scriptFile) << script;
    Outcome session = Run({OCX_CONTAINER, "--registry", Registry, scriptFile});
    EXPECT_EQ(session.Status, 1) << "some lines failed on purpose";
    const std::string errorEvent =
        "event s.Error(Number=0, Description=\"it broke\", Scode=0, Source=\"SAMPLE.SampleCtrl.1\", "
        "HelpFile=\"\", HelpContext=0, CancelDisplay=false) -> CancelDisplay=true";
    EXPECT_TRUE(InOrder(session.Out,
                        {"created s: SAMPLE.SampleCtrl.1 {3D1B7A40-52C6-4E0B-8F11-6A2C905E1301} \"Sample Control\"",
                         "_DSample (SAMPLELib): Dispatch interface for Sample Control",
                         "  1 property Enabled: bool",
                         "  7 method GetInfo(double* Ratio, long* Count, bool* Ready): bool",
                         "  -552 method AboutBox(): void",
                         "_DSampleEvents (SAMPLELib): Event interface for Sample Control",
                         "  2 method Request(bool* Refuse): void",
                         "= \"hello, world\"",
                         "= 42",
                         "= true",
                         "  Ratio = 0.75",
                         "  Count = 42",
                         "  Ready = false",
                         "= 8",
                         "Level = 0.5",
                         "event s.Changed(Value=7)",
                         "event s.Request(Refuse=false) -> Refuse=true",
                         "= false",
                         errorEvent,
                         "ok",
                         "activated s in a 100x50 window",
                         "event s.Pressed(X=20, Y=30)",
                         "event s.Click()",
                         "wrote " + png + " (100x50)",
                         "saved s to " + props,
                         "loaded s from " + props,
                         "Level = 0.5",
                         "page \"General\" (dialog 300) {3D1B7A40-52C6-4E0B-8F11-6A2C905E1302}",
                         "released s"}));
    EXPECT_TRUE(InOrder(session.Out, {"event s.Tick(Index=0)", "event s.Tick(Index=1)", "event s.Tick(Index=2)"}));
    EXPECT_FALSE(Contains(session.Out, "notice:")) << "the container cancelled the error's own display";
    EXPECT_EQ(session.Err,
              "error: line 16: the control has no member \"Nothing\"\n"
              "error: line 17: Add takes 2 arguments, 1 given\n"
              "error: line 18: argument 1 (A) of Add is long: \"one\" is not a number\n"
              "error: line 19: unknown command \"frobnicate\" (try help)\n"
              "error: line 30: Tick fired 3 times in 50 ms, not 4\n"
              "error: line 32: no control yet: create one first\n");
    EXPECT_EQ(ReadFile(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_TRUE(Contains(session.Out, "wrote " + page + " (")) << session.Out;
    EXPECT_EQ(ReadFile(page).substr(0, 8), "\x89PNG\r\n\x1a\n") << "the page's picture";
    EXPECT_TRUE(Contains(ReadFile(props), "Level = 0.5\n"));
}

TEST_F(OcxTools, NoToolReplacesWhatIsNotAFileOrReadsOneWithoutEnd) {
    const std::string fifo = Folder + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& registry : {std::string("/dev/null"), std::string("/dev/zero"), fifo}) {
        struct stat before {};
        ASSERT_EQ(::stat(registry.c_str(), &before), 0);
        Outcome refused = Run({OCX_REGISTER, "--registry", registry, SAMPLE_MODULE});
        EXPECT_EQ(refused.Status, 3) << registry << "\n" << refused.Err;
        EXPECT_TRUE(Contains(refused.Err, registry + ": it is a")) << refused.Err;
        Outcome created = Run({OCX_CONTAINER, "--registry", registry}, "create SAMPLE.SampleCtrl.1\n");
        EXPECT_EQ(created.Status, 1) << registry;
        EXPECT_TRUE(Contains(created.Err, registry + ": it is a")) << created.Err;
        struct stat after {};
        ASSERT_EQ(::stat(registry.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << registry;
        EXPECT_EQ(after.st_rdev, before.st_rdev) << registry;
    }

    // A registry reached through a link keeps the link, and its file its mode.
    const std::string real = Folder + "/real-registry";
    ASSERT_EQ(::symlink(real.c_str(), Registry.c_str()), 0);
    ASSERT_EQ(Register(SAMPLE_MODULE).Status, 0);
    ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
    ASSERT_EQ(Register(SAMPLE_MODULE, true).Status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(Registry));
    struct stat info {};
    ASSERT_EQ(::stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(Register(SAMPLE_MODULE).Status, 0);

    Outcome session = Run({OCX_CONTAINER, "--registry", Registry},
                          "create SAMPLE.SampleCtrl.1\nsave /dev/full\nload /dev/zero\nload " + fifo + "\n");
    EXPECT_EQ(session.Status, 1);
    EXPECT_FALSE(Contains(session.Out, "saved")) << session.Out;
    EXPECT_TRUE(Contains(session.Err, "error: line 2: cannot write /dev/full: it is a character device"))
        << session.Err;
    EXPECT_TRUE(Contains(session.Err, "error: line 3: cannot read /dev/zero: it is a character device")) << session.Err;
    EXPECT_TRUE(Contains(session.Err, "error: line 4: cannot read " + fifo + ": it is a pipe or FIFO")) << session.Err;
}

TEST_F(OcxTools, ContainerBoundsItsLinesAndRefusesANulInOne) {
    ASSERT_EQ(Register(SAMPLE_MODULE).Status, 0);
    std::string words = "echo";
    for (int i = 0; i < 300; ++i) words += " w";
    const std::string script = "create SAMPLE.SampleCtrl.1\n" + std::string(3u << 20, 'x') + "\n" + words +
                               "\ncall Echo \"cut" + std::string(1, '\0') + "short\"\ncall Add 2 3\n";
    Outcome session = Run({OCX_CONTAINER, "--registry", Registry}, script);
    EXPECT_EQ(session.Status, 1);
    EXPECT_EQ(session.Err,
              "error: line 2: the line is longer than 1048576 bytes; it is skipped\n"
              "error: line 3: more than 256 words on one line\n"
              "error: line 4: the line holds a NUL character\n");
    EXPECT_TRUE(Contains(session.Out, "= 5\n")) << "the session goes on after them";
}

TEST_F(OcxTools, ContainerReadsStandardInputAndSucceedsWhenEveryLineDoes) {
    ASSERT_EQ(Register(SAMPLE_MODULE).Status, 0);
    Outcome session =
        Run({OCX_CONTAINER, "--registry", Registry}, "create SAMPLE.SampleCtrl.1\ncall Add 2 3\nquit\ncall Add 1 1\n");
    EXPECT_EQ(session.Status, 0) << session.Err;
    EXPECT_TRUE(InOrder(session.Out, {"= 5"}));
    EXPECT_FALSE(Contains(session.Out, "= 2")) << "nothing runs after quit";

    Outcome unknown = Run({OCX_CONTAINER, "--registry", Registry}, "create NOT.Registered.1\n");
    EXPECT_EQ(unknown.Status, 1);
    EXPECT_TRUE(Contains(unknown.Err, "error: line 1: no class is registered as \"NOT.Registered.1\"")) << unknown.Err;

    EXPECT_EQ(Run({OCX_CONTAINER, Folder + "/no-such-script"}).Status, 2);
    Outcome help = Run({OCX_CONTAINER, "--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_TRUE(Contains(help.Out, "create PROGID|{CLSID} [as NAME]"));
}

}  // namespace

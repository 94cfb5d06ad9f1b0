// ocx-container on a display, run as a user runs it: the sample control
// embedded in another program's window by its X id, and a screenshot.

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "X11TestKit.h"

namespace {

using x11test::Child;
using namespace std::chrono_literals;

class OcxOnADisplay : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ocx-display-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Folder = pattern;
        Registry = Folder + "/registry";
        auto registration =
            Child::Start({OCX_REGISTER, "--registry", Registry, SAMPLE_MODULE}, "", nullptr, nullptr, nullptr, true);
        ASSERT_TRUE(registration && registration->Ended(10s));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }

    // A container session whose lines the test writes and reads one by one.
    struct Session {
        std::unique_ptr<Child> Process;
        int In = -1, Out = -1;
        std::string Pending;
        ~Session() {
            if (In >= 0) ::close(In);
            if (Process) Process->Ended(5s);
            if (Out >= 0) ::close(Out);
        }
        void Say(const std::string& line) {
            const std::string text = line + "\n";
            ASSERT_EQ(::write(In, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        }
        std::string Hear() {
            std::string line;
            return x11test::ReadLine(Out, Pending, line, 10s) ? line : "(nothing)";
        }
    };
    std::unique_ptr<Session> Start(const std::string& display) {
        auto session = std::make_unique<Session>();
        std::vector<std::string> args{OCX_CONTAINER, "--registry", Registry};
        if (!display.empty()) args.insert(args.end(), {"--display", display});
        session->Process = Child::Start(args, display, &session->In, &session->Out);
        return session;
    }

    std::string Folder, Registry;
};

}  // namespace

TEST_F(OcxOnADisplay, EmbedsAControlInAnotherProgramsWindowByItsIdAndWritesTheScreen) {
    X11_SERVER(display, 640, 480, true);
    x11test::Client look(display);
    ASSERT_TRUE(look.Ok());
    const xcb_window_t foreign = look.MakeWindow(20, 20, 200, 100, 0x808080);
    char id[32];
    std::snprintf(id, sizeof id, "0x%x", foreign);

    auto session = Start(display);
    session->Say("create SAMPLE.SampleCtrl.1");
    session->Say(std::string("embed ") + id);
    EXPECT_EQ(session->Hear().rfind("created c1: SAMPLE.SampleCtrl.1", 0), 0u);
    EXPECT_EQ(session->Hear(), std::string("activated c1 in X window ") + id + " (200x100)");
    EXPECT_TRUE(x11test::Eventually([&] { return look.ChildrenOf(foreign).size() == 1; }))
        << "the control's window is a child of the other program's window: " << look.ChildrenOf(foreign).size();
    const std::string shot = Folder + "/screen.png";
    session->Say("screenshot " + shot);
    EXPECT_EQ(session->Hear(), "wrote " + shot + " (640x480)");
    EXPECT_TRUE(std::filesystem::exists(shot));
    session->Say("quit");
    session.reset();
    EXPECT_TRUE(x11test::Eventually([&] { return look.ChildrenOf(foreign).empty(); }));
    EXPECT_TRUE(look.Exists(foreign)) << "the other program's window stays";
}

TEST_F(OcxOnADisplay, SaysWhatIsMissingWithoutADisplayOrAWindowAndWithABadDisplay) {
    const std::string script = "create SAMPLE.SampleCtrl.1\nembed 4194305\nembed 0\n";
    const auto headless = x11test::Run({OCX_CONTAINER, "--registry", Registry}, "", script);
    EXPECT_EQ(headless.Status, 1);
    EXPECT_NE(headless.Err.find("line 2: there is no display"), std::string::npos) << headless.Err;
    EXPECT_NE(headless.Err.find("line 3: usage: embed XID"), std::string::npos) << headless.Err;

    X11_SERVER(display, 320, 240, false);
    const auto noWindow = x11test::Run({OCX_CONTAINER, "--registry", Registry, "--display", display}, display, script);
    EXPECT_EQ(noWindow.Status, 1);
    EXPECT_NE(noWindow.Err.find("line 2: 0x400001 is not a window of the display"), std::string::npos) << noWindow.Err;

    const auto bad = x11test::Run({OCX_CONTAINER, "--display", ":4711"}, "", "");
    EXPECT_EQ(bad.Status, 2);
    EXPECT_NE(bad.Err.find(":4711"), std::string::npos) << bad.Err;
}

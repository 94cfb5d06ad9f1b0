// A control shown inside a window of another toolkit in another process: a
// plain Tk program makes a frame, the control is activated in it through the
// frame's X id, shows there, takes clicks there, follows the frame's size and
// goes when the frame goes.

#include <mutex>

#include "X11TestKit.h"
#include "fixture.h"
#include "platform/window/backend.h"
#include "platform/window/host.h"

using namespace platform;
using x11test::Eventually;

namespace {

// The host's side of the frame: the control fills it, whatever its size.
LRESULT FrameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SIZE) {
        if (auto* control = reinterpret_cast<HostedControl*>(GetWindowLongPtr(window, GWLP_USERDATA)))
            control->Activate(window, RECT{0, 0, LOWORD(static_cast<std::uintptr_t>(lParam)),
                                           HIWORD(static_cast<std::uintptr_t>(lParam))});
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

RECT ClientOf(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return r;
}

class EmbeddedInTk : public SampleTest {
protected:
    void SetUp() override {
        SampleTest::SetUp();
        if (HasFatalFailure()) return;
        X11_SERVER(display, 640, 480, true);
        Server = std::move(displayHolder);
        Look = std::make_unique<x11test::Client>(display);
        ASSERT_TRUE(Look->Ok());
        std::string error;
        Tk = x11test::TkProgram::Start(display, 240, 160, &error);
        if (!Tk) GTEST_SKIP() << error;
        ASSERT_TRUE(x11test::InstallBackend(display, std::chrono::seconds(2), &error)) << error;
        Installed = true;
    }
    void TearDown() override {
        Control.reset();
        if (IsWindow(Frame)) DestroyWindow(Frame);
        if (Installed) {
            EXPECT_TRUE(host::InstallBackend(nullptr));
        }
        Tk.reset();
        Look.reset();
        Server.reset();
        SampleTest::TearDown();
    }

    std::unique_ptr<x11test::Server> Server;
    std::unique_ptr<x11test::Client> Look;
    std::unique_ptr<x11test::TkProgram> Tk;
    bool Installed = false;
    HWND Frame = 0;
    std::unique_ptr<HostedControl> Control;
};

}  // namespace

TEST_F(EmbeddedInTk, TheControlLivesInTheTkFrameShowsThereTakesClicksFollowsItsSizeAndGoesWithIt) {
    Frame = host::AttachForeignWindow(Tk->Frame());
    ASSERT_NE(Frame, 0u) << GetLastError();
    EXPECT_EQ(ClientOf(Frame), (RECT{0, 0, 240, 160}));
    Control = CreateSample();
    ASSERT_TRUE(Control);
    ASSERT_EQ(Control->Activate(Frame, RECT{0, 0, 240, 160}), S_OK);
    SetWindowLongPtr(Frame, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Control.get()));
    SetWindowLongPtr(Frame, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrameProcedure));
    const HWND window = Control->Window();
    const auto id = static_cast<xcb_window_t>(host::NativeWindowId(window));
    // Our connection and the test's are served in no set order: wait for ours.
    EXPECT_TRUE(Eventually([&] { return Look->ParentOf(id) == Tk->Frame(); })) << "a native child of the Tk frame";

    std::string difference;
    EXPECT_TRUE(Eventually([&] {
        difference = x11test::Difference(host::CaptureWindow(window), Look->Picture(Tk->Frame(), 240, 160));
        return difference.empty();
    })) << "the frame shows the control's pixels: "
        << difference;

    std::mutex lock;
    std::vector<std::string> events;
    DWORD cookie = 0;
    ASSERT_EQ(Control->Connect(
                  [&](const EventInfo& event, std::span<Variant> args) {
                      std::string text = event.Name;
                      for (const Variant& arg : args) text += " " + arg.ToDisplayString();
                      std::lock_guard guard(lock);
                      events.push_back(text);
                  },
                  cookie),
              S_OK);
    ASSERT_TRUE(Eventually([&] { return Look->Viewable(id); }));
    Look->Click(id, 120, 80);
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard guard(lock);
        return std::find(events.begin(), events.end(), "Pressed 120 80") != events.end();
    })) << "a click in the Tk window reaches the control";

    std::string answer;
    Tk->Send("resize 300 200");
    ASSERT_TRUE(Tk->Answer(answer));
    EXPECT_EQ(answer, "ok 300 200");
    EXPECT_TRUE(Eventually([&] { return ClientOf(window) == RECT{0, 0, 300, 200}; }));
    EXPECT_TRUE(Eventually([&] { return Look->Geometry(id) == RECT{0, 0, 300, 200}; }));
    EXPECT_TRUE(Eventually([&] {
        difference = x11test::Difference(host::CaptureWindow(window), Look->Picture(Tk->Frame(), 300, 200));
        return difference.empty();
    })) << "repainted at the new size: "
        << difference;

    Tk->Send("destroy");
    ASSERT_TRUE(Tk->Answer(answer));
    EXPECT_TRUE(Eventually([&] { return !IsWindow(window) && !IsWindow(Frame); }));
    EXPECT_EQ(Control->Window(), 0u) << "the control heard its window go";
    std::lock_guard guard(lock);
    events.clear();
}

// Full screen in the window layer itself: the window leaves its parent for
// the screen and comes back to the same parent, place, size and style; a
// backend that takes its time or fails is waited for, refused a second
// request meanwhile, and undone after.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/window/backend.h"
#include "platform/window/host.h"
#include "test_window.h"

using namespace platform;
using namespace testwin;

namespace {

class FullScreen : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::SetScreenSize(800, 600));
        PaintWith(ParentProbe, RGB(255, 255, 255));
        PaintWith(ChildProbe, RGB(0, 0, 200));
        Parent = Make(ParentProbe, 0, 0, 400, 300);
        Child = Make(ChildProbe, 20, 30, 100, 50, Parent, WS_VISIBLE | WS_CLIPSIBLINGS);
        Sibling = Make(SiblingProbe, 200, 0, 50, 50, Parent);
        Style = static_cast<DWORD>(GetWindowLongPtr(Child, GWL_STYLE));
        ChildProbe.Clear();
    }
    void TearDown() override {
        DestroyWindow(Child);
        DestroyWindow(Parent);
        host::SetScreenSize(1280, 1024);
    }
    Probe ParentProbe, ChildProbe, SiblingProbe;
    HWND Parent = 0, Child = 0, Sibling = 0;
    DWORD Style = 0;
};

}  // namespace

TEST_F(FullScreen, CoversTheScreenAndComesBackToTheSameParentPlaceSizeAndStyle) {
    ASSERT_TRUE(SetWindowFullScreen(Child, TRUE));
    EXPECT_TRUE(IsWindowFullScreen(Child));
    EXPECT_EQ(GetParent(Child), 0u);
    EXPECT_EQ(RectInParent(Child), (RECT{0, 0, 800, 600}));
    const auto style = static_cast<DWORD>(GetWindowLongPtr(Child, GWL_STYLE));
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & WS_CHILD);
    EXPECT_EQ(ChildProbe.Count(WM_SIZE), 1);
    EXPECT_EQ(ChildProbe.Count(WM_MOVE), 1);
    PumpMessages(std::chrono::milliseconds(0));
    const Image screen = host::CaptureScreen();
    EXPECT_EQ(screen.PixelAt(0, 0), RGB(0, 0, 200));
    EXPECT_EQ(screen.PixelAt(799, 599), RGB(0, 0, 200)) << "above every other window";

    ChildProbe.Clear();
    ASSERT_TRUE(SetWindowFullScreen(Child, FALSE));
    EXPECT_FALSE(IsWindowFullScreen(Child));
    EXPECT_EQ(GetParent(Child), Parent);
    EXPECT_EQ(RectInParent(Child), (RECT{20, 30, 120, 80}));
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtr(Child, GWL_STYLE)), Style);
    EXPECT_EQ(GetWindow(Parent, GW_CHILD), Child) << "back on top of its siblings";
    ASSERT_EQ(ChildProbe.Count(WM_SIZE), 1);
    PumpMessages(std::chrono::milliseconds(0));
    EXPECT_EQ(host::CaptureWindow(Parent).PixelAt(25, 35), RGB(0, 0, 200));
}

TEST_F(FullScreen, AHiddenWindowShowsAndComesBackHidden) {
    ShowWindow(Child, SW_HIDE);
    ASSERT_TRUE(SetWindowFullScreen(Child, TRUE));
    EXPECT_TRUE(IsWindowVisible(Child));
    ASSERT_TRUE(SetWindowFullScreen(Child, FALSE));
    EXPECT_FALSE(IsWindowVisible(Child));
}

TEST_F(FullScreen, TheWindowKeepsTheScreenUntilItLeaves) {
    ASSERT_TRUE(SetWindowFullScreen(Child, TRUE));
    EXPECT_TRUE(SetWindowFullScreen(Child, TRUE)) << "asking for the mode it is in changes nothing";
    EXPECT_TRUE(SetWindowPos(Child, HWND_TOP, 10, 10, 50, 50, 0));
    EXPECT_EQ(RectInParent(Child), (RECT{0, 0, 800, 600}));
    EXPECT_EQ(SetParent(Child, Sibling), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ShowWindow(Child, SW_HIDE);
    EXPECT_FALSE(IsWindowVisible(Child)) << "hiding still works";
    ASSERT_TRUE(SetWindowFullScreen(Child, FALSE));
    EXPECT_EQ(RectInParent(Child), (RECT{20, 30, 120, 80}));
}

TEST_F(FullScreen, AParentThatWentMeanwhileLeavesATopLevelWindow) {
    ASSERT_TRUE(SetWindowFullScreen(Child, TRUE));
    DestroyWindow(Parent);
    EXPECT_TRUE(IsWindow(Child)) << "it had left its parent";
    ASSERT_TRUE(SetWindowFullScreen(Child, FALSE));
    EXPECT_EQ(GetParent(Child), 0u);
    EXPECT_EQ(RectInParent(Child), (RECT{20, 30, 120, 80}));
}

TEST_F(FullScreen, AnotherThreadIsCarriedToTheOwnerAndABadHandleIsRefused) {
    auto result = std::async(std::launch::async, [&] { return SetWindowFullScreen(Child, TRUE); });
    ASSERT_TRUE(PumpMessagesUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                  std::chrono::seconds(5)));
    EXPECT_TRUE(result.get());
    EXPECT_TRUE(IsWindowFullScreen(Child));
    EXPECT_FALSE(SetWindowFullScreen(0xDEAD, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

// ------------------------------------------------------------------ a slow display

namespace {

// A display whose full-screen steps take until the test lets them go, and
// then succeed or fail as the test says; everything else is headless.
class SlowDisplay final : public WindowBackend {
public:
    struct Gate {
        std::promise<void> Entered;
        std::promise<DWORD> Outcome;
        std::vector<WindowPeerState> Updates;  // what the peer heard afterwards
    };

    explicit SlowDisplay(std::shared_ptr<Gate> gate) : Inner(MakeHeadlessBackend()), Shared(std::move(gate)) {}

    const char* Name() const noexcept override { return "slow"; }
    std::unique_ptr<WindowPeer> CreatePeer(const WindowPeerState& state) override {
        return std::make_unique<Peer>(Inner->CreatePeer(state), Shared);
    }
    Image Capture(HWND window) override { return Inner->Capture(window); }
    Image CaptureScreen() override { return Inner->CaptureScreen(); }
    SIZE ScreenSize() const override { return Inner->ScreenSize(); }
    bool SetScreenSize(SIZE size) override { return Inner->SetScreenSize(size); }

private:
    class Peer final : public WindowPeer {
    public:
        Peer(std::unique_ptr<WindowPeer> inner, std::shared_ptr<Gate> gate)
            : Inner(std::move(inner)), Shared(std::move(gate)) {}
        void Update(const WindowPeerState& state) override {
            Shared->Updates.push_back(state);
            Inner->Update(state);
        }
        cairo_surface_t* BeginDraw() override { return Inner->BeginDraw(); }
        void EndDraw(const RECT& damage) override { Inner->EndDraw(damage); }
        Image Snapshot() const override { return Inner->Snapshot(); }
        DWORD SwitchFullScreen(const WindowPeerState& state) override {
            Inner->Update(state);
            Shared->Updates.clear();
            Shared->Entered.set_value();
            return Shared->Outcome.get_future().get();
        }

    private:
        std::unique_ptr<WindowPeer> Inner;
        std::shared_ptr<Gate> Shared;
    };

    std::unique_ptr<WindowBackend> Inner;
    std::shared_ptr<Gate> Shared;
};

}  // namespace

TEST(FullScreenOnASlowDisplay, ASecondRequestInFlightIsRefusedAndAFailedStepIsUndone) {
    auto gate = std::make_shared<SlowDisplay::Gate>();
    ASSERT_TRUE(host::InstallBackend(std::make_unique<SlowDisplay>(gate)));
    // The windows' owner runs the switch, which waits in the display.
    Probe parentProbe, childProbe;
    std::promise<std::pair<HWND, HWND>> made;
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        const HWND parent = Make(parentProbe, 0, 0, 400, 300);
        made.set_value({parent, Make(childProbe, 20, 30, 100, 50, parent)});
        PumpMessagesUntil([&] { return stop.load(); }, std::chrono::seconds(30));
        DestroyWindow(parent);
    });
    const auto [parent, child] = made.get_future().get();
    const auto style = GetWindowLongPtr(child, GWL_STYLE);

    auto first = std::async(std::launch::async, [child = child] {
        const BOOL done = SetWindowFullScreen(child, TRUE);
        return std::make_pair(done, GetLastError());
    });
    auto entered = gate->Entered.get_future();
    ASSERT_EQ(entered.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    // Not carried to the busy owner: answered at once on the asking thread.
    EXPECT_FALSE(SetWindowFullScreen(child, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_BUSY);

    gate->Outcome.set_value(ERROR_TIMEOUT);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto [firstDone, firstError] = first.get();
    EXPECT_FALSE(firstDone);
    EXPECT_EQ(firstError, ERROR_TIMEOUT);
    EXPECT_FALSE(IsWindowFullScreen(child)) << "a step the display did not confirm is undone";
    EXPECT_EQ(GetParent(child), parent);
    EXPECT_EQ(RectInParent(child), (RECT{20, 30, 120, 80}));
    EXPECT_EQ(GetWindowLongPtr(child, GWL_STYLE), style);

    stop = true;
    owner.join();
    ASSERT_FALSE(gate->Updates.empty()) << "the display hears where the window is again";
    EXPECT_EQ(gate->Updates.front().Parent, parent);
    EXPECT_FALSE(gate->Updates.front().FullScreen);
    EXPECT_TRUE(host::InstallBackend(nullptr));
}

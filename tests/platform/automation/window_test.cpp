// The sample control active in a container window: painting read back as
// pixels, mouse input with capture, activation, the min/max query and the
// control's own messages.
#include "fixture.h"
#include "platform/window/host.h"
#include "sample/SampleCtl.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;

class ActiveSampleTest : public SampleTest {
protected:
    void SetUp() override {
        SampleTest::SetUp();
        if (HasFatalFailure()) return;
        Container = CreateContainerWindow(320, 240, "container");
        ASSERT_NE(Container, 0u);
        Control = CreateSample();
        ASSERT_TRUE(Control);
        ASSERT_EQ(Control->Connect(
                      [this](const EventInfo& event, std::span<Variant> args) {
                          SeenEvent seen{event.Name, {}, GetCurrentThreadId()};
                          for (const Variant& arg : args) seen.Args.push_back(arg.ToDisplayString());
                          Seen.push_back(std::move(seen));
                      },
                      Cookie),
                  S_OK);
        ASSERT_EQ(Control->Activate(Container, RECT{10, 20, 110, 70}), S_OK);
        Window = Control->Window();
        ASSERT_NE(Window, 0u);
        PumpMessages(20ms);
    }
    void TearDown() override {
        Control.reset();
        if (Container) DestroyWindow(Container);
        SampleTest::TearDown();
    }

    std::vector<std::string> EventNames() {
        std::vector<std::string> names;
        for (const auto& seen : Seen) names.push_back(seen.Name);
        return names;
    }

    HWND Container = 0;
    HWND Window = 0;
    DWORD Cookie = 0;
    std::unique_ptr<HostedControl> Control;
    std::vector<SeenEvent> Seen;  // host thread only in these tests
};

TEST_F(ActiveSampleTest, ActivationGivesTheControlAChildWindowWhereTheContainerSaid) {
    EXPECT_EQ(GetParent(Window), Container);
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(Window, &rect));
    RECT container{};
    ASSERT_TRUE(GetWindowRect(Container, &container));
    EXPECT_EQ(rect.left - container.left, 10);
    EXPECT_EQ(rect.top - container.top, 20);
    ASSERT_TRUE(GetClientRect(Window, &rect));
    EXPECT_EQ(rect, (RECT{0, 0, 100, 50}));
    Variant handle;
    ASSERT_EQ(Control->Call("GetHandle", {}, &handle, nullptr), S_OK);
    EXPECT_EQ(handle, Variant(static_cast<std::int32_t>(Window)));

    ASSERT_EQ(Control->Control()->SetObjectRects(RECT{0, 0, 60, 30}), S_OK);
    ASSERT_TRUE(GetClientRect(Window, &rect));
    EXPECT_EQ(rect, (RECT{0, 0, 60, 30}));

    ASSERT_EQ(Control->Deactivate(), S_OK);
    EXPECT_FALSE(IsWindow(Window));
    EXPECT_EQ(Control->Window(), 0u);
    ASSERT_EQ(Control->Call("GetHandle", {}, &handle, nullptr), S_OK);
    EXPECT_EQ(handle, Variant(0));
}

TEST_F(ActiveSampleTest, OnDrawPaintsTheWindowAndAChangeRepaintsIt) {
    ASSERT_EQ(Control->Set("BackColor", Variant::MakeColor(0x000000FF), nullptr), S_OK);
    PumpMessages(30ms);
    Image picture = host::CaptureWindow(Window);
    ASSERT_EQ(picture.Width(), 100);
    ASSERT_EQ(picture.Height(), 50);
    EXPECT_EQ(picture.PixelAt(0, 0), RGB(255, 0, 0)) << "the corner shows the background colour";
    EXPECT_EQ(picture.PixelAt(99, 49), RGB(255, 0, 0));
    EXPECT_EQ(picture.PixelAt(50, 25), RGB(255, 255, 255)) << "the ellipse is filled white";
    bool outline = false;
    for (int y = 0; y < 3; ++y) outline = outline || picture.PixelAt(50, y) == RGB(0, 0, 0);
    EXPECT_TRUE(outline) << "the ellipse's outline touches the top edge";

    ASSERT_EQ(Control->Set("BackColor", Variant::MakeColor(0x0000FF00), nullptr), S_OK);
    PumpMessages(30ms);
    EXPECT_EQ(host::CaptureWindow(Window).PixelAt(0, 0), RGB(0, 255, 0));
    std::string png = Folder + "/control.png";
    EXPECT_TRUE(host::SaveWindowPng(Window, png));
    EXPECT_GT(std::filesystem::file_size(png), 0u);
}

TEST_F(ActiveSampleTest, AClickFiresTheControlsEventAndTheStockClick) {
    ASSERT_TRUE(host::Click(Window, 20, 30));
    PumpMessages(20ms);
    ASSERT_EQ(EventNames(), (std::vector<std::string>{"Pressed", "Click"}));
    EXPECT_EQ(Seen[0].Args, (std::vector<std::string>{"20", "30"}));
    Variant presses;
    ASSERT_EQ(Control->Call("PressCount", {}, &presses, nullptr), S_OK);
    EXPECT_EQ(presses, Variant(1));
    EXPECT_EQ(GetCapture(), 0u) << "the release gave the capture back";
}

TEST_F(ActiveSampleTest, TheCaptureBringsAReleaseOutsideBackToTheControl) {
    ASSERT_TRUE(host::InjectMouse(Window, WM_LBUTTONDOWN, 5, 5, MK_LBUTTON));
    PumpMessages(20ms);
    EXPECT_EQ(GetCapture(), Window);
    // Far outside the control, inside the container.
    ASSERT_TRUE(host::InjectMouse(Container, WM_LBUTTONUP, 300, 200));
    PumpMessages(20ms);
    ASSERT_EQ(EventNames(), (std::vector<std::string>{"Pressed"})) << "no Click outside the control";
    EXPECT_EQ(Seen[0].Args, (std::vector<std::string>{"290", "180"})) << "in the control's coordinates";
    EXPECT_EQ(GetCapture(), 0u);
}

TEST_F(ActiveSampleTest, ActivationAndDeactivationReachTheControl) {
    SetActiveWindow(Window);
    SetActiveWindow(0);
    PumpMessages(10ms);
    ASSERT_EQ(EventNames(), (std::vector<std::string>{"Activated", "Activated"}));
    EXPECT_EQ(Seen[0].Args[0], "true");
    EXPECT_EQ(Seen[1].Args[0], "false");
}

TEST_F(ActiveSampleTest, TheMinMaxQueryLimitsAUsersResizeButNotTheContainers) {
    RECT rect{};
    ASSERT_TRUE(host::ResizeWindowAsUser(Window, 1000, 1000));
    ASSERT_TRUE(GetClientRect(Window, &rect));
    EXPECT_EQ(rect, (RECT{0, 0, sample::kMaxWidth, sample::kMaxHeight}));
    ASSERT_TRUE(host::ResizeWindowAsUser(Window, 1, 1));
    ASSERT_TRUE(GetClientRect(Window, &rect));
    EXPECT_EQ(rect, (RECT{0, 0, sample::kMinWidth, sample::kMinHeight}));
    ASSERT_EQ(Control->Control()->SetObjectRects(RECT{0, 0, 10, 5}), S_OK);
    ASSERT_TRUE(GetClientRect(Window, &rect));
    EXPECT_EQ(rect, (RECT{0, 0, 10, 5}));
}

TEST_F(ActiveSampleTest, TheControlsOwnMessagesReachItsWindowProcedure) {
    ASSERT_TRUE(PostMessage(Window, sample::WM_SAMPLE_CUSTOM, 7, 0));
    EXPECT_EQ(SendMessage(Window, sample::WM_SAMPLE_CUSTOM, 8, 0), 0);
    PumpMessages(10ms);
    ASSERT_EQ(EventNames(), (std::vector<std::string>{"Custom", "Custom"}));
    EXPECT_EQ(Seen[0].Args[0], "8") << "the sent message is handled at once";
    EXPECT_EQ(Seen[1].Args[0], "7");
}

TEST_F(ActiveSampleTest, DestroyingTheContainerTakesTheControlsWindowAlong) {
    ASSERT_TRUE(DestroyWindow(Container));
    Container = 0;
    EXPECT_FALSE(IsWindow(Window));
    EXPECT_EQ(Control->Window(), 0u);
    Variant result;
    auto args = std::vector<Variant>{Variant(1), Variant(2)};
    EXPECT_EQ(Control->Call("Add", args, &result, nullptr), S_OK) << "the control lives on without a window";
}

}  // namespace

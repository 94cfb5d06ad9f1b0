// Windows inside a window another program owns: the stand-in takes
// children, follows the foreign window's size and goes with it.

#include "x11_fixture.h"

using namespace platform;
using namespace testwin;
using x11test::Eventually;

namespace {

constexpr std::uint32_t kForeignGrey = 0x808080;

RECT ClientOf(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return r;
}

}  // namespace

using X11Foreign = OnDisplay;

TEST_F(X11Foreign, ChildrenOfAStandInAreNativeChildrenOfTheForeignWindowAndShowThere) {
    const xcb_window_t foreign = Look->MakeWindow(30, 20, 300, 200, kForeignGrey);
    const HWND standIn = host::AttachForeignWindow(foreign);
    ASSERT_NE(standIn, 0u) << GetLastError();
    Windows.push_back(standIn);
    EXPECT_EQ(ClientOf(standIn), (RECT{0, 0, 300, 200}));
    EXPECT_EQ(host::NativeWindowId(standIn), foreign);
    EXPECT_EQ(GetParent(standIn), 0u);

    Probe& probe = NewProbe();
    PaintWith(probe, RGB(0, 0, 255));
    const HWND child = Make(probe, 10, 20, 100, 50, standIn);
    EXPECT_TRUE(Eventually([&] { return Look->ParentOf(Xid(child)) == foreign; }));
    ASSERT_TRUE(ServerShowsBuffer(child));
    const Image inside = Look->Picture(foreign, 300, 200);
    EXPECT_EQ(inside.PixelAt(15, 25), RGB(0, 0, 255));
    EXPECT_EQ(inside.PixelAt(5, 5), RGB(0x80, 0x80, 0x80)) << "the foreign window keeps its own pixels";

    DestroyWindow(standIn);
    EXPECT_FALSE(IsWindow(child));
    EXPECT_TRUE(Look->Exists(foreign)) << "letting go of the foreign window leaves it alone";
    EXPECT_TRUE(Eventually([&] { return Look->ChildrenOf(foreign).empty(); }));
}

TEST_F(X11Foreign, TheStandInFollowsTheForeignWindowsSizeAndGoesWithItAsDestroyWindowWould) {
    const xcb_window_t foreign = Look->MakeWindow(0, 0, 300, 200, kForeignGrey);
    const HWND standIn = host::AttachForeignWindow(foreign);
    ASSERT_NE(standIn, 0u);
    // One probe for the stand-in and its windows, so the order shows.
    Probe& family = NewProbe();
    SetWindowLongPtr(standIn, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&family));
    SetWindowLongPtr(standIn, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ProbeProc));
    const HWND c = Make(family, 0, 0, 100, 100, standIn);
    const HWND g = Make(family, 10, 10, 50, 50, c);
    family.Clear();

    Look->Resize(foreign, 420, 260);
    ASSERT_TRUE(Eventually([&] { return ClientOf(standIn) == RECT{0, 0, 420, 260}; }));
    std::vector<Seen> sizes;
    for (const Seen& s : family.Messages())
        if (s.Message == WM_SIZE) sizes.push_back(s);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].Window, standIn);
    EXPECT_EQ(sizes[0].LParam, MAKELPARAM(420, 260));

    family.Clear();
    Look->Destroy(foreign);
    ASSERT_TRUE(Eventually([&] { return !IsWindow(standIn); }));
    EXPECT_FALSE(IsWindow(c));
    EXPECT_FALSE(IsWindow(g));
    std::vector<HWND> destroyed, freed;
    for (const Seen& s : family.Messages()) {
        if (s.Message == WM_DESTROY) destroyed.push_back(s.Window);
        if (s.Message == WM_NCDESTROY) freed.push_back(s.Window);
    }
    EXPECT_EQ(destroyed, (std::vector<HWND>{standIn, c, g})) << "each hears WM_DESTROY before its children";
    EXPECT_EQ(freed, (std::vector<HWND>{g, c, standIn})) << "children are freed first";
}

TEST_F(X11Foreign, OnlyRealWindowsOfOtherProgramsAreTaken) {
    EXPECT_EQ(host::AttachForeignWindow(0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(host::AttachForeignWindow(0x1FFFFF7u), 0u) << "no such window";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(host::AttachForeignWindow(std::uint64_t{1} << 40), 0u);

    Probe& probe = NewProbe();
    const HWND ours = Make(probe, 0, 0, 50, 50);
    EXPECT_EQ(host::AttachForeignWindow(host::NativeWindowId(ours)), 0u) << "our own window is not foreign";

    const xcb_window_t foreign = Look->MakeWindow(0, 0, 100, 100, kForeignGrey);
    const HWND standIn = host::AttachForeignWindow(foreign);
    ASSERT_NE(standIn, 0u);
    Windows.push_back(standIn);
    EXPECT_FALSE(SetWindowFullScreen(standIn, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "we do not move another program's window";
}

TEST(WithoutADisplay, ThereAreNoForeignWindowsAndNoNativeIds) {
    testwin::Probe probe;
    const HWND w = testwin::Make(probe, 0, 0, 10, 10);
    EXPECT_EQ(host::NativeWindowId(w), 0u);
    EXPECT_EQ(host::AttachForeignWindow(0x400001), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    DestroyWindow(w);
}

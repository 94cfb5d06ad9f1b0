// Property pages as a host shows them: the module's dialog template drawn in
// the page's window, read back as pixels.
#include <dlfcn.h>

#include "fixture.h"
#include "platform/automation/dialog.h"
#include "platform/window/host.h"
#include "sample/SampleCtl.h"

namespace {

using namespace platform;

struct Coverage {
    int Inside = 0;   // pixels other than the background inside the area
    int Outside = 0;  // and outside it
    int TextColour = 0;
};

Coverage InkAround(const Image& picture, const RECT& area) {
    Coverage found;
    for (int y = 0; y < picture.Height(); ++y) {
        for (int x = 0; x < picture.Width(); ++x) {
            const COLORREF p = picture.PixelAt(x, y);
            if (p == kDialogBackground) continue;
            (PtInRect(area, POINT{x, y}) ? found.Inside : found.Outside)++;
            if (p == kDialogTextColour) found.TextColour++;
        }
    }
    return found;
}

TEST_F(SampleTest, ThePropertiesVerbShowsTheDialogsTextInsideItsRectangleOnTheDialogBackground) {
    void* loaded = ::dlopen(SAMPLE_MODULE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(loaded, nullptr);
    const HINSTANCE sampleModule = GetModuleInstance(::dlsym(loaded, "DllGetClassObject"));
    ::dlclose(loaded);
    DialogTemplate dialog;
    ASSERT_TRUE(FindDialogResource(sampleModule, 300, dialog)) << "the module registered its page's dialog";
    RECT size{0, 0, dialog.Size.cx, dialog.Size.cy};
    RECT text = sample::kSamplePageTextBounds;
    ASSERT_TRUE(MapDialogRect(dialog, &size) && MapDialogRect(dialog, &text));

    auto control = CreateSample();
    ASSERT_TRUE(control);
    std::vector<ShownPage> pages;
    std::string error;
    ASSERT_EQ(control->ShowProperties(&pages, &error), S_OK) << error;
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].Clsid, sample::CLSID_SamplePropPage);
    EXPECT_EQ(pages[0].Info.Title, "General");
    EXPECT_EQ(pages[0].Info.DialogId, 300u);
    EXPECT_EQ(pages[0].Info.Size, (SIZE{size.right, size.bottom})) << "the page is as large as its dialog";
    EXPECT_GT(size.right, dialog.Size.cx) << "dialog units are larger than pixels in an 8-point font";

    const Image& picture = pages[0].Picture;
    ASSERT_EQ(picture.Width(), size.right);
    ASSERT_EQ(picture.Height(), size.bottom);
    EXPECT_EQ(picture.PixelAt(0, 0), kDialogBackground);
    EXPECT_EQ(picture.PixelAt(size.right - 1, size.bottom - 1), kDialogBackground);
    const Coverage ink = InkAround(picture, text);
    EXPECT_GT(ink.Inside, 100) << "the static text is drawn";
    EXPECT_EQ(ink.Outside, 0) << "and only inside its rectangle";
    EXPECT_EQ(ink.TextColour, ink.Inside) << "in the text colour, aliased";
}

// Pages of this test program, which is a module of its own: one with an
// empty dialog, one whose dialog the module lacks.
class CEmptyPage : public COlePropertyPage {
public:
    CEmptyPage() : COlePropertyPage(710, 711) {}
};

class CMissingDialogPage : public COlePropertyPage {
public:
    CMissingDialogPage() : COlePropertyPage(712, 711) {}
};

const StringResources kPageStrings(ThisModuleInstance(), {{711, "Empty"}});
const DialogResource kEmptyDialog(ThisModuleInstance(), 710, {{120, 40}, "MS Sans Serif", 8, {}});

TEST(PropertyPage, AnEmptyDialogShowsOnlyItsBackgroundAndAMissingOneRefusesToShow) {
    AFX_MANAGE_STATE(ThisModuleInstance());
    ASSERT_TRUE(kEmptyDialog.Registered());
    HWND frame = CreateContainerWindow(400, 200, "frame");
    ASSERT_NE(frame, 0);
    UpdateWindow(frame);  // white, to tell the page's pixels from the frame's

    ComPtr<CEmptyPage> empty = ComPtr<CEmptyPage>::Attach(new CEmptyPage);
    PropPageInfo info;
    ASSERT_EQ(empty->GetPageInfo(info), S_OK);
    EXPECT_EQ(info.Title, "Empty");
    DialogTemplate dialog{{120, 40}, "MS Sans Serif", 8, {}};
    RECT size{0, 0, 120, 40};
    ASSERT_TRUE(MapDialogRect(dialog, &size));
    EXPECT_EQ(info.Size, (SIZE{size.right, size.bottom}));
    ASSERT_EQ(empty->Activate(frame, RECT{0, 0, info.Size.cx, info.Size.cy}), S_OK);
    const Image picture = host::CaptureWindow(frame);
    ASSERT_FALSE(picture.Empty());
    const Coverage page = InkAround(picture, RECT{0, 0, info.Size.cx, info.Size.cy});
    EXPECT_EQ(page.Inside, 0) << "nothing but the background on the page";
    EXPECT_EQ(picture.PixelAt(info.Size.cx, 0), RGB(255, 255, 255)) << "the frame beyond the page is its own";
    EXPECT_EQ(empty->Deactivate(), S_OK);

    ComPtr<CMissingDialogPage> missing = ComPtr<CMissingDialogPage>::Attach(new CMissingDialogPage);
    EXPECT_EQ(missing->GetPageInfo(info), E_FAIL);
    EXPECT_EQ(missing->Activate(frame, RECT{0, 0, 100, 100}), E_FAIL);
    EXPECT_EQ(missing->GetSafeHwnd(), 0) << "no window for a page without its dialog";
    DestroyWindow(frame);
}

TEST(DialogResources, AreKeptPerModuleAndIdWhileTheirObjectLives) {
    const HINSTANCE module = ThisModuleInstance();
    const DialogTemplate dialog{{50, 20}, "MS Sans Serif", 8, {{{1, 1, 40, 9}, "first"}}};
    {
        const DialogResource first(module, 720, dialog);
        ASSERT_TRUE(first.Registered());
        const DialogResource again(module, 720, {{10, 10}, "MS Sans Serif", 8, {}});
        EXPECT_FALSE(again.Registered()) << "an id is taken once";
        DialogTemplate found;
        ASSERT_TRUE(FindDialogResource(module, 720, found));
        ASSERT_EQ(found.Texts.size(), 1u);
        EXPECT_EQ(found.Texts[0].Text, "first") << "the refused copy did not replace the first";
        EXPECT_FALSE(FindDialogResource(nullptr, 720, found));
    }
    DialogTemplate found;
    EXPECT_FALSE(FindDialogResource(module, 720, found)) << "gone with its object";
    EXPECT_FALSE(DialogResource(nullptr, 721, dialog).Registered());
    EXPECT_FALSE(DialogResource(module, 722, {{-1, 10}, "MS Sans Serif", 8, {}}).Registered());
    EXPECT_FALSE(DialogResource(module, 723, {{kMaxDialogUnits + 1, 10}, "MS Sans Serif", 8, {}}).Registered());
    EXPECT_FALSE(DialogResource(module, 724, {{10, 10}, "MS Sans Serif", 0, {}}).Registered());
}

TEST(DialogUnits, ScaleWithTheDialogFontAndTheScreensDotsPerInch) {
    const RECT units{0, 0, 200, 80};
    auto pixels = [&](int pointSize) {
        RECT r = units;
        EXPECT_TRUE(MapDialogRect(DialogTemplate{{200, 80}, "MS Sans Serif", pointSize, {}}, &r));
        return r;
    };
    const RECT at8 = pixels(8);
    const RECT at16 = pixels(16);
    // Twice the font, about twice the size (the font's pixel sizes are rounded).
    EXPECT_GT(at16.right, at8.right * 3 / 2);
    EXPECT_LT(at16.right, at8.right * 5 / 2);
    EXPECT_GT(at16.bottom, at8.bottom * 3 / 2);
    EXPECT_LT(at16.bottom, at8.bottom * 5 / 2);
    ASSERT_TRUE(SetLogicalDpi(192, 192));
    const RECT at8Dense = pixels(8);
    SetLogicalDpi(96, 96);
    EXPECT_EQ(at8Dense, at16) << "8 points at 192 dpi are as many pixels as 16 at 96";

    RECT far{-kMaxDialogUnits * 1000, 0, kMaxDialogUnits * 1000, 8};
    ASSERT_TRUE(MapDialogRect(DialogTemplate{{10, 10}, "MS Sans Serif", 8, {}}, &far));
    EXPECT_LT(far.left, 0);
    EXPECT_GT(far.right, 0) << "coordinates far out do not wrap around";
    EXPECT_FALSE(MapDialogRect(DialogTemplate{}, nullptr));
}

}  // namespace

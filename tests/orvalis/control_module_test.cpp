// The orvalis module as a host finds it: what registration writes and takes
// away, the codes it answers with, the class objects and unloading, and the
// control's persisted properties, its drawing and its property page.
#include <dlfcn.h>

#include "ControlTestSupport.h"
#include "platform/automation/dialog.h"
#include "platform/gdi/resource.h"
#include "platform/window/host.h"

namespace {

using namespace controltest;
using namespace platform;

class ControlModule : public ControlTest {
protected:
    // The loaded module's instance, under which it keeps its resources.
    static HINSTANCE ModuleInstance() {
        void* handle = ::dlopen(ORVALIS_MODULE, RTLD_NOW | RTLD_NOLOAD);
        EXPECT_NE(handle, nullptr);
        const HINSTANCE instance = handle ? GetModuleInstance(::dlsym(handle, "DllGetClassObject")) : nullptr;
        if (handle) ::dlclose(handle);
        return instance;
    }
};

TEST_F(ControlModule, RegistrationWritesTheClassesAndTheTypeLibraryAndUnregistrationTakesThemAway) {
    Registry registry;
    std::string error;
    ASSERT_TRUE(ReadRegistry(registry, &error)) << error;
    const ClassRegistration* control = registry.FindProgId("ORVALIS.OrvalisCtrl.1");
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->Clsid, orvalis::CLSID_OrvalisCtrl);
    EXPECT_EQ(control->ClassKind, ClassRegistration::Kind::Control);
    EXPECT_EQ(control->TypeName, "Orvalis Control");
    EXPECT_EQ(control->ThreadingModel, "Apartment");
    EXPECT_FALSE(control->Insertable);
    EXPECT_EQ(control->MiscStatus, 0x20491u);
    EXPECT_EQ(control->ToolboxBitmap, 1);
    EXPECT_EQ(control->TypeLib, orvalis::LIBID_ORVALISLib);
    EXPECT_EQ(control->TypeLibMajor, 1);
    EXPECT_EQ(control->TypeLibMinor, 0);
    const ClassRegistration* page = registry.FindClass(orvalis::CLSID_OrvalisPropPage);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->ClassKind, ClassRegistration::Kind::PropertyPage);
    EXPECT_EQ(page->TypeName, "Orvalis Property Page");
    EXPECT_TRUE(page->ProgId.empty());
    EXPECT_EQ(registry.FindProgId("ORVALIS.OrvalisPropPage.1"), nullptr) << "a page is registered without one";

    const TypeLibraryDescription* library = registry.FindTypeLib(orvalis::LIBID_ORVALISLib, 1);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->Name, "ORVALISLib");
    EXPECT_EQ(library->HelpString, "orvalis ActiveX Control module");
    EXPECT_EQ(library->HelpFile, "orvalis.hlp");
    const CoClassDescription* coclass = library->FindClass(orvalis::CLSID_OrvalisCtrl);
    ASSERT_NE(coclass, nullptr);
    EXPECT_EQ(coclass->Name, "Orvalis");
    EXPECT_EQ(coclass->HelpString, "Orvalis Control");
    EXPECT_EQ(coclass->Dispatch, orvalis::IID_DOrvalis);
    EXPECT_EQ(coclass->Events, orvalis::IID_DOrvalisEvents);

    ClassTypeInfo info;
    ASSERT_TRUE(registry.DescribeClass(orvalis::CLSID_OrvalisCtrl, info, &error)) << error;
    EXPECT_EQ(info.Dispatch.Name, "_DOrvalis");
    const char* const members[] = {
        "1 property Monitor: bool",
        "2 method SetFileName(string FileName): bool",
        "3 method GetTrackCount(): long",
        "4 method GetTrackName(long TrackNumber): string",
        "5 method GetSongTempo(): double",
        "6 method SetSongTempo(double TempoBPM): void",
        "7 method MuteTrackByNumber(long NumTrack, bool bMute): bool",
        "8 method TrackNameToTrackNumber(string TrackName): long",
        "9 method MuteTrackByName(string TrackName, bool bMute): bool",
        "10 method SetLoopStart(long Measure): bool",
        "11 method SetLoopEnd(long Measure): bool",
        "12 method GetTempoInfo(double* BPM, long* Numerator, long* Denominator): bool",
        "13 method OpenMidiPort(long MidiPort): bool",
        "14 method CloseMidiPort(): bool",
        "15 method Play(): bool",
        "16 method Stop(): bool",
        "17 method SetTempo(double Tempo): bool",
        "18 method GetMeasureCount(): long",
        "19 method GetTickCount(): long",
        "20 method PollTick(): long",
        "21 method PollMeasure(): long",
        "22 method GetPolyCount(): long",
        "23 method Seek(long Measure): bool",
        "24 method EnableLoop(bool bEnable): bool",
        "25 method GetPropertaryMeta(long MetaNumber): string",
        "26 method SendMessage(long Status, long Value1, long Value2): bool",
        "27 method MeasureToTick(long Measure): long",
        "28 method TickToMeasure(long Tick): long",
        "29 property FollowTempoMap: bool",
        "30 method PollTime(): long",
        "31 method GetSongLength(): double",
        "32 method TickToTime(long Tick): double",
        "33 property FullChase: bool",
    };
    ASSERT_EQ(info.Dispatch.Members.size(), std::size(members));
    for (std::size_t i = 0; i < std::size(members); ++i) {
        EXPECT_EQ(info.Dispatch.Members[i].ToText(), members[i]);
    }
    ASSERT_TRUE(info.Events.has_value());
    EXPECT_EQ(info.Events->Name, "_DOrvalisEvents");
    ASSERT_EQ(info.Events->Members.size(), 4u);
    EXPECT_EQ(info.Events->Members[0].Id, DISPID_ERROREVENT);
    EXPECT_EQ(info.Events->Members[1].ToText(), "1 method SongEnd(): void");
    EXPECT_EQ(info.Events->Members[2].ToText(),
              "2 method NoteOn(long Channel, long Note, long Velocity, long Future): void");
    EXPECT_EQ(info.Events->Members[3].ToText(),
              "3 method NoteOff(long Channel, long Note, long Velocity, long Future): void");

    ASSERT_EQ(Module->UnregisterServer(), S_OK) << AfxOleRegistrationError();
    ASSERT_TRUE(ReadRegistry(registry, &error)) << error;
    EXPECT_TRUE(registry.Classes().empty());
    EXPECT_TRUE(registry.TypeLibs().empty());
    EXPECT_EQ(Module->UnregisterServer(), S_OK) << "nothing left to take away is no failure";
    EXPECT_EQ(Module->RegisterServer(), S_OK) << "and it registers again";
}

TEST_F(ControlModule, ARegistryThatCannotBeReadFailsTheTypeLibraryStepAndIsLeftAsItWas) {
    const std::string corrupt = "[Class broken\n";
    std::ofstream(PathOf("registry"), std::ios::trunc) << corrupt;
    EXPECT_EQ(Module->RegisterServer(), SELFREG_E_TYPELIB);
    EXPECT_EQ(Module->UnregisterServer(), SELFREG_E_TYPELIB);
    EXPECT_EQ(ReadText(PathOf("registry")), corrupt);
}

TEST_F(ControlModule, TheModuleServesItsTwoClassesAndMayGoOnceNothingIsHeld) {
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
    {
        auto control = Create();
        ASSERT_TRUE(control);
        EXPECT_EQ(control->Control()->GetMiscStatus(), 0x20491u);
        EXPECT_EQ(control->Control()->GetUserType(), "Orvalis Control");
        EXPECT_EQ(Module->CanUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Module->GetClassObject(orvalis::CLSID_OrvalisPropPage, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf())),
              S_OK);
    ComPtr<IPropertyPage> page;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(page.ReleaseAndGetAddressOf())),
        S_OK);
    PropPageInfo pageInfo;
    ASSERT_EQ(page->GetPageInfo(pageInfo), S_OK);
    EXPECT_EQ(pageInfo.Title, "General");
    EXPECT_EQ(pageInfo.DialogId, 200u);
    page.Reset();
    factory.Reset();
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
    void* object = nullptr;
    EXPECT_EQ(Module->GetClassObject(GUID{}, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(ControlModule, TheToolboxBitmapIsSixteenByFifteen) {
    HBITMAP bitmap = LoadBitmap(ModuleInstance(), 1);
    ASSERT_NE(bitmap, nullptr);
    BITMAP info{};
    ASSERT_NE(GetObject(bitmap, sizeof info, &info), 0);
    EXPECT_EQ(info.bmWidth, 16);
    EXPECT_EQ(info.bmHeight, 15);
    DeleteObject(bitmap);
}

TEST_F(ControlModule, MonitorIsSavedAndLoadedAndALoadedValueReachesThePlayer) {
    const std::string song = TwoBars();
    {
        auto control = Create();
        ASSERT_TRUE(control);
        EXPECT_EQ(control->Control()->IsDirty(), S_FALSE) << "a new control needs no saving";
        EXPECT_EQ(Get(*control, "Monitor"), Variant(false));
        Set(*control, "Monitor", Variant(true));
        EXPECT_EQ(control->Control()->IsDirty(), S_OK) << "setting Monitor marks the control modified";
        std::string error;
        ASSERT_TRUE(control->SavePropertiesFile(PathOf("on.props"), &error)) << error;
    }
    const std::string text = ReadText(PathOf("on.props"));
    EXPECT_NE(text.find("_Version = 1.0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Monitor = true\n"), std::string::npos) << text;

    // Loaded without Monitor's change notification, the value must still
    // reach the sequencer: the loaded control reports its notes.
    EventLog log;  // outlives the control, whose events it takes
    auto control = Create(log);
    ASSERT_TRUE(control);
    std::vector<std::string> issues;
    std::string error;
    ASSERT_TRUE(control->LoadPropertiesFile(PathOf("on.props"), &issues, &error)) << error;
    EXPECT_TRUE(issues.empty());
    EXPECT_EQ(Get(*control, "Monitor"), Variant(true));
    EXPECT_EQ(control->Control()->IsDirty(), S_FALSE);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(song)}), Variant(true));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(1);
    ASSERT_TRUE(WaitFor([&] { return log.Count("NoteOn") == 2; }));
    Call(*control, "Stop");
}

TEST_F(ControlModule, SavedDataWithoutMonitorAndAResetBothLeaveThePlayerSilent) {
    const std::string song = TwoBars();
    std::ofstream(PathOf("old.props")) << "_Version = 1.0\n";
    for (const bool reset : {false, true}) {
        EventLog log;  // outlives the control, whose events it takes
        auto control = Create(log);
        ASSERT_TRUE(control);
        Set(*control, "Monitor", Variant(true));
        if (reset) {
            ASSERT_EQ(control->Control()->InitNew(), S_OK);
        } else {
            std::vector<std::string> issues;
            std::string error;
            ASSERT_TRUE(control->LoadPropertiesFile(PathOf("old.props"), &issues, &error)) << error;
        }
        EXPECT_EQ(Get(*control, "Monitor"), Variant(false)) << (reset ? "reset" : "loaded");
        ASSERT_EQ(Call(*control, "SetFileName", {Variant(song)}), Variant(true));
        ASSERT_EQ(Call(*control, "Play"), Variant(true));
        Advance(2010);
        ASSERT_TRUE(WaitFor([&] { return log.Count("SongEnd") >= 1; }));
        EXPECT_TRUE(log.Notes().empty()) << (reset ? "reset" : "loaded");
    }
}

// The two playback options persist as Monitor does. A loaded or reset value
// is written without the change notification and must still reach the
// sequencer: following the map, the song lasts 3 s (2 s at one tempo); with
// the full chase, a seek to bar 2 restores the reverb set in bar 1.
class ControlOptions : public ControlModule {
protected:
    struct Heard {
        double SongLength = 0;
        bool ReverbChased = false;
    };
    Heard PlayerState(HostedControl& control) {
        Heard heard;
        EXPECT_EQ(Call(control, "OpenMidiPort", {Variant(kCaptureDevice)}), Variant(true));
        EXPECT_EQ(Call(control, "SetFileName", {Variant(Song)}), Variant(true));
        heard.SongLength = Call(control, "GetSongLength").Double();
        EXPECT_EQ(Call(control, "Seek", {Variant(1)}), Variant(true));
        EXPECT_EQ(Call(control, "Play"), Variant(true));
        Advance(3);
        Call(control, "Stop");
        const auto sent = CapturedHex();
        heard.ReverbChased = std::count(sent.begin(), sent.end(), "B0 5B 46") > 0;
        EXPECT_EQ(Call(control, "CloseMidiPort"), Variant(true));
        return heard;
    }
    // A control with both options on, as the host set them.
    std::unique_ptr<HostedControl> CreateWithBoth() {
        auto control = Create();
        if (control) {
            Set(*control, "FollowTempoMap", Variant(true));
            Set(*control, "FullChase", Variant(true));
        }
        return control;
    }
    bool Load(HostedControl& control, const std::string& file) {
        std::vector<std::string> issues;
        std::string error;
        const bool loaded = control.LoadPropertiesFile(PathOf(file), &issues, &error);
        EXPECT_TRUE(loaded) << error;
        EXPECT_TRUE(issues.empty()) << issues.front();
        return loaded;
    }

    std::string Song = TempoChangeAndEffects();
};

TEST_F(ControlOptions, BothAreSavedAndLoadedAndTheLoadedValuesReachThePlayer) {
    {
        auto control = CreateWithBoth();
        ASSERT_TRUE(control);
        std::string error;
        ASSERT_TRUE(control->SavePropertiesFile(PathOf("both.props"), &error)) << error;
        Set(*control, "FollowTempoMap", Variant(false));
        ASSERT_TRUE(control->SavePropertiesFile(PathOf("chase.props"), &error)) << error;
    }
    const std::string both = ReadText(PathOf("both.props"));
    EXPECT_NE(both.find("\nFollowTempoMap = true\n"), std::string::npos) << both;
    EXPECT_NE(both.find("\nFullChase = true\n"), std::string::npos) << both;
    EXPECT_NE(both.find("\nMonitor = false\n"), std::string::npos) << both;
    EXPECT_NE(ReadText(PathOf("chase.props")).find("\nFollowTempoMap = false\n"), std::string::npos);

    struct Case {
        const char* File;
        bool Follow;
        bool Chase;
    };
    for (const Case& c : {Case{"both.props", true, true}, Case{"chase.props", false, true}}) {
        auto control = Create();
        ASSERT_TRUE(control);
        ASSERT_TRUE(Load(*control, c.File));
        EXPECT_EQ(Get(*control, "FollowTempoMap"), Variant(c.Follow)) << c.File;
        EXPECT_EQ(Get(*control, "FullChase"), Variant(c.Chase)) << c.File;
        EXPECT_EQ(control->Control()->IsDirty(), S_FALSE) << c.File;
        const Heard heard = PlayerState(*control);
        EXPECT_NEAR(heard.SongLength, c.Follow ? 3.0 : 2.0, 1e-5) << c.File;
        EXPECT_EQ(heard.ReverbChased, c.Chase) << c.File;
    }
}

TEST_F(ControlOptions, SavedDataWithoutThemAndAResetBothTurnThemOffInThePlayerToo) {
    // Data saved before the options existed: Monitor only.
    std::ofstream(PathOf("old.props")) << "_Version = 1.0\nMonitor = true\n";
    for (const bool reset : {false, true}) {
        auto control = CreateWithBoth();
        ASSERT_TRUE(control);
        if (reset) {
            ASSERT_EQ(control->Control()->InitNew(), S_OK);
        } else {
            ASSERT_TRUE(Load(*control, "old.props"));
            EXPECT_EQ(Get(*control, "Monitor"), Variant(true));
        }
        const char* const how = reset ? "reset" : "loaded";
        EXPECT_EQ(Get(*control, "FollowTempoMap"), Variant(false)) << how;
        EXPECT_EQ(Get(*control, "FullChase"), Variant(false)) << how;
        const Heard heard = PlayerState(*control);
        EXPECT_NEAR(heard.SongLength, 2.0, 1e-5) << how << ": at one tempo";
        EXPECT_FALSE(heard.ReverbChased) << how;
    }
}

TEST_F(ControlModule, TheControlDrawsAWhiteRectangleWithAnInscribedEllipseAtAnySize) {
    const HWND container = CreateContainerWindow(300, 200, "container");
    ASSERT_NE(container, 0u);
    auto control = Create();
    ASSERT_TRUE(control);
    for (const SIZE size : {SIZE{120, 60}, SIZE{41, 97}}) {
        ASSERT_EQ(control->Activate(container, RECT{5, 5, 5 + size.cx, 5 + size.cy}), S_OK);
        ASSERT_TRUE(
            PumpMessagesUntil([&] { return host::CaptureWindow(control->Window()).Width() == size.cx; }, kPatience));
        PumpMessages(0ms);
        const Image picture = host::CaptureWindow(control->Window());
        ASSERT_EQ(picture.Height(), size.cy);
        const int w = size.cx, h = size.cy;
        EXPECT_EQ(picture.PixelAt(0, 0), RGB(255, 255, 255)) << "the corners are the white fill";
        EXPECT_EQ(picture.PixelAt(w - 1, h - 1), RGB(255, 255, 255));
        EXPECT_EQ(picture.PixelAt(w / 2, h / 2), RGB(255, 255, 255)) << "inside, the default white brush";
        auto outlineNear = [&](int x0, int y0, int dx, int dy) {
            for (int i = 0; i < 3; ++i) {
                if (picture.PixelAt(x0 + i * dx, y0 + i * dy) == RGB(0, 0, 0)) return true;
            }
            return false;
        };
        EXPECT_TRUE(outlineNear(w / 2, 0, 0, 1)) << "the black pen touches the top edge";
        EXPECT_TRUE(outlineNear(w / 2, h - 1, 0, -1)) << "and the bottom";
        EXPECT_TRUE(outlineNear(0, h / 2, 1, 0)) << "and the left";
        EXPECT_TRUE(outlineNear(w - 1, h / 2, -1, 0)) << "and the right";
        ASSERT_EQ(control->Deactivate(), S_OK);
    }
    control.reset();
    DestroyWindow(container);
}

TEST_F(ControlModule, ThePropertiesVerbShowsTheGeneralPageWithItsPlaceholderText) {
    DialogTemplate dialog;
    ASSERT_TRUE(FindDialogResource(ModuleInstance(), 200, dialog));
    ASSERT_EQ(dialog.Texts.size(), 1u) << "one static text";
    RECT size{0, 0, dialog.Size.cx, dialog.Size.cy};
    RECT text = dialog.Texts[0].Bounds;
    ASSERT_TRUE(MapDialogRect(dialog, &size) && MapDialogRect(dialog, &text));

    auto control = Create();
    ASSERT_TRUE(control);
    std::vector<ShownPage> pages;
    std::string error;
    ASSERT_EQ(control->ShowProperties(&pages, &error), S_OK) << error;
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].Clsid, orvalis::CLSID_OrvalisPropPage);
    EXPECT_EQ(pages[0].Info.Title, "General");
    EXPECT_EQ(pages[0].Info.DialogId, 200u);
    EXPECT_EQ(pages[0].Info.Size, (SIZE{size.right, size.bottom}));
    const Image& picture = pages[0].Picture;
    ASSERT_EQ(picture.Width(), size.right);
    ASSERT_EQ(picture.Height(), size.bottom);
    int inside = 0, outside = 0;
    for (int y = 0; y < picture.Height(); ++y) {
        for (int x = 0; x < picture.Width(); ++x) {
            if (picture.PixelAt(x, y) == kDialogBackground) continue;
            (PtInRect(text, POINT{x, y}) ? inside : outside)++;
        }
    }
    EXPECT_GT(inside, 100) << "the placeholder is drawn";
    EXPECT_EQ(outside, 0) << "in its rectangle, on the dialog's background";
}

}  // namespace

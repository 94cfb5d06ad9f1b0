// The kestravion module as a host meets it: registering and unregistering
// its classes and type library, what the registry then says of the members,
// the property pages, the pictures it carries and its unloading.
#include "ControlTestSupport.h"
#include "platform/automation/dialog.h"

namespace control_test {
namespace {

using kestravion::kButtonSize;

struct MemberRow {
    DISPID Id;
    const char* Text;  // as the registry lists it
};

const MemberRow kSourceMembers[] = {
    {1, "1 method AddFile(string FileName, long ConsumerHandle): bool"},
    {2, "2 method Stop(): bool"},
    {3, "3 method Run(): bool"},
    {4, "4 method Pause(): bool"},
    {5, "5 method Reset(): bool"},
    {6, "6 method Prepare(): bool"},
    {7, "7 method Peek(): double"},
    {8, "8 method Seek(double Milliseconds): bool"},
    {9, "9 method PeekEnd(): double"},
    {10, "10 method LastError(): string"},
    {11, "11 method GetVolume(long StreamNumber): double"},
    {12, "12 method GetPan(long StreamNumber): double"},
    {13, "13 method SetPan(long StreamNumber, double Pan): bool"},
    {14, "14 method SetVolume(long StreamNumber, double Volume): bool"},
    {15, "15 method ReleaseAllButtons(): void"},
    {DISPID_ABOUTBOX, "-552 method AboutBox(): void"},
};

const MemberRow kSourceEvents[] = {
    {DISPID_ERROREVENT,
     "-608 method Error(long Number, string* Description, long Scode, string Source, string HelpFile, "
     "long HelpContext, bool* CancelDisplay): void"},
    {1, "1 method Complete(): void"},
    {2, "2 method BufferingData(): void"},
    {3, "3 method BufferingEnd(): void"},
    {4, "4 method Play(bool* Refuse): void"},
    {5, "5 method Pause(bool* Refuse): void"},
    {6, "6 method Stop(bool* Refuse): void"},
};

const MemberRow kConsumerMembers[] = {
    {1, "1 property BackgroundColor: OLE_COLOR"},
    {2, "2 property BackgroundColor2: OLE_COLOR"},
    {3, "3 property Pan: double"},
    {4, "4 property Volume: double"},
    {5, "5 method GetHandle(): long"},
    {6, "6 method Zoom(double Scaling): void"},
    {7, "7 method SetOptimalSize(): void"},
    {8, "8 method SetFullscreen(bool FullScreen): bool"},
    {9, "9 method GetOptimalSize(long* x, long* y): bool"},
    {10, "10 method GetOptimalSizePixel(long* x, long* y): bool"},
    {DISPID_ABOUTBOX, "-552 method AboutBox(): void"},
};

std::vector<std::string> Listed(const InterfaceDescription& described) {
    std::vector<std::string> lines;
    for (const auto& member : described.Members) lines.push_back(member.ToText());
    return lines;
}

template <std::size_t N>
std::vector<std::string> Listed(const MemberRow (&rows)[N]) {
    std::vector<std::string> lines;
    for (const auto& row : rows) lines.push_back(row.Text);
    return lines;
}

using ModuleTest = ControlTest;

TEST_F(ModuleTest, RegistrationWritesBothControlsTheirPagesAndTheTypeLibraryAndUnregistrationRemovesThem) {
    for (int round = 0; round < 2; ++round) {
        Registry registry;
        std::string error;
        ASSERT_TRUE(ReadRegistry(registry, &error)) << error;
        const struct {
            const char* ProgId = nullptr;
            CLSID Clsid;
            const char* TypeName = nullptr;
            int Bitmap = 0;
        } controls[] = {
            {kestravion::kVideoSourceProgId, kestravion::CLSID_VideoSourceCtrl, "VideoSource Control", 1},
            {kestravion::kVideoConsumerProgId, kestravion::CLSID_VideoConsumerCtrl, "VideoConsumer Control", 2},
        };
        for (const auto& expected : controls) {
            const ClassRegistration* control = registry.FindProgId(expected.ProgId);
            ASSERT_NE(control, nullptr) << expected.ProgId;
            EXPECT_EQ(control->Clsid, expected.Clsid);
            EXPECT_EQ(control->ClassKind, ClassRegistration::Kind::Control);
            EXPECT_EQ(control->TypeName, expected.TypeName);
            EXPECT_EQ(control->ThreadingModel, "Apartment");
            EXPECT_FALSE(control->Insertable);
            EXPECT_EQ(control->MiscStatus, 0x20191u);
            EXPECT_EQ(control->ToolboxBitmap, expected.Bitmap);
            EXPECT_EQ(control->TypeLib, kestravion::LIBID_KESTRAVIONLib);
            EXPECT_EQ(control->TypeLibMajor, 1);
            EXPECT_EQ(control->TypeLibMinor, 0);
            EXPECT_EQ(control->ModulePath, std::filesystem::canonical(KESTRAVION_MODULE).string());
        }
        const struct {
            CLSID Clsid;
            const char* TypeName = nullptr;
        } pages[] = {{kestravion::CLSID_VideoSourcePropPage, "VideoSource Property Page"},
                     {kestravion::CLSID_VideoConsumerPropPage, "VideoConsumer Property Page"}};
        for (const auto& expected : pages) {
            const ClassRegistration* page = registry.FindClass(expected.Clsid);
            ASSERT_NE(page, nullptr) << expected.TypeName;
            EXPECT_EQ(page->ClassKind, ClassRegistration::Kind::PropertyPage);
            EXPECT_TRUE(page->ProgId.empty());
            EXPECT_EQ(page->TypeName, expected.TypeName);
        }
        EXPECT_EQ(registry.Classes().size(), 4u);

        const TypeLibraryDescription* library = registry.FindTypeLib(kestravion::LIBID_KESTRAVIONLib, 1);
        ASSERT_NE(library, nullptr);
        EXPECT_EQ(library->Name, "KESTRAVIONLib");
        EXPECT_EQ(library->Minor, 0);
        EXPECT_EQ(library->HelpFile, "Kestravion.hlp");
        std::vector<std::string> interfaces;
        for (const auto& described : library->Interfaces) {
            interfaces.push_back(described.Name + ": " + described.HelpString);
        }
        EXPECT_EQ(interfaces, (std::vector<std::string>{
                                  "_DVideoSource: Dispatch interface for VideoSource Control",
                                  "_DVideoSourceEvents: Event interface for VideoSource Control",
                                  "_DVideoConsumer: Dispatch interface for VideoConsumer Control",
                                  "_DVideoConsumerEvents: Event interface for VideoConsumer Control",
                              }));
        ASSERT_EQ(library->Classes.size(), 2u);
        EXPECT_EQ(library->Classes[0].Name, "VideoSource");
        EXPECT_EQ(library->Classes[1].Name, "VideoConsumer");
        EXPECT_EQ(library->Classes[1].HelpString, "VideoConsumer Control");

        ClassTypeInfo source, consumer;
        ASSERT_TRUE(registry.DescribeClass(kestravion::CLSID_VideoSourceCtrl, source, &error)) << error;
        ASSERT_TRUE(registry.DescribeClass(kestravion::CLSID_VideoConsumerCtrl, consumer, &error)) << error;
        EXPECT_EQ(source.Dispatch.Iid, kestravion::IID_DVideoSource);
        EXPECT_EQ(Listed(source.Dispatch), Listed(kSourceMembers));
        ASSERT_TRUE(source.Events.has_value());
        EXPECT_EQ(source.Events->Iid, kestravion::IID_DVideoSourceEvents);
        EXPECT_EQ(Listed(*source.Events), Listed(kSourceEvents));
        EXPECT_EQ(consumer.Dispatch.Iid, kestravion::IID_DVideoConsumer);
        EXPECT_EQ(Listed(consumer.Dispatch), Listed(kConsumerMembers));
        ASSERT_TRUE(consumer.Events.has_value());
        std::vector<DISPID> consumerEvents;
        for (const auto& event : consumer.Events->Members) consumerEvents.push_back(event.Id);
        EXPECT_EQ(consumerEvents, (std::vector<DISPID>{DISPID_ERROREVENT, DISPID_CLICK}));

        ASSERT_EQ(Module->UnregisterServer(), S_OK) << AfxOleRegistrationError();
        ASSERT_TRUE(ReadRegistry(registry, &error));
        EXPECT_TRUE(registry.Classes().empty());
        EXPECT_TRUE(registry.TypeLibs().empty());
        EXPECT_FALSE(HostedControl::Create(kestravion::kVideoSourceProgId, &error));
        ASSERT_EQ(Module->RegisterServer(), S_OK) << AfxOleRegistrationError();
    }
}

TEST_F(ModuleTest, EachControlReportsItsStatusAndShowsItsOneEmptyPage) {
    const struct {
        const char* ProgId = nullptr;
        const char* TypeName = nullptr;
        CLSID Page;
        unsigned Dialog = 0;
    } controls[] = {
        {kestravion::kVideoSourceProgId, "VideoSource Control", kestravion::CLSID_VideoSourcePropPage, 200},
        {kestravion::kVideoConsumerProgId, "VideoConsumer Control", kestravion::CLSID_VideoConsumerPropPage, 201},
    };
    for (const auto& expected : controls) {
        Hosted control = Make(expected.ProgId);
        ASSERT_TRUE(control);
        EXPECT_EQ(control->Control()->GetMiscStatus(), 0x20191u);
        EXPECT_EQ(control->Control()->GetUserType(), expected.TypeName);
        std::vector<ShownPage> pages;
        std::string error;
        ASSERT_EQ(control->ShowProperties(&pages, &error), S_OK) << error;
        ASSERT_EQ(pages.size(), 1u) << expected.ProgId;
        EXPECT_EQ(pages[0].Clsid, expected.Page);
        EXPECT_EQ(pages[0].Info.Title, "General");
        EXPECT_EQ(pages[0].Info.DialogId, expected.Dialog);
        const Image& picture = pages[0].Picture;
        ASSERT_FALSE(picture.Empty());
        int marked = 0;
        for (int y = 0; y < picture.Height(); ++y) {
            for (int x = 0; x < picture.Width(); ++x) marked += picture.PixelAt(x, y) != kDialogBackground;
        }
        EXPECT_EQ(marked, 0) << "the page's dialog holds nothing";
        DialogTemplate dialog;
        ASSERT_TRUE(FindDialogResource(ModuleInstance(), expected.Dialog, dialog));
        EXPECT_EQ(dialog.FontName, "MS Sans Serif");
        EXPECT_TRUE(dialog.Texts.empty());
    }
}

// The strip's cells as a user tells them apart: raised and sunken grey
// buttons, lit ones filled with their own colour.
TEST_F(ModuleTest, TheButtonStripHoldsEachButtonAtRestAndLitInItsColour) {
    const HINSTANCE module = ModuleInstance();
    HBITMAP strip = LoadBitmap(module, kestravion::kStripBitmapId);
    ASSERT_NE(strip, nullptr);
    const Image cells = GetBitmapImage(strip);
    DeleteObject(strip);
    ASSERT_EQ(cells.Width(), 162);
    ASSERT_EQ(cells.Height(), 27);
    const auto count = [&](int cell, auto&& test) {
        int found = 0;
        for (int y = 0; y < kButtonSize; ++y) {
            for (int x = 0; x < kButtonSize; ++x) found += test(cells.PixelAt(cell * kButtonSize + x, y));
        }
        return found;
    };
    const auto grey = [](COLORREF c) { return GetRValue(c) == GetGValue(c) && GetGValue(c) == GetBValue(c); };
    const auto white = [](COLORREF c) { return c == RGB(255, 255, 255); };
    const struct {
        const char* Name;
        bool (*Lamp)(COLORREF);
    } lamps[] = {
        {"green", [](COLORREF c) { return GetGValue(c) > 128 && GetRValue(c) < 64 && GetBValue(c) < 64; }},
        {"yellow", [](COLORREF c) { return GetRValue(c) > 128 && GetGValue(c) > 128 && GetBValue(c) < 64; }},
        {"red", [](COLORREF c) { return GetRValue(c) > 128 && GetGValue(c) < 64 && GetBValue(c) < 64; }},
    };
    for (int button = 0; button < 3; ++button) {
        const int rest = 2 * button;
        const int lit = rest + 1;
        EXPECT_EQ(count(rest, grey), kButtonSize * kButtonSize) << "button " << button << " at rest is grey";
        EXPECT_GT(count(rest, white), 60) << "with a white frame and sign";
        EXPECT_GT(count(lit, lamps[button].Lamp), 100) << "button " << button << " lit " << lamps[button].Name;
        for (int other = 0; other < 3; ++other) {
            if (other != button) {
                EXPECT_EQ(count(lit, lamps[other].Lamp), 0) << lamps[other].Name;
            }
        }
        // Raised at rest, sunken when lit: the top-left corner is light, then dark.
        EXPECT_EQ(cells.PixelAt(rest * kButtonSize, 0), RGB(255, 255, 255));
        EXPECT_NE(cells.PixelAt(lit * kButtonSize, 0), RGB(255, 255, 255));
    }
    for (int id : {1, 2}) {
        HBITMAP toolbox = LoadBitmap(module, id);
        ASSERT_NE(toolbox, nullptr) << id;
        BITMAP info;
        ASSERT_EQ(GetObject(toolbox, sizeof info, &info), static_cast<int>(sizeof info));
        EXPECT_EQ(info.bmWidth, 16);
        EXPECT_EQ(info.bmHeight, 15);
        DeleteObject(toolbox);
    }
}

TEST_F(ModuleTest, TheModuleMayBeUnloadedOnceItsControlsAreGone) {
    {
        Hosted source = Source();
        Hosted consumer = Consumer();
        ASSERT_TRUE(source && consumer);
        EXPECT_EQ(Module->CanUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace control_test

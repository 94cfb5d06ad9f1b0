// The sample module driven as a host drives a control: registered in a
// registry file, loaded with dlopen through it, called by id and by name.
#include <dlfcn.h>

#include <atomic>
#include <stdexcept>

#include "fixture.h"
#include "platform/notice/notice.h"
#include "sample/SampleCtl.h"

namespace {

using namespace platform;

std::vector<Variant> Args(std::initializer_list<Variant> values) { return values; }

TEST_F(RegistryTest, RegisteringTheModuleWritesItsClassesAndTypeLibraryAndUnregisteringRemovesThem) {
    std::string error;
    auto module = LoadedModule::Load(SAMPLE_MODULE, &error);
    ASSERT_TRUE(module) << error;
    ASSERT_EQ(module->RegisterServer(), S_OK) << AfxOleRegistrationError();

    Registry registry;
    ASSERT_TRUE(ReadRegistry(registry, &error)) << error;
    const ClassRegistration* control = registry.FindProgId("sample.samplectrl.1");
    ASSERT_NE(control, nullptr) << ReadFile(RegistryFile);
    EXPECT_EQ(control->Clsid, sample::CLSID_SampleCtrl);
    EXPECT_EQ(control->ClassKind, ClassRegistration::Kind::Control);
    EXPECT_EQ(control->TypeName, "Sample Control");
    EXPECT_EQ(control->ThreadingModel, "Apartment");
    EXPECT_FALSE(control->Insertable);
    EXPECT_EQ(control->MiscStatus, 0x20191u);
    EXPECT_EQ(control->ToolboxBitmap, 1);
    EXPECT_EQ(control->TypeLib, sample::LIBID_SampleLib);
    EXPECT_EQ(control->ModulePath, std::filesystem::canonical(SAMPLE_MODULE).string());
    const ClassRegistration* page = registry.FindClass(sample::CLSID_SamplePropPage);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->ClassKind, ClassRegistration::Kind::PropertyPage);
    EXPECT_TRUE(page->ProgId.empty());
    EXPECT_EQ(page->TypeName, "Sample Property Page");

    ClassTypeInfo info;
    ASSERT_TRUE(registry.DescribeClass(sample::CLSID_SampleCtrl, info, &error)) << error;
    EXPECT_EQ(info.LibraryName, "SAMPLELib");
    EXPECT_EQ(info.Dispatch.Name, "_DSample");
    EXPECT_EQ(info.Dispatch.HelpString, "Dispatch interface for Sample Control");
    const MemberDescription* mute = info.Dispatch.FindById(8);
    ASSERT_NE(mute, nullptr);
    EXPECT_EQ(mute->Name, "SetChannelMute") << "the type information knows the main name only";
    EXPECT_EQ(mute->Params[1].Name, "bMute");
    EXPECT_EQ(info.Dispatch.FindByName("AboutBox")->Id, DISPID_ABOUTBOX);
    ASSERT_TRUE(info.Events.has_value());
    EXPECT_EQ(info.Events->FindByName("Request")->Params[0].Type, VT_BOOL | VT_BYREF);
    EXPECT_EQ(info.Events->FindByName("Click")->Id, DISPID_CLICK);

    ASSERT_EQ(module->UnregisterServer(), S_OK) << AfxOleRegistrationError();
    ASSERT_TRUE(ReadRegistry(registry, &error));
    EXPECT_TRUE(registry.Classes().empty());
    EXPECT_TRUE(registry.TypeLibs().empty());
    EXPECT_EQ(module->UnregisterServer(), S_OK) << "unregistering again finds nothing to do";
}

TEST_F(RegistryTest, AModuleWhoseTypeLibraryFailsLeavesItsClassesUnregistered) {
    std::string error;
    auto module = LoadedModule::Load(BROKEN_MODULE, &error);
    ASSERT_TRUE(module) << error;
    EXPECT_EQ(module->RegisterServer(), SELFREG_E_TYPELIB);
    EXPECT_NE(AfxOleRegistrationError().find("used twice"), std::string::npos) << AfxOleRegistrationError();
    Registry registry;
    ASSERT_TRUE(ReadRegistry(registry, &error));
    EXPECT_TRUE(registry.Classes().empty());

    // Its other exports, written with the building blocks, still serve.
    EXPECT_EQ(module->UnregisterServer(), S_OK);
    ComPtr<IClassFactory> factory;
    const CLSID brokenClass{0x7E4C0A91, 0x13B2, 0x4F55, {0x9D, 0x20, 0x44, 0x01, 0xBE, 0x6A, 0x70, 0x01}};
    ASSERT_EQ(module->GetClassObject(brokenClass, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf())),
              S_OK);
    ComPtr<IControl> control;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID_IControl, reinterpret_cast<void**>(control.ReleaseAndGetAddressOf())),
        S_OK);
    EXPECT_EQ(module->CanUnloadNow(), S_FALSE);
    control.Reset();
    factory.Reset();
    EXPECT_EQ(module->CanUnloadNow(), S_OK);
}

TEST_F(RegistryTest, RegistrationIntoACorruptRegistryFailsAndKeepsTheFile) {
    WriteFile(RegistryFile, "[Class oops]\n");
    std::string error;
    auto module = LoadedModule::Load(SAMPLE_MODULE, &error);
    ASSERT_TRUE(module) << error;
    EXPECT_EQ(module->RegisterServer(), SELFREG_E_TYPELIB);
    EXPECT_NE(AfxOleRegistrationError().find(RegistryFile + " line 1"), std::string::npos) << AfxOleRegistrationError();
    EXPECT_EQ(ReadFile(RegistryFile), "[Class oops]\n");
    EXPECT_FALSE(HostedControl::Create("SAMPLE.SampleCtrl.1", &error));
    EXPECT_NE(error.find("corrupt"), std::string::npos) << error;
}

TEST_F(RegistryTest, ALibraryThatIsNotAModuleIsRefusedClearly) {
    std::string error;
    EXPECT_FALSE(LoadedModule::Load(Folder + "/missing.so", &error));
    EXPECT_NE(error.find("cannot load the module"), std::string::npos) << error;
    // libm is a real shared object with none of the four exports.
    EXPECT_FALSE(LoadedModule::Load("libm.so.6", &error));
    EXPECT_NE(error.find("exports no DllGetClassObject"), std::string::npos) << error;
}

TEST_F(SampleTest, ControlsAreFoundByProgIdInAnyCaseOrByClassId) {
    std::string error;
    EXPECT_TRUE(HostedControl::Create("sample.SAMPLECTRL.1", &error)) << error;
    EXPECT_TRUE(HostedControl::Create(sample::CLSID_SampleCtrl.ToString(), &error)) << error;
    auto control = HostedControl::Create("SAMPLE.SampleCtrl.1", &error);
    ASSERT_TRUE(control) << error;
    EXPECT_EQ(control->Control()->GetMiscStatus(), sample::kSampleMiscStatus) << "as registered";
    EXPECT_EQ(control->Control()->GetUserType(), "Sample Control");
    EXPECT_FALSE(HostedControl::Create("SAMPLE.Nothing.1", &error));
    EXPECT_NE(error.find("no class is registered as \"SAMPLE.Nothing.1\""), std::string::npos) << error;
    EXPECT_FALSE(HostedControl::Create(sample::CLSID_SamplePropPage.ToString(), &error));
    EXPECT_NE(error.find(sample::CLSID_SamplePropPage.ToString() + " is not a control"), std::string::npos) << error;
}

TEST_F(SampleTest, AClassWhoseModuleIsGoneFailsWithTheReason) {
    ASSERT_TRUE(UpdateRegistry(
        [](Registry& registry, std::string&) {
            ClassRegistration entry = *registry.FindProgId("SAMPLE.SampleCtrl.1");
            entry.ModulePath = "/nonexistent/libsample.so";
            registry.PutClass(entry);
            return true;
        },
        nullptr));
    std::string error;
    EXPECT_FALSE(HostedControl::Create("SAMPLE.SampleCtrl.1", &error));
    EXPECT_NE(error.find("/nonexistent/libsample.so"), std::string::npos) << error;
}

TEST_F(SampleTest, MethodsAreCalledByIdAndByNameWithConvertedArguments) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    Variant result;
    DispatchError error;
    auto args = Args({Variant("héllo")});
    ASSERT_EQ(control->Call("Echo", args, &result, &error), S_OK) << error.Description;
    EXPECT_EQ(result, Variant("héllo"));

    args = Args({Variant("40"), Variant(2.4)});
    ASSERT_EQ(control->Call("add", args, &result, &error), S_OK) << error.Description;
    EXPECT_EQ(result, Variant(42)) << "text and doubles become longs as the table declares";

    args = Args({Variant(1.5), Variant(true)});
    ASSERT_EQ(control->Control()->Invoke(6, InvokeKind::Method, args, &result, &error), S_OK);
    EXPECT_EQ(result, Variant(-1.5)) << "Scale by id; true is -1";

    args = Args({Variant(0x7FFFFFFF), Variant(1)});
    ASSERT_EQ(control->Call("Add", args, &result, &error), S_OK);
    EXPECT_EQ(result, Variant(std::int32_t{-2147483647 - 1})) << "the control's own wrap-around";
}

TEST_F(SampleTest, TheAlternateNameResolvesWhereTheTypeInformationDoesNot) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    DISPID id = 0;
    ASSERT_EQ(control->Control()->GetIDOfName("mutechannel", id), S_OK);
    EXPECT_EQ(id, 8);
    ASSERT_EQ(control->Resolve("SetChannelMute", id), S_OK);
    EXPECT_EQ(id, 8);
    auto args = Args({Variant(3), Variant(true)});
    Variant result;
    ASSERT_EQ(control->Call("MuteChannel", args, &result, nullptr), S_OK);
    ASSERT_EQ(control->Call("MutedChannels", {}, &result, nullptr), S_OK);
    EXPECT_EQ(result, Variant(8));
    EXPECT_EQ(control->Control()->GetIDOfName("Nothing", id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(SampleTest, BadCallsReturnErrorsAndNeverReachTheHandler) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    struct Case {
        const char* Label;
        DISPID Id;
        InvokeKind Kind;
        std::vector<Variant> Args;
        HRESULT Code;
        int ArgIndex;
        const char* Text;
    };
    double ratio = 0;
    std::int32_t count = 0;
    BOOL ready = FALSE;
    std::vector<Case> cases = {
        {"unknown id", 99, InvokeKind::Method, {}, DISP_E_MEMBERNOTFOUND, -1, "no member with id 99"},
        {"too few",
         8,
         InvokeKind::Method,
         {Variant(1)},
         DISP_E_BADPARAMCOUNT,
         -1,
         "SetChannelMute takes 2 arguments, 1 given"},
        {"too many",
         8,
         InvokeKind::Method,
         {Variant(1), Variant(true), Variant(0)},
         DISP_E_BADPARAMCOUNT,
         -1,
         "takes 2 arguments, 3 given"},
        {"not a number",
         8,
         InvokeKind::Method,
         {Variant("three"), Variant(true)},
         DISP_E_TYPEMISMATCH,
         0,
         "argument 1 (Channel) of SetChannelMute is long: \"three\" is not a number"},
        {"out of range",
         8,
         InvokeKind::Method,
         {Variant(1e12), Variant(true)},
         DISP_E_OVERFLOW,
         0,
         "out of the range of a long"},
        {"not a boolean",
         8,
         InvokeKind::Method,
         {Variant(2), Variant("sometimes")},
         DISP_E_TYPEMISMATCH,
         1,
         "argument 2 (bMute)"},
        {"value for a reference",
         7,
         InvokeKind::Method,
         {Variant(1.0), Variant(&count), Variant::MakeBoolRef(&ready)},
         DISP_E_TYPEMISMATCH,
         0,
         "argument 1 (Ratio) of GetInfo must be a reference to double"},
        {"wrong reference",
         7,
         InvokeKind::Method,
         {Variant(&ratio), Variant(&ratio), Variant::MakeBoolRef(&ready)},
         DISP_E_TYPEMISMATCH,
         1,
         "must be a reference to long"},
        {"method as property",
         8,
         InvokeKind::PropertyPut,
         {Variant(1)},
         DISP_E_MEMBERNOTFOUND,
         -1,
         "is a method, not a property"},
        {"put without value", 1, InvokeKind::PropertyPut, {}, DISP_E_BADPARAMCOUNT, -1, "setting Enabled takes 1"},
        {"get with arguments",
         1,
         InvokeKind::PropertyGet,
         {Variant(1)},
         DISP_E_BADPARAMCOUNT,
         -1,
         "reading Enabled takes no arguments"},
        {"bad colour", 2, InvokeKind::PropertyPut, {Variant("red")}, DISP_E_TYPEMISMATCH, 0, "BackColor is OLE_COLOR"},
    };
    for (Case& c : cases) {
        DispatchError error;
        Variant result = Variant("untouched");
        EXPECT_EQ(control->Control()->Invoke(c.Id, c.Kind, c.Args, &result, &error), c.Code) << c.Label;
        EXPECT_EQ(error.Code, c.Code) << c.Label;
        EXPECT_EQ(error.ArgIndex, c.ArgIndex) << c.Label;
        EXPECT_NE(error.Description.find(c.Text), std::string::npos) << c.Label << ": " << error.Description;
        EXPECT_EQ(result, Variant("untouched")) << c.Label;
    }
    Variant muted, colour;
    ASSERT_EQ(control->Call("MutedChannels", {}, &muted, nullptr), S_OK);
    EXPECT_EQ(muted, Variant(0)) << "no bad call reached the handler";
    ASSERT_EQ(control->Get("BackColor", colour, nullptr), S_OK);
    EXPECT_EQ(colour, Variant::MakeColor(0x00FFFFFF));
    EXPECT_EQ(ratio, 0.0);
    EXPECT_EQ(count, 0);
}

TEST_F(SampleTest, AHandlerThatThrowsBecomesAnExceptionResult) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    DispatchError error;
    EXPECT_EQ(control->Call("Fail", {}, nullptr, &error), DISP_E_EXCEPTION);
    EXPECT_NE(error.Description.find("deliberate failure"), std::string::npos) << error.Description;
    Variant result;
    auto args = Args({Variant(1), Variant(2)});
    EXPECT_EQ(control->Call("Add", args, &result, nullptr), S_OK) << "the control works on";
}

TEST_F(SampleTest, ReferenceArgumentsCarryResultsBack) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    ASSERT_EQ(control->Set("Enabled", Variant(true), nullptr), S_OK);
    double ratio = 0;
    std::int32_t count = 0;
    std::int32_t ready = 0;
    auto args = Args({Variant(&ratio), Variant(&count), Variant(&ready)});
    Variant result;
    DispatchError error;
    ASSERT_EQ(control->Call("GetInfo", args, &result, &error), S_OK) << error.Description;
    EXPECT_EQ(result, Variant(true));
    EXPECT_EQ(ratio, 0.75);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(ready, TRUE) << "a long reference serves where a BOOL reference is declared";
}

TEST_F(SampleTest, PropertiesReadBackWhatWasSetAndMarkTheControlModified) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    EXPECT_EQ(control->Control()->IsDirty(), S_FALSE) << "a new control needs no saving";
    ASSERT_EQ(control->Set("Level", Variant("0.125"), nullptr), S_OK);
    Variant level;
    ASSERT_EQ(control->Get("LEVEL", level, nullptr), S_OK);
    EXPECT_EQ(level, Variant(0.125));
    EXPECT_EQ(control->Control()->IsDirty(), S_OK);
    Variant viaMethodCall;
    ASSERT_EQ(control->Call("Level", {}, &viaMethodCall, nullptr), S_OK) << "hosts read properties as calls too";
    EXPECT_EQ(viaMethodCall, Variant(0.125));
}

struct Recorder {
    std::mutex Lock;
    std::vector<SeenEvent> Seen;
    HostedControl::EventHandler Handler() {
        return [this](const EventInfo& event, std::span<Variant> args) {
            SeenEvent seen{event.Name, {}, GetCurrentThreadId()};
            for (const Variant& arg : args) seen.Args.push_back(arg.ToDisplayString());
            std::lock_guard guard(Lock);
            Seen.push_back(std::move(seen));
        };
    }
    std::vector<SeenEvent> Take() {
        std::lock_guard guard(Lock);
        return std::exchange(Seen, {});
    }
};

TEST_F(SampleTest, EventsReachEverySinkSynchronouslyUntilItDisconnects) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    Recorder first, second;
    DWORD firstCookie = 0, secondCookie = 0;
    ASSERT_EQ(control->Connect(first.Handler(), firstCookie), S_OK);
    ASSERT_EQ(control->Connect(second.Handler(), secondCookie), S_OK);
    auto args = Args({Variant(7)});
    ASSERT_EQ(control->Call("Notify", args, nullptr, nullptr), S_OK);
    auto seen = first.Take();
    ASSERT_EQ(seen.size(), 1u) << "the event arrived before the call returned";
    EXPECT_EQ(seen[0].Name, "Changed");
    EXPECT_EQ(seen[0].Args, std::vector<std::string>{"7"});
    EXPECT_EQ(seen[0].Thread, GetCurrentThreadId());
    EXPECT_EQ(second.Take().size(), 1u);

    ASSERT_EQ(control->Disconnect(firstCookie), S_OK);
    EXPECT_EQ(control->Control()->Unadvise(firstCookie), E_INVALIDARG);
    ASSERT_EQ(control->Call("Notify", args, nullptr, nullptr), S_OK);
    EXPECT_TRUE(first.Take().empty());
    EXPECT_EQ(second.Take().size(), 1u);
}

TEST_F(SampleTest, ASinkRefusesThroughTheByReferenceBool) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    Variant result;
    ASSERT_EQ(control->Call("AskPermission", {}, &result, nullptr), S_OK);
    EXPECT_EQ(result, Variant(true)) << "nobody refused";
    DWORD cookie;
    bool sawFalseOnEntry = false;
    ASSERT_EQ(control->Connect(
                  [&](const EventInfo& event, std::span<Variant> args) {
                      ASSERT_EQ(event.Name, "Request");
                      sawFalseOnEntry = args[0].Bool() == FALSE;
                      EXPECT_TRUE(args[0].SetBool(TRUE));
                  },
                  cookie),
              S_OK);
    ASSERT_EQ(control->Call("AskPermission", {}, &result, nullptr), S_OK);
    EXPECT_TRUE(sawFalseOnEntry);
    EXPECT_EQ(result, Variant(false)) << "the control read the refusal back";
}

TEST_F(SampleTest, FireErrorRaisesTheStockEventAndShowsTheTextUnlessCancelled) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    NoticeCapture notices;
    auto args = Args({Variant("Video(s) not playing...")});
    ASSERT_EQ(control->Call("RaiseError", args, nullptr, nullptr), S_OK);
    ASSERT_EQ(notices.Count(), 1u) << "nobody listens: the text is shown";
    EXPECT_EQ(notices.Texts()[0], "Video(s) not playing...");

    Recorder recorder;
    DWORD cookie;
    ASSERT_EQ(control->Connect(recorder.Handler(), cookie), S_OK);
    DWORD cancelCookie;
    ASSERT_EQ(control->Connect(
                  [](const EventInfo& event, std::span<Variant> a) {
                      if (event.Id == DISPID_ERROREVENT) a[6].SetBool(TRUE);
                  },
                  cancelCookie),
              S_OK);
    notices.Clear();
    ASSERT_EQ(control->Call("RaiseError", args, nullptr, nullptr), S_OK);
    EXPECT_EQ(notices.Count(), 0u) << "CancelDisplay was set";
    auto seen = recorder.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Name, "Error");
    EXPECT_EQ(seen[0].Args[0], "0");
    EXPECT_EQ(seen[0].Args[1], "\"Video(s) not playing...\"");
    EXPECT_EQ(seen[0].Args[3], "\"SAMPLE.SampleCtrl.1\"");
}

TEST_F(SampleTest, PropertiesRoundTripThroughTheirTextForm) {
    std::string file = Folder + "/sample.props";
    {
        auto control = CreateSample();
        ASSERT_TRUE(control);
        ASSERT_EQ(control->Set("Enabled", Variant(true), nullptr), S_OK);
        ASSERT_EQ(control->Set("BackColor", Variant::MakeColor(0x8000000F), nullptr), S_OK);
        ASSERT_EQ(control->Set("Level", Variant(1.0 / 3.0), nullptr), S_OK);
        std::string error;
        ASSERT_TRUE(control->SavePropertiesFile(file, &error)) << error;
        EXPECT_EQ(control->Control()->IsDirty(), S_FALSE) << "saving clears the modified flag";
    }
    std::string text = ReadFile(file);
    EXPECT_NE(text.find("# properties of SAMPLE.SampleCtrl.1"), std::string::npos) << text;
    EXPECT_NE(text.find("_Version = 1.0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Enabled = true\n"), std::string::npos) << text;
    EXPECT_NE(text.find("BackColor = 0x8000000F\n"), std::string::npos) << text;

    auto control = CreateSample();
    ASSERT_TRUE(control);
    std::vector<std::string> issues;
    std::string error;
    ASSERT_TRUE(control->LoadPropertiesFile(file, &issues, &error)) << error;
    EXPECT_TRUE(issues.empty()) << issues.front();
    Variant value;
    control->Get("Enabled", value, nullptr);
    EXPECT_EQ(value, Variant(true));
    control->Get("BackColor", value, nullptr);
    EXPECT_EQ(value, Variant::MakeColor(0x8000000F));
    control->Get("Level", value, nullptr);
    EXPECT_EQ(value, Variant(1.0 / 3.0));
    EXPECT_EQ(control->Control()->IsDirty(), S_FALSE) << "a loaded control is clean";
}

TEST_F(SampleTest, LoadingReportsBadAndUnknownEntriesAndUsesDefaults) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    ASSERT_EQ(control->Set("Level", Variant(9.0), nullptr), S_OK);
    std::vector<std::string> issues;
    PropertyBag bag = PropertyBag::Parse("_Version = 3.0\nEnabled = sometimes\nColour = 5\n", &issues);
    ASSERT_EQ(control->LoadProperties(bag, &issues), S_OK);
    Variant value;
    control->Get("Enabled", value, nullptr);
    EXPECT_EQ(value, Variant(false));
    control->Get("Level", value, nullptr);
    EXPECT_EQ(value, Variant(0.75)) << "a missing entry loads as its default";
    control->Get("BackColor", value, nullptr);
    EXPECT_EQ(value, Variant::MakeColor(0x00FFFFFF));
    ASSERT_EQ(issues.size(), 3u);
    EXPECT_NE(issues[0].find("version 3.0"), std::string::npos) << issues[0];
    EXPECT_NE(issues[1].find("line 2: \"Enabled\""), std::string::npos) << issues[1];
    EXPECT_NE(issues[2].find("line 3: unknown property \"Colour\""), std::string::npos) << issues[2];
}

TEST_F(SampleTest, ANewControlStartsWithTheDefaultsItWouldLoad) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    PropertyBag bag;
    ASSERT_EQ(control->SaveProperties(bag), S_OK);
    EXPECT_EQ(*bag.Find("Enabled"), "false");
    EXPECT_EQ(*bag.Find("BackColor"), "0x00FFFFFF");
    EXPECT_EQ(*bag.Find("Level"), "0.75");
}

TEST_F(SampleTest, TheModuleStaysLoadedWhileItHasObjectsOrLocks) {
    using CountFn = int (*)();
    void* handle = ::dlopen(SAMPLE_MODULE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto initCount = reinterpret_cast<CountFn>(::dlsym(handle, "SampleModuleInitCount"));
    auto exitCount = reinterpret_cast<CountFn>(::dlsym(handle, "SampleModuleExitCount"));
    ASSERT_TRUE(initCount && exitCount);

    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
    const int initsBefore = initCount();
    const int exitsBefore = exitCount();
    {
        auto a = CreateSample();
        auto b = CreateSample();
        EXPECT_EQ(initCount(), initsBefore + 1) << "the module starts once";
        EXPECT_EQ(Module->CanUnloadNow(), S_FALSE);
        a.reset();
        EXPECT_EQ(Module->CanUnloadNow(), S_FALSE) << "one control is still alive";
    }
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
    EXPECT_EQ(exitCount(), exitsBefore + 1);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Module->GetClassObject(sample::CLSID_SampleCtrl, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_EQ(Module->CanUnloadNow(), S_FALSE) << "a class object is held";
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(Module->CanUnloadNow(), S_FALSE) << "a lock holds the module";
    ComPtr<IClassFactory> again;
    ASSERT_EQ(Module->GetClassObject(sample::CLSID_SampleCtrl, IID_IClassFactory,
                                     reinterpret_cast<void**>(again.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_EQ(again->LockServer(FALSE), S_OK);
    EXPECT_EQ(again->LockServer(FALSE), E_UNEXPECTED) << "more unlocks than locks";
    again.Reset();
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);

    void* unknown = reinterpret_cast<void*>(1);
    EXPECT_EQ(Module->GetClassObject(GUID{}, IID_IClassFactory, &unknown), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(unknown, nullptr);
    ::dlclose(handle);
}

TEST_F(SampleTest, TheFactoryRefusesAggregationAndUnknownInterfaces) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Module->GetClassObject(sample::CLSID_SampleCtrl, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf())),
              S_OK);
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.Get()), IID_IControl, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    factory.Reset();
    EXPECT_EQ(Module->CanUnloadNow(), S_OK) << "the refused object did not linger";
}

// This test program is a module of its own: its module object fails to start
// the first time, by an exception.
std::atomic<int> StartAttempts{0};

class CStartOnSecondTryApp : public COleControlModule {
public:
    BOOL InitInstance() override {
        if (StartAttempts.fetch_add(1) == 0) throw std::runtime_error("not yet");
        return TRUE;
    }
};

class CPlainCtrl : public COleControl {};

constexpr CLSID kPlainCtrlClass{0x3A51C6E2, 0x7D04, 0x4B8E, {0x91, 0x3F, 0x2C, 0x66, 0x0B, 0xD4, 0x58, 0x11}};
CStartOnSecondTryApp theStartOnSecondTryApp;
COleObjectFactory thePlainFactory(kPlainCtrlClass, RUNTIME_CLASS(CPlainCtrl), FALSE, nullptr);

TEST(ModuleStart, AModuleObjectThatFailedToStartIsStartedAgainBeforeItServesAClass) {
    void* object = nullptr;
    EXPECT_EQ(ModuleGetClassObject(ThisModuleInstance(), kPlainCtrlClass, IID_IClassFactory, &object), E_UNEXPECTED);
    EXPECT_EQ(object, nullptr);
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(ModuleGetClassObject(ThisModuleInstance(), kPlainCtrlClass, IID_IClassFactory,
                                   reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_EQ(StartAttempts.load(), 2) << "the second request started the module again";
}

}  // namespace

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "fixture.h"
#include "platform/automation/registration.h"

namespace {

using namespace platform;

GUID MakeGuid(std::uint32_t n) { return GUID{n, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}}; }

ClassRegistration MakeClass(std::uint32_t n, std::string progId) {
    ClassRegistration entry;
    entry.Clsid = MakeGuid(n);
    entry.ClassKind = ClassRegistration::Kind::Control;
    entry.TypeName = "Class " + std::to_string(n);
    entry.ProgId = std::move(progId);
    entry.ModulePath = "/opt/modules/lib" + std::to_string(n) + ".so";
    entry.ThreadingModel = "Apartment";
    entry.MiscStatus = 0x20191;
    entry.ToolboxBitmap = 1;
    entry.TypeLib = MakeGuid(1000);
    entry.TypeLibMajor = 1;
    return entry;
}

TypeLibraryDescription MakeLibrary() {
    TypeLibraryDescription library;
    library.LibId = MakeGuid(1000);
    library.Name = "TESTLib";
    library.HelpString = "a library; with punctuation = and \"quotes\"";
    library.HelpFile = "test.hlp";
    library.ModulePath = "/opt/modules/lib1.so";
    InterfaceDescription dispatch{MakeGuid(2000), "_DTest", "Dispatch interface", false, {}};
    dispatch.Members.push_back({1, "Monitor", MemberKind::Property, {}, VT_BOOL, ""});
    dispatch.Members.push_back({2,
                                "GetTempoInfo",
                                MemberKind::Method,
                                {{"BPM", VT_R8 | VT_BYREF}, {"Numerator", VT_I4 | VT_BYREF}},
                                VT_BOOL,
                                "reads \"the\" tempo"});
    dispatch.Members.push_back({DISPID_ABOUTBOX, "AboutBox", MemberKind::Method, {}, VT_EMPTY, ""});
    InterfaceDescription events{MakeGuid(2001), "_DTestEvents", "", true, {}};
    events.Members.push_back({DISPID_ERROREVENT,
                              "Error",
                              MemberKind::Method,
                              {{"Number", VT_I4}, {"CancelDisplay", VT_BOOL | VT_BYREF}},
                              VT_EMPTY,
                              ""});
    library.Interfaces = {dispatch, events};
    library.Classes.push_back({MakeGuid(1), "Test", "Test Control", MakeGuid(2000), MakeGuid(2001)});
    return library;
}

TEST_F(RegistryTest, TextFormKeepsEveryRegisteredDetail) {
    Registry registry;
    registry.PutClass(MakeClass(1, "TEST.TestCtrl.1"));
    ClassRegistration page = MakeClass(3, "");
    page.ClassKind = ClassRegistration::Kind::PropertyPage;
    page.TypeLib.reset();
    registry.PutClass(page);
    registry.PutTypeLib(MakeLibrary());

    Registry back;
    std::string error;
    ASSERT_TRUE(Registry::Parse(registry.ToText(), "test", back, &error)) << error << "\n" << registry.ToText();
    EXPECT_EQ(back.ToText(), registry.ToText());
    const ClassRegistration* found = back.FindProgId("test.testctrl.1");
    ASSERT_NE(found, nullptr) << "ProgIDs compare without case";
    EXPECT_EQ(found->MiscStatus, 0x20191u);
    EXPECT_EQ(back.FindClass(MakeGuid(3))->ClassKind, ClassRegistration::Kind::PropertyPage);

    ClassTypeInfo info;
    ASSERT_TRUE(back.DescribeClass(MakeGuid(1), info, &error)) << error;
    EXPECT_EQ(info.LibraryName, "TESTLib");
    const MemberDescription* tempo = info.Dispatch.FindByName("gettempoinfo");
    ASSERT_NE(tempo, nullptr);
    EXPECT_EQ(tempo->Params[0].Name, "BPM");
    EXPECT_EQ(tempo->Params[1].Type, VT_I4 | VT_BYREF);
    EXPECT_EQ(tempo->HelpString, "reads \"the\" tempo");
    ASSERT_TRUE(info.Events.has_value());
    EXPECT_EQ(info.Events->FindById(DISPID_ERROREVENT)->Params[1].Type, VT_BOOL | VT_BYREF);
    EXPECT_EQ(back.FindTypeLib(MakeGuid(1000))->HelpString, MakeLibrary().HelpString);
}

TEST_F(RegistryTest, AProgIdBelongsToOneClassAtATime) {
    Registry registry;
    registry.PutClass(MakeClass(1, "TEST.Shared.1"));
    registry.PutClass(MakeClass(2, "test.shared.1"));
    EXPECT_EQ(registry.FindClass(MakeGuid(1)), nullptr) << "the newer registration takes the ProgID";
    EXPECT_EQ(registry.FindProgId("TEST.Shared.1")->Clsid, MakeGuid(2));
}

TEST_F(RegistryTest, ACorruptFileIsRefusedWithItsLineAndNeverOverwritten) {
    const std::string corrupt =
        "[Class {00000001-1234-5678-0102-030405060708}]\n"
        "Kind = control\n"
        "Module = /x.so\n"
        "MiscStatus = lots\n";
    WriteFile(RegistryFile, corrupt);
    Registry registry;
    std::string error;
    EXPECT_FALSE(ReadRegistry(registry, &error));
    EXPECT_NE(error.find(RegistryFile + " line 4"), std::string::npos) << error;
    EXPECT_FALSE(UpdateRegistry([](Registry&, std::string&) { return true; }, &error));
    EXPECT_FALSE(AfxOleUnregisterClass(MakeGuid(1), "TEST.TestCtrl.1"));
    EXPECT_NE(AfxOleRegistrationError().find("corrupt"), std::string::npos) << AfxOleRegistrationError();
    EXPECT_EQ(ReadFile(RegistryFile), corrupt);
}

TEST_F(RegistryTest, EachKindOfDamageIsNamed) {
    struct Case {
        const char* Text;
        const char* Expected;
    };
    for (const Case& c : {
             Case{"Module = /x.so\n", "line 1: a key before the first section"},
             Case{"[Class {nonsense}]\nModule = /x.so\n", "line 1: the class id"},
             Case{"[Class {00000001-1234-5678-0102-030405060708}]\n", "line 1: the class names no Module"},
             Case{"[Class {00000001-1234-5678-0102-030405060708}]\nModule = /x\nColour = red\n", "line 3: unknown key"},
             Case{"[Widget {00000001-1234-5678-0102-030405060708}]\n", "line 1: unknown section kind"},
             Case{"[Interface {00000001-1234-5678-0102-030405060708}]\n"
                  "TypeLib = {00000002-1234-5678-0102-030405060708} 1.0\nMember = 1 method Go: bool\n",
                  "line 3: a method lists its parameters"},
             Case{"[Interface {00000001-1234-5678-0102-030405060708}]\n"
                  "TypeLib = {00000002-1234-5678-0102-030405060708} 1.0\n",
                  "line 2: the type library {00000002-1234-5678-0102-030405060708} 1.0 has no TypeLib"},
             Case{"just words\n", "line 1: expected"},
         }) {
        Registry registry;
        std::string error;
        EXPECT_FALSE(Registry::Parse(c.Text, "reg", registry, &error)) << c.Text;
        EXPECT_NE(error.find(c.Expected), std::string::npos) << error;
    }
}

TEST_F(RegistryTest, AKeyGivenTwiceInASectionIsRefusedWithBothLines) {
    const std::string twice =
        "[Class {00000001-1234-5678-0102-030405060708}]\n"
        "Kind = control\n"
        "Module = /first.so\n"
        "Module = /second.so\n";
    WriteFile(RegistryFile, twice);
    Registry registry;
    std::string error;
    EXPECT_FALSE(ReadRegistry(registry, &error));
    EXPECT_NE(error.find(RegistryFile + " line 4: the key \"Module\" was already given on line 3"), std::string::npos)
        << error;
    EXPECT_FALSE(UpdateRegistry([](Registry&, std::string&) { return true; }, &error));
    EXPECT_EQ(ReadFile(RegistryFile), twice);
    // An interface lists its members under one key.
    Registry members;
    registry.PutTypeLib(MakeLibrary());
    ASSERT_TRUE(Registry::Parse(registry.ToText(), "reg", members, &error)) << error;
}

TEST_F(RegistryTest, WhatIsNotARegularFileIsRefusedAndLeftAsItIs) {
    const std::string fifo = Folder + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = Folder + "/big";
    std::ofstream(big).close();
    ASSERT_EQ(::truncate(big.c_str(), (16 << 20) + 1), 0);
    auto touch = [](Registry& r, std::string&) {
        r.PutClass(MakeClass(1, "A.B.1"));
        return true;
    };
    for (const std::string& path : {std::string("/dev/null"), std::string("/dev/zero"), fifo, Folder, big}) {
        SetRegistryPath(path);
        struct stat before {};
        ASSERT_EQ(::stat(path.c_str(), &before), 0) << path;
        Registry registry;
        std::string error;
        EXPECT_FALSE(ReadRegistry(registry, &error)) << path;  // promptly: a FIFO is not waited on
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_FALSE(UpdateRegistry(touch, &error)) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        if (path == big) {
            EXPECT_NE(error.find("16 MiB"), std::string::npos) << error;
        }
        struct stat after {};
        ASSERT_EQ(::stat(path.c_str(), &after), 0) << path;
        EXPECT_EQ(after.st_mode, before.st_mode) << path;
        EXPECT_EQ(after.st_ino, before.st_ino) << path;
        EXPECT_EQ(after.st_size, before.st_size) << path;
        // What is no file at all is refused before anything is made beside it.
        if (path != big) {
            EXPECT_NE(::access((path + ".lock").c_str(), F_OK), 0) << path;
        }
    }
}

TEST_F(RegistryTest, ALinkedRegistryKeepsItsLinkAndTheTargetItsMode) {
    std::filesystem::create_directory(Folder + "/real");
    const std::string target = Folder + "/real/registry";
    ASSERT_TRUE(UpdateRegistry(
        [](Registry& r, std::string&) {
            r.PutClass(MakeClass(1, "A.B.1"));
            return true;
        },
        nullptr));
    std::filesystem::rename(RegistryFile, target);
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("real/registry", RegistryFile.c_str()), 0);
    std::string error;
    ASSERT_TRUE(UpdateRegistry(
        [](Registry& r, std::string&) {
            r.PutClass(MakeClass(2, "A.C.1"));
            return true;
        },
        &error))
        << error;
    EXPECT_TRUE(std::filesystem::is_symlink(RegistryFile));
    Registry registry;
    ASSERT_TRUE(Registry::Load(target, registry, &error)) << error;
    EXPECT_EQ(registry.Classes().size(), 2u);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(RegistryTest, AMissingFileIsAnEmptyRegistryAndTheFolderIsMadeOnWrite) {
    SetRegistryPath(Folder + "/deeper/still/registry");
    Registry registry;
    ASSERT_TRUE(ReadRegistry(registry, nullptr));
    EXPECT_TRUE(registry.Classes().empty());
    ASSERT_TRUE(UpdateRegistry(
        [](Registry& r, std::string&) {
            r.PutClass(MakeClass(1, "A.B.1"));
            return true;
        },
        nullptr));
    ASSERT_TRUE(ReadRegistry(registry, nullptr));
    EXPECT_EQ(registry.Classes().size(), 1u);
}

TEST_F(RegistryTest, ARefusedChangeLeavesTheFileAlone) {
    ASSERT_TRUE(UpdateRegistry(
        [](Registry& r, std::string&) {
            r.PutClass(MakeClass(1, "A.B.1"));
            return true;
        },
        nullptr));
    std::string before = ReadFile(RegistryFile);
    std::string error;
    EXPECT_FALSE(UpdateRegistry(
        [](Registry& r, std::string& why) {
            r.RemoveClass(MakeGuid(1), "");
            why = "not today";
            return false;
        },
        &error));
    EXPECT_EQ(error, "not today");
    EXPECT_EQ(ReadFile(RegistryFile), before);
}

void RegisterMany(std::uint32_t first, int count) {
    for (int i = 0; i < count; ++i) {
        std::uint32_t n = first + static_cast<std::uint32_t>(i);
        ASSERT_TRUE(UpdateRegistry(
            [n](Registry& r, std::string&) {
                r.PutClass(MakeClass(n, "CONCURRENT.Class." + std::to_string(n)));
                return true;
            },
            nullptr));
    }
}

TEST_F(RegistryTest, RegistrationsAtOnceFromThreadsAllLand) {
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t) threads.emplace_back(RegisterMany, 100 * (t + 1), 10);
    for (auto& thread : threads) thread.join();
    Registry registry;
    ASSERT_TRUE(ReadRegistry(registry, nullptr));
    EXPECT_EQ(registry.Classes().size(), 40u);
}

TEST_F(RegistryTest, RegistrationsAtOnceFromProcessesAllLand) {
    std::vector<pid_t> children;
    for (std::uint32_t p = 0; p < 3; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (std::uint32_t i = 0; i < 10 && ok; ++i) {
                std::uint32_t n = 1000 * (p + 1) + i;
                ok = UpdateRegistry(
                    [n](Registry& r, std::string&) {
                        r.PutClass(MakeClass(n, "PROCESS.Class." + std::to_string(n)));
                        return true;
                    },
                    nullptr);
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    RegisterMany(1, 10);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Registry registry;
    ASSERT_TRUE(ReadRegistry(registry, nullptr));
    EXPECT_EQ(registry.Classes().size(), 40u);
}

TEST(MemberDescription, RejectsLinesThatAreNotMembers) {
    MemberDescription member;
    std::string problem;
    for (const char* text :
         {"", "x method A(): bool", "1 function A(): bool", "1 method (): bool", "1 method A(long): bool",
          "1 method A(short X): bool", "1 method A(long X: bool", "1 property P", "1 property P: void",
          "1 method A(): long* ", "1 method A(): bool trailing"}) {
        EXPECT_FALSE(MemberDescription::Parse(text, member, problem)) << text;
    }
    ASSERT_TRUE(MemberDescription::Parse("-552 method AboutBox(): void", member, problem)) << problem;
    EXPECT_EQ(member.Id, DISPID_ABOUTBOX);
}

}  // namespace

#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MediaTestSupport.h"
#include "kestravion/KestravionIds.h"
#include "platform/automation/container.h"
#include "platform/automation/registration.h"
#include "platform/automation/registry.h"
#include "platform/notice/notice.h"
#include "platform/window/host.h"

// The video controls driven as a container drives them: the module
// registered in a scratch registry and loaded through it, controls made by
// ProgID, activated in a container window, called by name, heard through
// their events, read back as pixels.
namespace control_test {

using namespace platform;
using namespace std::chrono_literals;
using media_test::Content;

// What a host's handler saw of one control's events, and how it answers.
struct EventLog {
    std::vector<std::string> Names;
    std::vector<std::string> Errors;  // the Error events' descriptions
    // Event name -> what the handler writes into Refuse.
    std::map<std::string, bool> Refuse;

    std::size_t Count(const std::string& name) const {
        std::size_t count = 0;
        for (const auto& seen : Names) count += seen == name;
        return count;
    }
};

// One control held by the test, with its event log (which outlives it).
struct Hosted {
    std::unique_ptr<HostedControl> Control;
    std::shared_ptr<EventLog> Log = std::make_shared<EventLog>();

    HostedControl* operator->() const { return Control.get(); }
    explicit operator bool() const { return Control != nullptr; }
    HWND Window() const { return Control ? Control->Window() : 0; }

    Variant Call(std::string_view name, std::vector<Variant> args = {}) const {
        Variant result;
        DispatchError error;
        EXPECT_EQ(Control->Call(name, args, &result, &error), S_OK) << name << ": " << error.Description;
        return result;
    }
    bool CallBool(std::string_view name, std::vector<Variant> args = {}) const {
        return Call(name, std::move(args)).Bool() != FALSE;
    }
    Variant Get(std::string_view name) const {
        Variant value;
        EXPECT_EQ(Control->Get(name, value, nullptr), S_OK) << name;
        return value;
    }
    void Set(std::string_view name, const Variant& value) const {
        EXPECT_EQ(Control->Set(name, value, nullptr), S_OK) << name;
    }
};

// The module's own instance, for reading its resources as a host could.
inline HINSTANCE ModuleInstance() {
    void* loaded = ::dlopen(KESTRAVION_MODULE, RTLD_NOW | RTLD_NOLOAD);
    if (!loaded) return nullptr;
    const HINSTANCE instance = GetModuleInstance(::dlsym(loaded, "DllGetClassObject"));
    ::dlclose(loaded);
    return instance;
}

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestravion-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Folder = pattern;
        platform::SetRegistryPath(Folder + "/registry");
        std::string error;
        Module = LoadedModule::Load(KESTRAVION_MODULE, &error);
        ASSERT_TRUE(Module) << error;
        ASSERT_EQ(Module->RegisterServer(), S_OK) << AfxOleRegistrationError();
        Container = CreateContainerWindow(1000, 800, "container");
        ASSERT_NE(Container, 0u);
    }

    void TearDown() override {
        Controls.clear();
        if (Container) DestroyWindow(Container);
        Module.reset();
        platform::SetRegistryPath("");
        media::SetAudioOutput(media::AudioOutput::Automatic);
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
        EXPECT_TRUE(Notices.Texts().empty()) << "a notice was shown: " << Notices.Texts().front();
    }

    // A control by ProgID with its events logged. Error events are answered
    // with CancelDisplay, as a host that shows them itself does.
    Hosted Make(const char* progId) {
        Hosted hosted;
        std::string error;
        hosted.Control = HostedControl::Create(progId, &error);
        EXPECT_TRUE(hosted.Control) << error;
        if (!hosted.Control) return hosted;
        DWORD cookie = 0;
        hosted.Control->Connect(
            [log = hosted.Log](const EventInfo& event, std::span<Variant> args) {
                log->Names.push_back(event.Name);
                if (event.Id == DISPID_ERROREVENT && args.size() == 7) {
                    log->Errors.push_back(args[1].String());
                    args[6].SetBool(TRUE);
                }
                if (auto answer = log->Refuse.find(event.Name); answer != log->Refuse.end() && args.size() == 1) {
                    args[0].SetBool(answer->second ? TRUE : FALSE);
                }
            },
            cookie);
        return hosted;
    }

    // A source control shown at (10, 10), its strip's place.
    Hosted Source() {
        Hosted source = Make(kestravion::kVideoSourceProgId);
        if (source) {
            EXPECT_EQ(source->Activate(Container, RECT{10, 10, 91, 37}), S_OK);
        }
        PumpMessages(0ms);
        return source;
    }

    // A consumer control shown at `place` in the container.
    Hosted Consumer(RECT place = RECT{10, 50, 330, 290}) {
        Hosted consumer = Make(kestravion::kVideoConsumerProgId);
        if (consumer) {
            EXPECT_EQ(consumer->Activate(Container, place), S_OK);
        }
        return consumer;
    }

    static std::string MediaFile(Content kind, double seconds, int width = 320, int height = 240) {
        return media_test::Media(kind, seconds, width, height).string();
    }

    // Adds a file for the consumer (0: none); the test fails when it cannot.
    static void AddFile(const Hosted& source, const std::string& file, const Hosted* consumer) {
        const Variant handle = consumer ? consumer->Call("GetHandle") : Variant(0);
        ASSERT_TRUE(source.CallBool("AddFile", {Variant(file), handle})) << source.Call("LastError").String();
    }

    static bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        return PumpMessagesUntil(done, limit);
    }

    // Paints what is due; true when nothing is left to paint.
    static bool Settle(HWND window) {
        return PumpUntil([window] {
            RECT update{};
            for (HWND w : Tree(window)) {
                if (GetUpdateRect(w, &update, FALSE)) return false;
            }
            return true;
        });
    }

    static std::vector<HWND> Tree(HWND window) {
        std::vector<HWND> windows{window};
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            for (HWND w : Tree(child)) windows.push_back(w);
        }
        return windows;
    }

    // Pumps until the bars show across the window (its whole client width).
    static bool WaitForBars(HWND window, int y = 20) {
        return PumpUntil([&] {
            RECT client{};
            GetClientRect(window, &client);
            const Image picture = host::CaptureWindow(window);
            return !picture.Empty() && media_test::ShowsBars(picture, 0, client.right, y);
        });
    }

    static SIZE ClientSize(HWND window) {
        RECT client{};
        GetClientRect(window, &client);
        return SIZE{client.right, client.bottom};
    }

    std::string Folder;
    std::shared_ptr<LoadedModule> Module;
    HWND Container = 0;
    std::vector<Hosted> Controls;  // kept alive for a test when it needs no names
    NoticeCapture Notices;
};

}  // namespace control_test

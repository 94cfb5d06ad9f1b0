#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/automation/container.h"
#include "platform/automation/registration.h"
#include "platform/automation/registry.h"

namespace platform {
// Readable values in failure messages.
inline void PrintTo(const Variant& value, std::ostream* out) {
    *out << TypeName(value.Vt()) << " " << value.ToDisplayString();
}
}  // namespace platform

// Every test gets a registry file of its own in a fresh temporary folder.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/automation-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Folder = pattern;
        RegistryFile = Folder + "/registry";
        platform::SetRegistryPath(RegistryFile);
    }
    void TearDown() override {
        platform::SetRegistryPath("");
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }

    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void WriteFile(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    std::string Folder;
    std::string RegistryFile;
};

// The sample module registered in the test's registry and kept loaded.
class SampleTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        std::string error;
        Module = platform::LoadedModule::Load(SAMPLE_MODULE, &error);
        ASSERT_TRUE(Module) << error;
        ASSERT_EQ(Module->RegisterServer(), platform::S_OK) << platform::AfxOleRegistrationError();
    }
    void TearDown() override {
        Module.reset();
        RegistryTest::TearDown();
    }

    std::unique_ptr<platform::HostedControl> CreateSample() {
        std::string error;
        auto control = platform::HostedControl::Create("SAMPLE.SampleCtrl.1", &error);
        EXPECT_TRUE(control) << error;
        return control;
    }

    std::shared_ptr<platform::LoadedModule> Module;
};

// One event as a sink saw it: name, arguments as text, and the thread.
struct SeenEvent {
    std::string Name;
    std::vector<std::string> Args;
    platform::DWORD Thread = 0;
};

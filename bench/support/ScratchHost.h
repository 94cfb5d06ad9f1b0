#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "platform/automation/container.h"
#include "platform/automation/registration.h"
#include "platform/automation/registry.h"

// What a benchmark that hosts a control needs around it: a scratch folder
// with a registry of its own, and the control's module registered there and
// kept loaded. Everything goes again with the object.
class ScratchHost {
public:
    ScratchHost() = default;
    ~ScratchHost() {
        Module.reset();
        if (Folder.empty()) return;
        platform::SetRegistryPath("");
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
    ScratchHost(const ScratchHost&) = delete;
    ScratchHost& operator=(const ScratchHost&) = delete;

    // Makes /tmp/<prefix>-XXXXXX and registers module there. False with error set.
    bool Start(const std::string& prefix, const std::string& module, std::string& error) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            error = "cannot make a scratch folder in /tmp";
            return false;
        }
        Folder = pattern;
        platform::SetRegistryPath(Folder + "/registry");
        Module = platform::LoadedModule::Load(module, &error);
        if (!Module || Module->RegisterServer() != platform::S_OK) {
            error = "the module does not register: " + error + platform::AfxOleRegistrationError();
            return false;
        }
        return true;
    }

    const std::string& Path() const noexcept { return Folder; }

private:
    std::string Folder;
    std::shared_ptr<platform::LoadedModule> Module;
};

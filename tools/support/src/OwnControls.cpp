#include "tools/OwnControls.h"

#include <sys/stat.h>

#include "platform/automation/registration.h"
#include "platform/automation/registry.h"

namespace tool_support {
namespace {

bool FileExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Whether the registry lacks the control, or names a module file that is gone.
bool Unregistered(const char* progId) {
    platform::Registry registry;
    if (!platform::ReadRegistry(registry, nullptr)) return false;  // a corrupt registry is not ours to rewrite
    const platform::ClassRegistration* entry = registry.FindProgId(progId);
    return !entry || !FileExists(entry->ModulePath);
}

bool Register(const OwnModule& own, std::string& why) {
    const std::string installed = platform::FindInstalledModule(own.InstalledName);
    const std::string path = installed.empty() ? std::string(own.BuiltPath) : installed;
    std::string error;
    auto module = platform::LoadedModule::Load(path, &error);
    if (!module) {
        why = error;
        return false;
    }
    if (const platform::HRESULT result = module->RegisterServer(); result != platform::S_OK) {
        why = "registering " + path + " failed (" + platform::DescribeResult(result) +
              "): " + platform::AfxOleRegistrationError();
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<platform::HostedControl> MakeOwnControl(const char* progId, const OwnModule& module, std::string& why) {
    std::string error;
    auto control = platform::HostedControl::Create(progId, &error);
    if (!control && Unregistered(progId)) {
        if (!Register(module, why)) return nullptr;
        control = platform::HostedControl::Create(progId, &error);
    }
    if (!control) why = error;
    return control;
}

}  // namespace tool_support

#pragma once

#include <memory>
#include <string>

#include "platform/automation/container.h"

// A tool that hosts the controls of its own project's module makes them the
// way any host does, by ProgID through the registry, and registers its module
// there first when the registry does not serve the control.
namespace tool_support {

// The tool's module: the one installed beside the platform libraries under
// `installedName` (platform::FindInstalledModule), or else the file it was
// built with.
struct OwnModule {
    const char* InstalledName;
    const char* BuiltPath;
};

// The control `progId`, made through the registry. When the registry lacks
// it, or names a module file that is gone, the tool's own module is
// registered there and the control made again; a registry that cannot be
// read is left alone. nullptr with `why` set when there is still no control.
std::unique_ptr<platform::HostedControl> MakeOwnControl(const char* progId, const OwnModule& module, std::string& why);

}  // namespace tool_support

#pragma once

#include "platform/automation/module.h"

namespace platform {

// The type library `libId` that `module` declares, or null.
const TypeLibResource* FindTypeLibResource(HINSTANCE module, REFGUID libId);

}  // namespace platform

namespace platform {

// The ProgID of the factory of `module` that makes `clsid`, "" if none.
std::string ProgIdOfClass(HINSTANCE module, const CLSID& clsid);

}  // namespace platform

#include "Display.h"

#include <pybind11/pybind11.h>

#include <cstring>

#include "Values.h"
#include "platform/window/host.h"
#include "platform/window/x11.h"

using namespace platform;

namespace ocx {

bool DisplayInUse() noexcept { return std::strcmp(host::Backend().Name(), "x11") == 0; }

void UseDisplay(const std::optional<std::string>& name) {
    if (DisplayInUse()) return;
    std::string error;
    bool installed = false;
    {
        pybind11::gil_scoped_release unlocked;  // connecting may wait on a slow server
        auto backend = MakeX11Backend(name.value_or("").c_str(), &error);
        installed = backend && host::InstallBackend(std::move(backend));
    }
    if (!installed && !error.empty()) RaiseControlError(E_FAIL, error, "UseDisplay");
    if (!installed) {
        RaiseControlError(E_UNEXPECTED, "the display must be chosen before the first control is made", "UseDisplay");
    }
}

}  // namespace ocx

// ocx-register: registers a control module's classes and type library in the
// registry file, or removes them again with -u.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/automation/container.h"
#include "platform/automation/registration.h"
#include "platform/automation/registry.h"

namespace {

using namespace platform;

enum ExitCode { kOk = 0, kUsage = 1, kNotAModule = 2, kRegistrationFailed = 3 };

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: ocx-register [-u] [--registry FILE] MODULE.so|NAME\n"
                 "\n"
                 "Registers the control classes, property pages and type library of a\n"
                 "control module (by calling its DllRegisterServer), or removes them with -u\n"
                 "(DllUnregisterServer). Hosts then create the controls by ProgID. A NAME\n"
                 "that is no file here is a module installed in\n"
                 "%s (NAME.so).\n"
                 "\n"
                 "Options:\n"
                 "  -u, --unregister   remove the module's registration\n"
                 "  --registry FILE    use this registry file instead of the default\n"
                 "                     (%s)\n"
                 "  -h, --help         show this help\n"
                 "\n"
                 "Exit status: 0 done, 1 bad usage, 2 not a loadable control module,\n"
                 "3 the module's registration failed.\n",
                 InstalledModuleFolder().c_str(), DefaultRegistryPath().c_str());
}

const char* KindName(ClassRegistration::Kind kind) {
    switch (kind) {
        case ClassRegistration::Kind::Control: return "control";
        case ClassRegistration::Kind::PropertyPage: return "property page";
        case ClassRegistration::Kind::Object: return "class";
    }
    return "class";
}

std::string Describe(const ClassRegistration& entry) {
    std::string text = std::string(KindName(entry.ClassKind)) + " ";
    if (!entry.ProgId.empty()) text += entry.ProgId + " ";
    text += entry.Clsid.ToString();
    if (!entry.TypeName.empty()) text += " \"" + entry.TypeName + "\"";
    return text;
}

std::string Describe(const TypeLibraryDescription& library) {
    return "type library " + library.Name + " " + std::to_string(library.Major) + "." + std::to_string(library.Minor) +
           " " + library.LibId.ToString();
}

// What `after` holds that `before` does not, as lines.
std::vector<std::string> Added(const Registry& before, const Registry& after) {
    std::vector<std::string> lines;
    for (const auto& entry : after.Classes()) {
        const ClassRegistration* old = before.FindClass(entry.Clsid);
        if (!old || old->ModulePath != entry.ModulePath || old->ProgId != entry.ProgId) {
            lines.push_back(Describe(entry));
        }
    }
    for (const auto& library : after.TypeLibs()) {
        if (!before.FindTypeLib(library.LibId, library.Major)) lines.push_back(Describe(library));
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    std::string module;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return kOk;
        }
        if (arg == "-u" || arg == "--unregister") {
            unregister = true;
        } else if (arg == "--registry") {
            if (++i == argc) {
                std::fprintf(stderr, "ocx-register: --registry needs a file name\n");
                return kUsage;
            }
            SetRegistryPath(argv[i]);
        } else if (arg.rfind("--registry=", 0) == 0) {
            SetRegistryPath(arg.substr(11));
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "ocx-register: unknown option %s (see --help)\n", arg.c_str());
            return kUsage;
        } else if (!module.empty()) {
            std::fprintf(stderr, "ocx-register: one module at a time (see --help)\n");
            return kUsage;
        } else {
            module = arg;
        }
    }
    if (module.empty()) {
        PrintUsage(stderr);
        return kUsage;
    }

    // The registry records the module by its absolute path, and dlopen must
    // not go searching the library path for a bare name.
    struct stat info {};
    if (module.find('/') == std::string::npos && ::stat(module.c_str(), &info) != 0) {
        if (std::string installed = FindInstalledModule(module); !installed.empty()) module = installed;
    }
    char real[PATH_MAX];
    if (::stat(module.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !::realpath(module.c_str(), real)) {
        std::fprintf(stderr, "ocx-register: %s: no such module file, nor a module installed in %s\n", module.c_str(),
                     InstalledModuleFolder().c_str());
        return kNotAModule;
    }
    module = real;

    Registry before;
    std::string error;
    if (!ReadRegistry(before, &error)) {
        std::fprintf(stderr, "ocx-register: %s\n", error.c_str());
        return kRegistrationFailed;
    }
    auto loaded = LoadedModule::Load(module, &error);
    if (!loaded) {
        std::fprintf(stderr, "ocx-register: %s\n", error.c_str());
        return kNotAModule;
    }
    const char* exportName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    HRESULT hr = unregister ? loaded->UnregisterServer() : loaded->RegisterServer();
    if (hr == E_NOTIMPL) {
        std::fprintf(stderr, "ocx-register: %s exports no %s\n", module.c_str(), exportName);
        return kNotAModule;
    }
    if (FAILED(hr)) {
        std::string why = AfxOleRegistrationError();
        std::fprintf(stderr, "ocx-register: %s in %s failed: %s%s%s\n", exportName, module.c_str(),
                     DescribeResult(hr).c_str(), why.empty() ? "" : ": ", why.c_str());
        return kRegistrationFailed;
    }

    Registry after;
    if (!ReadRegistry(after, &error)) {
        std::fprintf(stderr, "ocx-register: %s\n", error.c_str());
        return kRegistrationFailed;
    }
    std::vector<std::string> changes = unregister ? Added(after, before) : Added(before, after);
    std::printf("%s %s in %s\n", unregister ? "Unregistered" : "Registered", module.c_str(), GetRegistryPath().c_str());
    if (changes.empty()) {
        std::printf(unregister ? "  (nothing of it was registered)\n" : "  (no changes)\n");
    }
    for (const std::string& line : changes) std::printf("  %s\n", line.c_str());
    return kOk;
}

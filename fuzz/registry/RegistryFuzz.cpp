// Feeds arbitrary text to the registry reader. A registry it accepts must
// come back unchanged through its own text form: a rewrite the reader then
// refused, or one that changed what it says, would corrupt a user's registry
// on the next registration. A crash, a sanitizer report, a refusal without a
// line or a rewrite that does not read back is a find.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/automation/registry.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "registry fuzz: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::Registry registry;
    std::string error;
    if (!platform::Registry::Parse(text, "fuzz", registry, &error)) {
        if (error.rfind("fuzz line ", 0) != 0 && error.rfind("fuzz: ", 0) != 0)
            Fail("a refusal without a line: " + error);
        return 0;
    }
    const std::string written = registry.ToText();
    platform::Registry back;
    if (!platform::Registry::Parse(written, "rewrite", back, &error)) Fail("the rewrite is refused: " + error);
    if (back.ToText() != written) Fail("the rewrite reads back differently");
    for (const platform::ClassRegistration& entry : back.Classes()) {
        platform::ClassTypeInfo info;
        back.DescribeClass(entry.Clsid, info, &error);
        if (!entry.ProgId.empty() && back.FindProgId(entry.ProgId) == nullptr)
            Fail("a ProgID is lost: " + entry.ProgId);
    }
    return 0;
}

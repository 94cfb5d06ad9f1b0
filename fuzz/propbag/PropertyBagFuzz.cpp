// Feeds arbitrary text to the property bag reader, then loads every entry it
// kept as each persisted type. What the bag keeps must come back unchanged
// through its own text form, and every warning must be one short line of
// printable text. A crash, a sanitizer report, a rewrite that reads back
// differently or with warnings, or a raw or runaway warning is a find.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/propexchange.h"

namespace {

// Room for a line number, two cut and escaped excerpts and their words.
constexpr std::size_t kLongestWarning = 1024;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "property bag fuzz: %s\n", what.c_str());
    std::abort();
}

void CheckWarnings(const std::vector<std::string>& issues) {
    for (const std::string& issue : issues) {
        if (issue.size() > kLongestWarning) Fail("a warning of " + std::to_string(issue.size()) + " bytes");
        for (const char c : issue) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) Fail("a raw control character in: " + issue);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> issues;
    platform::PropertyBag bag = platform::PropertyBag::Parse(text, &issues);
    CheckWarnings(issues);

    std::vector<std::string> again;
    platform::PropertyBag back = platform::PropertyBag::Parse(bag.ToText("header"), &again);
    if (!again.empty()) Fail("the rewrite gives warnings: " + again.front());
    if (back.Names() != bag.Names()) Fail("the rewrite has other names");
    for (const std::string& name : bag.Names()) {
        if (*back.Find(name) != *bag.Find(name)) Fail("the rewrite changes " + name);
    }

    issues.clear();
    platform::CPropExchange px(platform::CPropExchange::Mode::Load, &bag, &issues);
    platform::DWORD version = 0;
    px.ExchangeVersion(version, 0x00010000, TRUE);
    for (const std::string& name : bag.Names()) {
        platform::BOOL flag = 0;
        std::int32_t number = 0;
        double real = 0;
        platform::OLE_COLOR colour = 0;
        std::string string;
        platform::PX_Bool(&px, name, flag, FALSE);
        platform::PX_Long(&px, name, number, 0);
        platform::PX_Double(&px, name, real, 0.0);
        platform::PX_Color(&px, name, colour, 0);
        platform::PX_String(&px, name, string, "");
    }
    CheckWarnings(issues);
    return 0;
}

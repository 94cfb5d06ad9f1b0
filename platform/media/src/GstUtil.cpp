#include "GstUtil.h"

#include <algorithm>
#include <mutex>

namespace platform::media::detail {

bool EnsureGstreamer() noexcept {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        GError* error = nullptr;
        started = gst_init_check(nullptr, nullptr, &error);
        ErrorPtr owned(error);
    });
    return started;
}

GstElement* MakeElement(const char* factory, const char* name) noexcept {
    return factory ? gst_element_factory_make(factory, name) : nullptr;
}

void CopyName(char16_t (&target)[128], std::u16string_view name) noexcept {
    const std::size_t count = std::min<std::size_t>(name.size(), 127);
    std::copy_n(name.data(), count, target);
    target[count] = u'\0';
}

std::string LastPathPart(const std::string& uri) {
    const auto slash = uri.find_last_of('/');
    return slash == std::string::npos ? uri : uri.substr(slash + 1);
}

}  // namespace platform::media::detail

#pragma once

#include <gst/pbutils/pbutils.h>

#include <atomic>
#include <chrono>
#include <string>

#include "GstUtil.h"
#include "platform/media/media.h"

namespace platform::media::detail {

// When a RenderFile must give up: when the graph's abort generation moves on
// from the one it started in, or at its deadline.
struct RenderCutoff {
    const std::atomic<unsigned>* Generation = nullptr;
    unsigned StartedAt = 0;
    std::chrono::steady_clock::time_point Deadline;

    bool Aborted() const noexcept;
    // S_OK to go on; E_ABORT once aborted; VFW_E_TIMEOUT once the deadline passed.
    HRESULT Status() const noexcept;
};

// Finds the streams of uri. S_OK with info; E_ABORT or VFW_E_TIMEOUT when the
// cutoff came first; VFW_E_NOT_FOUND, VFW_E_UNSUPPORTED_STREAM or
// VFW_E_CANNOT_RENDER for what cannot be played.
HRESULT Discover(const std::string& uri, const RenderCutoff& cutoff, GObjectPtr<GstDiscovererInfo>& info);

}  // namespace platform::media::detail

#pragma once

#include <mutex>
#include <optional>

#include "platform/gdi/cairo_interop.h"
#include "platform/window/window.h"

namespace platform::detail {

// One window's pixels as every backend keeps them: a surface the owner thread
// draws into, and the picture presented from it at the end of each drawing,
// which any thread may read. A display backend copies the presented picture
// on to the screen.
class PixelBuffer {
public:
    explicit PixelBuffer(SIZE size) : Width(size.cx), Height(size.cy), ShownWidth(size.cx), ShownHeight(size.cy) {}

    // Owner thread. A new size keeps the pixels both sizes have in common; a
    // drawing in progress keeps its surface until it ends.
    void Resize(SIZE size);

    // Owner thread, paired as WindowPeer::BeginDraw and EndDraw. presented
    // runs with the area copied into the picture and the picture, under the
    // lock that Read takes, so whatever it sends on is in the order of the
    // pictures.
    cairo_surface_t* BeginDraw();
    template <class Presented>
    void EndDraw(const RECT& damage, Presented&& presented);
    void EndDraw(const RECT& damage) {
        EndDraw(damage, [](const RECT&, Image&) {});
    }

    // Any thread: a copy of the presented picture (black at the window's size
    // before anything was presented).
    Image Snapshot() const;

    // Any thread: calls read(picture) under the picture's lock. The picture is
    // empty before anything was presented.
    template <class Reader>
    void Read(Reader&& read) const {
        std::lock_guard lock(FrontLock);
        read(Front);
    }

private:
    // Copies the drawn area into the picture; FrontLock held. Returns the area.
    RECT Present(const RECT& damage);
    void ResizeNow(SIZE size);

    // Owner thread only.
    SurfacePtr Back;
    int Width;
    int Height;
    int Depth = 0;
    std::optional<SIZE> Pending;

    // Read by any thread.
    mutable std::mutex FrontLock;
    Image Front;
    int ShownWidth;
    int ShownHeight;
};

template <class Presented>
void PixelBuffer::EndDraw(const RECT& damage, Presented&& presented) {
    if (Back) {
        std::lock_guard lock(FrontLock);
        const RECT area = Present(damage);
        if (!IsRectEmpty(area)) presented(area, Front);
    }
    if (Depth > 0 && --Depth == 0 && Pending) {
        const SIZE size = *Pending;
        Pending.reset();
        ResizeNow(size);
    }
}

}  // namespace platform::detail

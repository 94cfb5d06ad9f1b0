#include "platform/notice/notice.h"

#include <cstdio>

namespace platform {
namespace {

std::mutex& HandlerLock() {
    static std::mutex lock;
    return lock;
}

NoticeHandler& CurrentHandler() {
    static NoticeHandler handler;
    return handler;
}

void WriteToStandardError(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace

void ShowNotice(std::string_view text) noexcept {
    try {
        NoticeHandler handler;
        {
            std::lock_guard guard(HandlerLock());
            handler = CurrentHandler();
        }
        // The handler runs outside the lock so that it may itself show or
        // replace handlers without deadlocking.
        if (handler) {
            handler(text);
        } else {
            WriteToStandardError(text);
        }
    } catch (...) {
        WriteToStandardError(text);
    }
}

NoticeHandler SetNoticeHandler(NoticeHandler handler) {
    std::lock_guard guard(HandlerLock());
    NoticeHandler previous = std::move(CurrentHandler());
    CurrentHandler() = std::move(handler);
    return previous;
}

NoticeCapture::NoticeCapture() : Captured(std::make_shared<Store>()) {
    Previous = SetNoticeHandler([store = Captured](std::string_view text) {
        std::lock_guard guard(store->Lock);
        store->Texts.emplace_back(text);
    });
}

NoticeCapture::~NoticeCapture() { SetNoticeHandler(std::move(Previous)); }

std::vector<std::string> NoticeCapture::Texts() const {
    std::lock_guard guard(Captured->Lock);
    return Captured->Texts;
}

std::size_t NoticeCapture::Count() const {
    std::lock_guard guard(Captured->Lock);
    return Captured->Texts.size();
}

void NoticeCapture::Clear() {
    std::lock_guard guard(Captured->Lock);
    Captured->Texts.clear();
}

}  // namespace platform

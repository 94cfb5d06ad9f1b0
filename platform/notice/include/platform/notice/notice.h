#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The message-box stand-in. Library code never prints: a text the user must
// see goes through ShowNotice, and the host decides where it lands. Without a
// handler the text goes to standard error, one line per notice.
namespace platform {

using NoticeHandler = std::function<void(std::string_view text)>;

// Shows one notice, synchronously, on the calling thread. Safe from any thread;
// never throws. Not for the 2 ms playback step (it may block on the handler).
void ShowNotice(std::string_view text) noexcept;

// Installs a handler and returns the previous one. An empty handler restores
// the default (standard error).
NoticeHandler SetNoticeHandler(NoticeHandler handler);

// Collects every notice shown while it lives, instead of printing it; restores
// the previous handler when it goes. For tests and for hosts that batch texts.
class NoticeCapture {
public:
    NoticeCapture();
    ~NoticeCapture();
    NoticeCapture(const NoticeCapture&) = delete;
    NoticeCapture& operator=(const NoticeCapture&) = delete;

    std::vector<std::string> Texts() const;
    std::size_t Count() const;
    void Clear();

private:
    // Shared with the installed handler: a thread that took the handler just
    // before the capture ended still writes into live memory.
    struct Store {
        std::mutex Lock;
        std::vector<std::string> Texts;
    };
    std::shared_ptr<Store> Captured;
    NoticeHandler Previous;
};

}  // namespace platform

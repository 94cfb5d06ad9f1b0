#pragma once

#include <cstdint>
#include <vector>

// What the capture device (device 1) recorded, for hosts and tests that want
// the messages without going through files.
namespace platform {

struct CapturedMessage {
    // Nanoseconds since the device opened, on the clock it was opened with.
    std::int64_t TimeNs = 0;
    // The message as sent: the 1 to 3 bytes of a short message, or every
    // byte of a long one.
    std::vector<std::uint8_t> Bytes;
    bool Long = false;
};

// The messages of the capture device that is open, or of the last one that
// closed, in time order. Long messages appear once the device is done with
// them. Safe while the device is in use.
std::vector<CapturedMessage> CapturedMessages();

// Messages lost because the recording could not grow fast enough (0 normally).
std::uint64_t CapturedMessagesDropped();

// For tests of code that waits for long messages: while holding, the capture
// device keeps each long message queued (no MHDR_DONE, no MOM_DONE) until it
// is released. Holding applies to the open device and to later ones until it
// is switched off; switching it off releases everything held.
void HoldCaptureCompletions(bool hold);
// Finishes up to count held long messages, oldest first. Returns how many
// were released (0 when no capture device is open).
int ReleaseCaptureCompletions(int count);
// Long messages the capture device has queued and not finished.
int QueuedCaptureMessages();

}  // namespace platform

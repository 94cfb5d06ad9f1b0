#include <cstdarg>

// error.h declares snd_lib_error_set_local outside its extern "C" block.
extern "C" {
#include <alsa/asoundlib.h>
}

#include <RtMidi.h>

#include <memory>
#include <string>

#include "devices.h"

namespace platform::midi {
namespace {

void SilentAlsaError(const char*, int, const char*, int, const char*, va_list) {}

// RtMidi prints its errors before it throws them; asking the sequencer
// first, with ALSA's messages silenced on this thread, keeps a machine
// without one quiet.
bool SequencerAvailable() noexcept {
    snd_local_error_handler_t previous = snd_lib_error_set_local(&SilentAlsaError);
    snd_seq_t* seq = nullptr;
    int rc = snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK);
    if (rc == 0) {
        snd_seq_close(seq);
    }
    snd_lib_error_set_local(previous);
    return rc == 0;
}

struct ErrorText {
    std::string Text;
};

void KeepError(RtMidiError::Type type, const std::string& text, void* data) {
    if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING) {
        static_cast<ErrorText*>(data)->Text = text;
    }
}

std::unique_ptr<RtMidiOut> MakeClient(ErrorText& error) {
    if (!SequencerAvailable()) {
        error.Text = "There is no MIDI sequencer on this system";
        return nullptr;
    }
    try {
        auto out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, "orvalis");
        out->setErrorCallback(&KeepError, &error);
        return out;
    } catch (const RtMidiError& e) {
        error.Text = e.getMessage();
    } catch (...) {
        error.Text = "The MIDI sequencer could not be opened";
    }
    return nullptr;
}

class RtMidiConnection final : public MidiPortConnection {
public:
    RtMidiConnection(std::unique_ptr<ErrorText> error, std::unique_ptr<RtMidiOut> out)
        : Error(std::move(error)), Out(std::move(out)) {}

    bool Send(const std::uint8_t* bytes, std::size_t length) noexcept override {
        Error->Text.clear();
        try {
            Out->sendMessage(bytes, length);
        } catch (...) {
            return false;
        }
        return Error->Text.empty();
    }

private:
    std::unique_ptr<ErrorText> Error;
    std::unique_ptr<RtMidiOut> Out;
};

class RtMidiBackend final : public MidiPortBackend {
public:
    std::vector<std::string> PortNames() noexcept override {
        std::vector<std::string> names;
        try {
            ErrorText error;
            auto out = MakeClient(error);
            if (!out) {
                return names;
            }
            unsigned count = out->getPortCount();
            for (unsigned i = 0; i < count; ++i) {
                names.push_back(out->getPortName(i));
            }
        } catch (...) {
            names.clear();
        }
        return names;
    }

    std::unique_ptr<MidiPortConnection> Open(std::size_t index, std::string& error) noexcept override {
        try {
            auto text = std::make_unique<ErrorText>();
            auto out = MakeClient(*text);
            if (!out) {
                error = text->Text;
                return nullptr;
            }
            out->openPort(static_cast<unsigned>(index), "orvalis output");
            if (!text->Text.empty() || !out->isPortOpen()) {
                error = text->Text.empty() ? "The MIDI port could not be opened" : text->Text;
                return nullptr;
            }
            return std::make_unique<RtMidiConnection>(std::move(text), std::move(out));
        } catch (const RtMidiError& e) {
            error = e.getMessage();
        } catch (...) {
            error = "The MIDI port could not be opened";
        }
        return nullptr;
    }
};

}  // namespace

std::shared_ptr<MidiPortBackend> MakeSystemPortBackend() { return std::make_shared<RtMidiBackend>(); }

}  // namespace platform::midi

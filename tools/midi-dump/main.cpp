#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <streambuf>

#include "MidiDump.h"

namespace {

// The event dump ends every line with std::endl. On a terminal or a pipe that
// would be one write per line; this buffer writes when full and at the end.
class StandardOutput : public std::streambuf {
public:
    StandardOutput() { setp(Buffer, Buffer + sizeof Buffer); }
    ~StandardOutput() override { Drain(); }
    StandardOutput(const StandardOutput&) = delete;
    StandardOutput& operator=(const StandardOutput&) = delete;

    bool Drain() {
        const char* p = pbase();
        while (p < pptr()) {
            const ssize_t written = ::write(STDOUT_FILENO, p, static_cast<std::size_t>(pptr() - p));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                Failed = true;
                break;
            }
            p += written;
        }
        setp(Buffer, Buffer + sizeof Buffer);
        return !Failed;
    }

protected:
    int_type overflow(int_type c) override {
        if (!Drain()) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    // Flushes from std::endl land here; the data goes out when the buffer fills.
    int sync() override { return Failed ? -1 : 0; }

private:
    char Buffer[1 << 16];
    bool Failed = false;
};

}  // namespace

int main(int argc, char** argv) {
    StandardOutput buffer;
    std::ostream out(&buffer);
    int status = mididump::Run(argc, argv, out, std::cerr);
    if (!buffer.Drain() && status == 0) {
        std::cerr << "midi-dump: cannot write the output\n";
        status = 1;
    }
    return status;
}

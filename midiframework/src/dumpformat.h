#pragma once

#include <ios>

namespace MIDI::detail {

// The dump is defined in the stream's default formatting (decimal, no width,
// general notation with 6 significant digits). A caller may have left the
// stream in hex or fixed mode; this puts the defaults in place for one
// operator call and gives the caller's settings back afterwards.
class DefaultFormat {
public:
    explicit DefaultFormat(std::ios_base& stream)
        : Stream(stream), Flags(stream.flags()), Precision(stream.precision()) {
        Stream.flags(std::ios_base::dec | std::ios_base::skipws);
        Stream.precision(6);
        Stream.width(0);
    }
    ~DefaultFormat() {
        Stream.flags(Flags);
        Stream.precision(Precision);
    }
    DefaultFormat(const DefaultFormat&) = delete;
    DefaultFormat& operator=(const DefaultFormat&) = delete;

private:
    std::ios_base& Stream;
    std::ios_base::fmtflags Flags;
    std::streamsize Precision;
};

}  // namespace MIDI::detail

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "filetypes.h"
#include "platform/file/file.h"

namespace platform {
namespace {

constexpr std::size_t kFirstStreamBuffer = std::size_t{64} * 1024;

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : Fd(fd) {}
    ~Descriptor() {
        if (Fd >= 0) ::close(Fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const noexcept { return Fd; }

private:
    int Fd;
};

bool IsStream(mode_t mode) { return S_ISFIFO(mode) || S_ISCHR(mode); }

// Reads up to want bytes; fewer only at the end of the input.
bool ReadUpTo(int fd, std::uint8_t* into, std::size_t want, std::size_t& got, int& failure) {
    got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, into + got, want - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string DescribeSize(std::uint64_t bytes) {
    constexpr std::uint64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    if (bytes >= kGiB && bytes % kGiB == 0) return std::to_string(bytes / kGiB) + " GiB";
    if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
    if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

bool ReadFileBytes(const std::string& path, const ReadLimits& limits, FileBytes& bytes, ReadFailure& failure) {
    auto fail = [&](ReadProblem problem, int systemError, std::string reason, const char* verb = "cannot read ") {
        failure.Problem = problem;
        failure.SystemError = systemError;
        failure.Reason = std::move(reason);
        failure.Text = verb + path + ": " + failure.Reason;
        return false;
    };
    const bool streams = limits.MaxStreamBytes > 0;
    try {
        failure = ReadFailure{};
        // The kind is known before opening, so that a FIFO nobody may read
        // is refused instead of waited on for a writer.
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !(streams && IsStream(info.st_mode))) {
            return fail(ReadProblem::NotRegular, 0,
                        std::string(detail::DescribeFileType(info.st_mode)) + ", not a regular file");
        }
        Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (file.Get() < 0) return fail(ReadProblem::Open, errno, std::strerror(errno), "cannot open ");
        if (::fstat(file.Get(), &info) != 0) return fail(ReadProblem::Read, errno, std::strerror(errno));
        if (!S_ISREG(info.st_mode) && !(streams && IsStream(info.st_mode))) {
            return fail(ReadProblem::NotRegular, 0,
                        std::string(detail::DescribeFileType(info.st_mode)) + ", not a regular file");
        }
        int error = 0;
        if (S_ISREG(info.st_mode) && info.st_size > 0) {
            const auto size = static_cast<std::uint64_t>(info.st_size);
            failure.ReportedSize = size;
            if (size > limits.MaxBytes) {
                return fail(ReadProblem::TooLarge, 0,
                            "it is larger than the " + DescribeSize(limits.MaxBytes) + " limit");
            }
            std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[size]);
            if (!data) return fail(ReadProblem::OutOfMemory, 0, "out of memory");
            std::size_t got = 0;
            if (!ReadUpTo(file.Get(), data.get(), size, got, error)) {
                return fail(ReadProblem::Read, error, std::strerror(error));
            }
            if (got != size) {
                return fail(ReadProblem::Read, 0,
                            "it ended after " + std::to_string(got) + " of its " + std::to_string(size) +
                                " bytes (it changed while it was read)");
            }
            bytes.Data = std::move(data);
            bytes.Size = got;
            return true;
        }
        // A pipe, a device, or a file that reports no size: to its end, and
        // never past the limit.
        const std::uint64_t limit = S_ISREG(info.st_mode) ? limits.MaxBytes : limits.MaxStreamBytes;
        const std::string limitText = DescribeSize(limit);
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t capacity = 0, size = 0;
        for (;;) {
            if (size == capacity) {
                // One byte past the limit tells a file of exactly the limit from a longer one.
                const std::size_t grown = static_cast<std::size_t>(
                    std::min<std::uint64_t>(std::max<std::size_t>(kFirstStreamBuffer, capacity * 2), limit + 1));
                std::unique_ptr<std::uint8_t[]> larger(new (std::nothrow) std::uint8_t[grown]);
                if (!larger) return fail(ReadProblem::OutOfMemory, 0, "out of memory");
                if (size > 0) std::memcpy(larger.get(), data.get(), size);
                data = std::move(larger);
                capacity = grown;
            }
            std::size_t got = 0;
            if (!ReadUpTo(file.Get(), data.get() + size, capacity - size, got, error)) {
                return fail(ReadProblem::Read, error, std::strerror(error));
            }
            size += got;
            if (size > limit) {
                return fail(ReadProblem::TooLarge, 0, "it holds more than the " + limitText + " limit");
            }
            if (size < capacity) break;  // the end came first
        }
        bytes.Data = std::move(data);
        bytes.Size = size;
        return true;
    } catch (const std::bad_alloc&) {
        return fail(ReadProblem::OutOfMemory, 0, "out of memory");
    }
}

bool ReadRegularTextFile(const std::string& path, std::uint64_t maxBytes, std::string& content, std::string* error) {
    FileBytes bytes;
    ReadFailure failure;
    if (!ReadFileBytes(path, ReadLimits{maxBytes, 0}, bytes, failure)) {
        if (error) *error = failure.Text;
        return false;
    }
    content.assign(bytes.Text());
    return true;
}

}  // namespace platform

#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

namespace platform::detail {

namespace {

std::string Reason(int error) { return std::strerror(error); }

// The process's file creation mask, read without changing it: setting the
// mask to learn it would leave every other thread creating files unmasked
// for that moment. Where the kernel does not show it, the usual 022.
mode_t CreationMask() {
    std::string status;
    if (ReadWholeFile("/proc/self/status", status, nullptr)) {
        const auto at = status.find("\nUmask:");
        if (at != std::string::npos) {
            const char* digits = status.c_str() + at + 7;
            while (*digits == ' ' || *digits == '\t') ++digits;
            unsigned mask = 0;
            const auto [end, ec] = std::from_chars(digits, status.c_str() + status.size(), mask, 8);
            if (ec == std::errc() && end != digits) return static_cast<mode_t>(mask & 0777);
        }
    }
    return 022;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& content, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = "cannot open " + path + ": " + Reason(errno);
        return false;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            int saved = errno;
            ::close(fd);
            if (error) *error = "cannot read " + path + ": " + Reason(saved);
            return false;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    content = std::move(text);
    return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error) {
    std::string folder = ".";
    if (auto slash = path.find_last_of('/'); slash != std::string::npos) {
        folder = slash == 0 ? "/" : path.substr(0, slash);
    }
    std::string name = path.substr(path.find_last_of('/') + 1);
    std::string pattern = folder + "/." + name + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        if (error) *error = "cannot create a temporary file in " + folder + ": " + Reason(errno);
        return false;
    }
    auto failWith = [&](const std::string& what, int saved) {
        ::close(fd);
        ::unlink(temp.data());
        if (error) *error = what + ": " + Reason(saved);
        return false;
    };
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t put = ::write(fd, data, left);
        if (put < 0) {
            if (errno == EINTR) continue;
            return failWith("cannot write " + std::string(temp.data()), errno);
        }
        data += put;
        left -= static_cast<std::size_t>(put);
    }
    // mkstemp creates 0600; a saved file should get the usual permissions.
    ::fchmod(fd, 0666 & ~CreationMask());
    if (::fsync(fd) != 0) return failWith("cannot flush " + std::string(temp.data()), errno);
    if (::close(fd) != 0) {
        int saved = errno;
        ::unlink(temp.data());
        if (error) *error = "cannot close " + std::string(temp.data()) + ": " + Reason(saved);
        return false;
    }
    if (::rename(temp.data(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(temp.data());
        if (error) *error = "cannot replace " + path + ": " + Reason(saved);
        return false;
    }
    return true;
}

bool MakeFolders(const std::string& path, std::string* error) {
    if (path.empty()) return true;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (part.empty()) continue;
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create the folder " + part + ": " + Reason(errno);
            return false;
        }
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        if (error) *error = path + " is not a folder";
        return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) noexcept {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseMajorMinor(std::string_view text, std::uint16_t& major, std::uint16_t& minor) noexcept {
    text = Trim(text);
    const auto dot = text.find('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view parts[2] = {text.substr(0, dot), text.substr(dot + 1)};
    unsigned values[2] = {};
    for (int i = 0; i < 2; ++i) {
        const auto [end, ec] = std::from_chars(parts[i].data(), parts[i].data() + parts[i].size(), values[i]);
        if (parts[i].empty() || ec != std::errc() || end != parts[i].data() + parts[i].size() || values[i] > 0xFFFF)
            return false;
    }
    major = static_cast<std::uint16_t>(values[0]);
    minor = static_cast<std::uint16_t>(values[1]);
    return true;
}

}  // namespace platform::detail

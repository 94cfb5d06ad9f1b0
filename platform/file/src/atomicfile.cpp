#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "filetypes.h"
#include "platform/file/file.h"

namespace platform {
namespace {

constexpr int kMostLinks = 40;  // as the kernel allows in one path
constexpr int kNameTries = 100;

std::string Reason(int error) { return std::strerror(error); }

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// A name no file in folder has yet: ".NAME.XXXXXX", hidden beside the target.
std::string TemporaryName(const std::string& folder, const std::string& base) {
    thread_local std::mt19937_64 generator{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = folder + "/." + base + ".";
    for (int i = 0; i < 6; ++i) name += kLetters[generator() % (sizeof kLetters - 1)];
    return name;
}

bool WriteAll(int fd, const char* data, std::size_t size, int& failure) noexcept {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// A rename is only durable once the folder that holds it is flushed too;
// where the folder cannot be flushed the file is in place all the same.
void FlushFolder(const std::string& folder) noexcept {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool ResolveOutputPath(const std::string& path, std::string& resolved, std::string* error) {
    if (path.empty()) {
        if (error) *error = "an empty file name";
        return false;
    }
    std::string start = path;
    if (start.front() != '/') {
        std::vector<char> here(PATH_MAX + 1);
        if (!::getcwd(here.data(), here.size())) {
            if (error) *error = "cannot resolve " + path + ": " + Reason(errno);
            return false;
        }
        start = std::string(here.data()) + "/" + path;
    }
    std::deque<std::string> todo;
    auto push = [&todo](const std::string& text) {
        std::deque<std::string> parts;
        std::size_t from = 0;
        while (from <= text.size()) {
            const auto slash = text.find('/', from);
            const std::string part = text.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
            if (!part.empty() && part != ".") parts.push_back(part);
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
        todo.insert(todo.begin(), parts.begin(), parts.end());
    };
    push(start);
    std::string done;  // the resolved prefix; "" stands for the root
    int links = 0;
    while (!todo.empty()) {
        const std::string part = todo.front();
        todo.pop_front();
        if (part == "..") {
            done = done.substr(0, done.find_last_of('/') == std::string::npos ? 0 : done.find_last_of('/'));
            continue;
        }
        const std::string candidate = done + "/" + part;
        struct stat info {};
        if (::lstat(candidate.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            // Missing parts are kept as written: the open that follows says why.
            done = candidate;
            continue;
        }
        if (++links > kMostLinks) {
            if (error) *error = "cannot resolve " + path + ": " + Reason(ELOOP);
            return false;
        }
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = ::readlink(candidate.c_str(), target.data(), target.size() - 1);
        if (length < 0) {
            if (error) *error = "cannot resolve " + path + ": " + Reason(errno);
            return false;
        }
        const std::string link(target.data(), static_cast<std::size_t>(length));
        if (!link.empty() && link.front() == '/') done.clear();
        push(link);
    }
    resolved = done.empty() ? "/" : done;
    return true;
}

bool NameSameFile(const std::string& a, const std::string& b) noexcept {
    try {
        struct stat first {
        }, second{};
        const bool firstExists = ::stat(a.c_str(), &first) == 0;
        const bool secondExists = ::stat(b.c_str(), &second) == 0;
        if (firstExists && secondExists) return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
        if (firstExists != secondExists) return false;
        std::string left, right;
        return ResolveOutputPath(a, left, nullptr) && ResolveOutputPath(b, right, nullptr) && left == right;
    } catch (...) {
        return false;
    }
}

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Discard() noexcept {
    if (Fd >= 0) ::close(Fd);
    if (!TempPath.empty()) ::unlink(TempPath.c_str());
    Fd = -1;
    TempPath.clear();
    WriteErrno = 0;
}

bool AtomicFile::Open(const std::string& path, std::string* error) {
    Discard();
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        Discard();
        return false;
    };
    if (!ResolveOutputPath(path, TargetPath, error)) return false;
    struct stat info {};
    if (::stat(TargetPath.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            return fail("cannot write " + path + ": " + detail::DescribeFileType(info.st_mode) +
                        ", not a regular file; it is left as it is");
        }
        // Replacing needs only the folder's permission; a file its owner made
        // read-only stays unwritten, as an ordinary write would leave it.
        if (::access(TargetPath.c_str(), W_OK) != 0) return fail("cannot write " + path + ": " + Reason(errno));
    }
    const std::string folder = FolderOf(TargetPath);
    // A file without a name vanishes with the process if it dies before Commit.
    Fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (Fd >= 0) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return fail("cannot write " + path + ": " + Reason(errno));
    }
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        const std::string name = TemporaryName(folder, BaseOf(TargetPath));
        Fd = ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (Fd >= 0) {
            TempPath = name;
            return true;
        }
        if (errno != EEXIST) return fail("cannot write " + path + ": " + Reason(errno));
    }
    return fail("cannot write " + path + ": " + Reason(EEXIST));
}

bool AtomicFile::Write(const void* data, std::size_t size) noexcept {
    if (Fd < 0) return false;
    if (WriteErrno) return false;
    return WriteAll(Fd, static_cast<const char*>(data), size, WriteErrno);
}

bool AtomicFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) noexcept {
    if (Fd < 0 || WriteErrno) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::pwrite(Fd, bytes, size, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            WriteErrno = errno;
            return false;
        }
        bytes += put;
        offset += static_cast<std::uint64_t>(put);
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool AtomicFile::Commit(std::string* error) {
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        Discard();
        return false;
    };
    if (Fd < 0) return fail("cannot write " + TargetPath + ": the file was not opened");
    if (WriteErrno) return fail("cannot write " + TargetPath + ": " + Reason(WriteErrno));
    struct stat info {};
    if (::stat(TargetPath.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            return fail("cannot write " + TargetPath + ": " + detail::DescribeFileType(info.st_mode) +
                        ", not a regular file; it is left as it is");
        }
        // The owner first: a change of owner clears set-id bits the mode then puts back.
        if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
            if (::fchown(Fd, info.st_uid, info.st_gid) != 0) (void)::fchown(Fd, static_cast<uid_t>(-1), info.st_gid);
        }
        ::fchmod(Fd, info.st_mode & 07777);
    }
    if (::fsync(Fd) != 0) return fail("cannot write " + TargetPath + ": " + Reason(errno));
    const std::string folder = FolderOf(TargetPath);
    if (TempPath.empty()) {
        // Name the unnamed file beside the target, then rename it over.
        const std::string self = "/proc/self/fd/" + std::to_string(Fd);
        for (int attempt = 0; attempt < kNameTries && TempPath.empty(); ++attempt) {
            const std::string name = TemporaryName(folder, BaseOf(TargetPath));
            // Through /proc where it is mounted, else by the descriptor itself
            // (which the system allows only to privileged processes).
            int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
            if (linked != 0 && errno != EEXIST) linked = ::linkat(Fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
            if (linked == 0) {
                TempPath = name;
            } else if (errno != EEXIST) {
                return fail("cannot write " + TargetPath + ": " + Reason(errno));
            }
        }
        if (TempPath.empty()) return fail("cannot write " + TargetPath + ": " + Reason(EEXIST));
    }
    if (::rename(TempPath.c_str(), TargetPath.c_str()) != 0) {
        return fail("cannot replace " + TargetPath + ": " + Reason(errno));
    }
    TempPath.clear();
    ::close(Fd);  // the content is on disk already
    Fd = -1;
    FlushFolder(folder);
    return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error) {
    try {
        AtomicFile file;
        if (!file.Open(path, error)) return false;
        file.Write(content.data(), content.size());
        return file.Commit(error);
    } catch (const std::bad_alloc&) {
        if (error) *error = "out of memory while writing " + path;
        return false;
    }
}

}  // namespace platform

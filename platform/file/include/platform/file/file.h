#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Files as every writer and reader of the system treats them: a write never
// leaves half a file behind and never replaces what is not a plain file; a
// read never runs without a bound.
namespace platform {

// ---------------------------------------------------------------- writing

// One output file, written to the side and put in place whole.
//
// Open follows symbolic links to the file they name (the link stays, its
// target is replaced) and refuses a target that exists and is not a regular
// file (a device, a FIFO, a socket, a folder), leaving it alone. The content
// goes to a new file in the target's folder, without a name while the system
// allows it (else under a hidden temporary name). Commit flushes it to disk,
// gives it the mode and, where permitted, the owner of the file it replaces
// (a new file gets 0666 less the creation mask), and renames it over the
// target: readers see the old file or the new one, never a part of either.
// Without Commit (a failure, an object destroyed early, a process that dies)
// the target is as it was.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // discards an uncommitted file
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False, with error naming the file and the reason, when the target may
    // not be replaced or no file can be made beside it.
    bool Open(const std::string& path, std::string* error);
    // Appends; false once any write has failed (later writes do nothing).
    bool Write(const void* data, std::size_t size) noexcept;
    // Overwrites bytes already written (a header filled in at the end).
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size) noexcept;
    // Puts the file in place. False, with error set and the target left as it
    // was, when a write failed or the file cannot be flushed or renamed.
    bool Commit(std::string* error);
    // Drops what was written; the target stays as it was.
    void Discard() noexcept;

    bool IsOpen() const noexcept { return Fd >= 0; }
    // The file that Commit replaces: the path with its links followed.
    const std::string& Target() const noexcept { return TargetPath; }

private:
    int Fd = -1;
    std::string TargetPath;
    std::string TempPath;  // empty while the file has no name
    int WriteErrno = 0;
};

// Writes content through an AtomicFile. False with error set.
bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error);

// The file a write to path would replace: symbolic links followed (also a link
// whose target does not exist yet), relative paths made absolute, "." and ".."
// resolved. False with error for a loop or a path that cannot be followed.
bool ResolveOutputPath(const std::string& path, std::string& resolved, std::string* error);

// True when a and b name one file: the same file on disk when both exist (hard
// links and symbolic links included), else the same resolved path.
bool NameSameFile(const std::string& a, const std::string& b) noexcept;

// ---------------------------------------------------------------- reading

struct ReadLimits {
    // The most bytes read from a regular file; a longer one is refused.
    std::uint64_t MaxBytes = 0;
    // Pipes, FIFOs, terminals and character devices are read to their end,
    // refused when they hold more than this; 0: they are refused outright.
    // Folders, sockets and block devices are always refused.
    std::uint64_t MaxStreamBytes = 0;
};

enum class ReadProblem { None, Open, NotRegular, TooLarge, OutOfMemory, Read };

struct ReadFailure {
    ReadProblem Problem = ReadProblem::None;
    int SystemError = 0;  // errno for Open and Read, else 0
    // Names the file and says why, e.g. "cannot open /x: No such file or directory".
    std::string Text;
    // Why, without the file's name: the system's words ("No such file or
    // directory") or ours ("it is a FIFO", "it is longer than 16 MiB").
    std::string Reason;
    // The size a regular file reported, also when it could not be read whole.
    std::uint64_t ReportedSize = 0;
};

struct FileBytes {
    std::unique_ptr<std::uint8_t[]> Data;
    std::size_t Size = 0;
    std::string_view Text() const noexcept { return {reinterpret_cast<const char*>(Data.get()), Size}; }
};

// Reads a whole file within limits. A regular file is read to the size it
// reports (one that delivers less fails with Read); one that reports no size
// (as files under /proc do) is read to its end. False with failure set.
bool ReadFileBytes(const std::string& path, const ReadLimits& limits, FileBytes& bytes, ReadFailure& failure);

// The same for text files that must be regular: false with error set to the
// failure's Text.
bool ReadRegularTextFile(const std::string& path, std::uint64_t maxBytes, std::string& content, std::string* error);

// "16 MiB", "512 KiB", "100 bytes": how limits are named in messages.
std::string DescribeSize(std::uint64_t bytes);

}  // namespace platform

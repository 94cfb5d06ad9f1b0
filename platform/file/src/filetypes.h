#pragma once

#include <sys/stat.h>

// What the readers and the writer call a file that is not a regular one.
namespace platform::detail {

inline const char* DescribeFileType(mode_t mode) noexcept {
    if (S_ISDIR(mode)) return "it is a folder";
    if (S_ISCHR(mode)) return "it is a character device";
    if (S_ISBLK(mode)) return "it is a block device";
    if (S_ISFIFO(mode)) return "it is a pipe or FIFO";
    if (S_ISSOCK(mode)) return "it is a socket";
    if (S_ISREG(mode)) return "it is a regular file";
    return "it is not a regular file";
}

}  // namespace platform::detail

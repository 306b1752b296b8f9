#include "pkgdb/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velmara {

namespace {

constexpr size_t kReadChunk = 16384;

ReadResult unreadable(ReadFailure& failure, const std::string& path, int error) {
    failure.path = path;
    failure.error = error;
    return ReadResult::Unreadable;
}

}  // namespace

bool isAbsentError(int error) {
    return error == ENOENT || error == ENOTDIR;
}

ReadResult readTextFile(const std::string& path, std::string& contents, ReadFailure& failure,
                        size_t limit) {
    contents.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return isAbsentError(errno) ? ReadResult::Absent : unreadable(failure, path, errno);
    struct stat info;
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        return unreadable(failure, path, error);
    }
    ReadResult result = ReadResult::Read;
    char chunk[kReadChunk];
    while (!S_ISDIR(info.st_mode) && contents.size() < limit) {
        const ssize_t got = read(fd, chunk, std::min(sizeof chunk, limit - contents.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result = unreadable(failure, path, errno);
            break;
        }
        if (got == 0) break;
        contents.append(chunk, size_t(got));
    }
    close(fd);
    return result;
}

}  // namespace velmara

#include "vlpkg/content_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;

ContentSource::~ContentSource() {
    if (fd_ >= 0) close(fd_);
}

bool ContentSource::open(const Content& content) {
    content_ = &content;
    if (content.hostPath.empty()) {
        size_ = content.bytes.size();
        return true;
    }
    const char* path = content.hostPath.c_str();
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0)
        return fail("cannot read %s: %s", path, std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return fail("cannot read %s: not a regular file", path);
    size_ = uint64_t(info.st_size);
    return true;
}

bool ContentSource::forEachChunk(const std::function<bool(const void*, size_t)>& consume) {
    if (content_ == nullptr) return false;
    if (fd_ < 0) {
        const std::string& bytes = content_->bytes;
        for (size_t done = 0; done < bytes.size(); done += kChunkSize) {
            if (!consume(bytes.data() + done, std::min(kChunkSize, bytes.size() - done)))
                return false;
        }
        return true;
    }
    std::vector<uint8_t> chunk(kChunkSize);
    uint64_t done = 0;
    for (;;) {
        const ssize_t n = read(fd_, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            return fail("cannot read %s: %s", content_->hostPath.c_str(), std::strerror(errno));
        if (n == 0) break;
        done += uint64_t(n);
        // The size is already in the output; a file that grew would corrupt the package.
        if (done > size_) break;
        if (!consume(chunk.data(), size_t(n))) return false;
    }
    if (done != size_)
        return fail("cannot read %s: the file changed while it was read",
                    content_->hostPath.c_str());
    return true;
}

}  // namespace vlpkg

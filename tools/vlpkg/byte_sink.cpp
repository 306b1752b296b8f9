#include "vlpkg/byte_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "vlpkg/tool_report.h"

namespace vlpkg {

ByteSink::~ByteSink() = default;

bool StringSink::write(const void* data, size_t size) {
    bytes.append(static_cast<const char*>(data), size);
    return true;
}

bool StringSink::patch(uint64_t offset, const void* data, size_t size) {
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::memcpy(bytes.data() + offset, data, size);
    return true;
}

std::unique_ptr<std::istream> StringSink::readBack() {
    return std::make_unique<std::istringstream>(bytes);
}

FileSink::~FileSink() {
    discard();
}

bool FileSink::open(const std::string& target) {
    discard();
    target_ = target;
    temporary_ = target + ".XXXXXX";
    fd_ = mkstemp(temporary_.data());
    if (fd_ < 0) {
        const int error = errno;
        temporary_.clear();
        return fail("cannot create %s: %s", target.c_str(), std::strerror(error));
    }
    // mkstemp makes the file private; a package is an ordinary readable file.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd_, 0666 & ~mask) != 0) {
        const int error = errno;
        discard();
        return fail("cannot create %s: %s", target.c_str(), std::strerror(error));
    }
    buffer_.reserve(kBufferSize);
    written_ = 0;
    return true;
}

bool FileSink::write(const void* data, size_t size) {
    if (fd_ < 0) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const size_t step = std::min(size, kBufferSize - buffer_.size());
        buffer_.insert(buffer_.end(), bytes, bytes + step);
        bytes += step;
        size -= step;
        if (buffer_.size() == kBufferSize && !flush()) return false;
    }
    return true;
}

bool FileSink::flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            return fail("cannot write %s: %s", target_.c_str(), std::strerror(error));
        }
        done += size_t(n);
    }
    written_ += buffer_.size();
    buffer_.clear();
    return true;
}

bool FileSink::patch(uint64_t offset, const void* data, size_t size) {
    if (fd_ < 0 || offset + size > position()) return false;
    if (!flush()) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd_, bytes + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            return fail("cannot write %s: %s", target_.c_str(), std::strerror(error));
        }
        done += size_t(n);
    }
    return true;
}

std::unique_ptr<std::istream> FileSink::readBack() {
    if (fd_ < 0 || !flush()) return nullptr;
    auto in = std::make_unique<std::ifstream>(temporary_, std::ios::binary);
    if (!*in) return nullptr;
    return in;
}

bool FileSink::commit() {
    if (fd_ < 0) return false;
    if (!flush()) return false;
    if (fsync(fd_) != 0 || close(fd_) != 0) {
        const int error = errno;
        fd_ = -1;
        discard();
        return fail("cannot write %s: %s", target_.c_str(), std::strerror(error));
    }
    fd_ = -1;
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        discard();
        return fail("cannot create %s: %s", target_.c_str(), std::strerror(error));
    }
    temporary_.clear();
    return true;
}

void FileSink::discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
    buffer_.clear();
    written_ = 0;
}

}  // namespace vlpkg

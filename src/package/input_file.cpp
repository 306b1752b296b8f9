#include "package/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace velmara {

bool InputFile::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    adopt(fd);
    return true;
}

bool InputFile::isRegularFile() const {
    struct stat info;
    return buffer_ && fstat(buffer_->fd(), &info) == 0 && S_ISREG(info.st_mode);
}

void InputFile::adopt(int fd) {
    buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::in);
    stream_.rdbuf(buffer_.get());
}

}  // namespace velmara

#include "platform/flash_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace velmara {

namespace {
constexpr unsigned long kMinimumVersionRequest = 0xC0044626;
constexpr uint32_t kMinimumVersionKey = 0x00040025;
}  // namespace

uint32_t readBoardMinimumVersion() {
    const int fd = open("/dev/flash", O_RDWR);
    if (fd < 0) return 0;
    // The driver answers in the second word; a failed request leaves it 0.
    uint32_t words[2] = {kMinimumVersionKey, 0};
    (void)ioctl(fd, kMinimumVersionRequest, words);
    close(fd);
    return words[1];
}

}  // namespace velmara

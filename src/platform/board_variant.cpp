#include "platform/board_variant.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace velmara {

namespace {

// Register values are compared through masks: the low bits are the processor's revision.
constexpr uint32_t kRevisionMask = 0xFFFFFF00u;
constexpr uint32_t kSharedFamilyA = 0x80211000u;
constexpr uint32_t kSharedFamilyB = 0x80212100u;
constexpr uint32_t kVersionShift = 16;
constexpr uint32_t kVersionByteMask = 0xFF;
constexpr uint32_t kVersionTwoFirst = 0x20;
constexpr uint32_t kVersionTwoLast = 0x21;
constexpr uint32_t kVersionOneFirst = 0x83;
constexpr uint32_t kVersionOneLast = 0x85;
constexpr uint32_t kVersionThree = 0x1302;

constexpr uint8_t kVariantOne = 1;
constexpr uint8_t kVariantTwo = 2;
constexpr uint8_t kVariantThree = 3;
constexpr uint8_t kVariantFour = 4;

#if defined(__powerpc__) || defined(__PPC__)
uint32_t readProcessorVersion() {
    uint32_t value;
    // Linux lets user space read this register (it emulates the instruction where needed).
    __asm__ volatile("mfpvr %0" : "=r"(value));
    return value;
}

FlashVariantAnswer askFlashDevice() {
    FlashVariantAnswer answer;
    const int device = open(kFlashDevicePath, O_RDONLY);
    if (device < 0) return answer;
    answer.opened = true;
    answer.result = ioctl(device, kFlashVariantRequest, 0);
    close(device);
    return answer;
}
#endif

}  // namespace

bool needsFlashVariantRequest(uint32_t processorVersion) {
    const uint32_t family = processorVersion & kRevisionMask;
    return family == kSharedFamilyA || family == kSharedFamilyB;
}

BoardVariant variantFromRegister(uint32_t processorVersion, FlashVariantAnswer answer) {
    if (needsFlashVariantRequest(processorVersion)) {
        // Without a flash device to ask, the board counts as variant 4.
        if (!answer.opened) return kVariantFour;
        return (answer.result & kFlashVariantBit) != 0 ? kVariantTwo : kVariantFour;
    }
    const uint32_t version = (processorVersion >> kVersionShift) & kVersionByteMask;
    if (version == kVersionTwoFirst || version == kVersionTwoLast) return kVariantTwo;
    if (version >= kVersionOneFirst && version <= kVersionOneLast) return kVariantOne;
    if ((processorVersion >> kVersionShift) == kVersionThree) return kVariantThree;
    return std::nullopt;
}

BoardVariant boardVariant() {
#if defined(__powerpc__) || defined(__PPC__)
    // The board does not change while the process runs: ask the device once.
    static const BoardVariant variant = [] {
        const uint32_t processorVersion = readProcessorVersion();
        FlashVariantAnswer answer;
        if (needsFlashVariantRequest(processorVersion)) answer = askFlashDevice();
        return variantFromRegister(processorVersion, answer);
    }();
    return variant;
#else
    return std::nullopt;
#endif
}

}  // namespace velmara

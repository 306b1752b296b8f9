// Which of the board variants the router is: files in a package's container may be meant for
// one variant only. The code comes from the processor version register and, on two processor
// families that share several boards, from a request to the flash device.
#pragma once

#include <cstdint>
#include <optional>

namespace velmara {

// Variant codes are 1 to 4; a board without one installs only files meant for every board.
using BoardVariant = std::optional<uint8_t>;

constexpr const char* kFlashDevicePath = "/dev/flash";
// The flash device request that tells the two boards of a processor family apart.
constexpr unsigned long kFlashVariantRequest = 0x2000462Bul;
// Bit of the request's result that marks the second board; a failing request returns -1, in
// which the bit is set.
constexpr int32_t kFlashVariantBit = 0x10;

// What the flash device said: whether it opened, and the request's result when it did.
struct FlashVariantAnswer {
    bool opened = false;
    int32_t result = -1;
};

// Whether boards with this register value need the flash device request to be told apart.
[[nodiscard]] bool needsFlashVariantRequest(uint32_t processorVersion);

// The variant code for a register value and, where needsFlashVariantRequest, the device's
// answer (ignored otherwise).
[[nodiscard]] BoardVariant variantFromRegister(uint32_t processorVersion,
                                               FlashVariantAnswer answer);

// This board's variant. Only a PowerPC processor has the register; elsewhere there is none.
[[nodiscard]] BoardVariant boardVariant();

}  // namespace velmara

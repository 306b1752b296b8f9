// Little-endian field access for the package format. The router is big-endian, so fields are
// always assembled byte by byte, never copied as structs or integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlpkg {

inline void putLe16(uint8_t* out, uint16_t value) {
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
}

inline void putLe32(uint8_t* out, uint32_t value) {
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
    out[2] = uint8_t(value >> 16);
    out[3] = uint8_t(value >> 24);
}

inline uint16_t getLe16(const uint8_t* in) { return uint16_t(in[0] | (in[1] << 8)); }

inline uint32_t getLe32(const uint8_t* in) {
    return uint32_t(in[0]) | (uint32_t(in[1]) << 8) | (uint32_t(in[2]) << 16) |
           (uint32_t(in[3]) << 24);
}

}  // namespace vlpkg

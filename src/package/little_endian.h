// The package format stores every number little-endian, whatever the processor; the router
// is big-endian, so fields are always assembled byte by byte, never copied as structs.
#pragma once

#include <cstdint>
#include <string>

namespace velmara {

inline uint16_t loadLittle16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t loadLittle32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) |
           (uint32_t(bytes[3]) << 24);
}

inline uint16_t loadLittle16(const char* bytes) {
    return loadLittle16(reinterpret_cast<const uint8_t*>(bytes));
}

inline uint32_t loadLittle32(const char* bytes) {
    return loadLittle32(reinterpret_cast<const uint8_t*>(bytes));
}

inline void storeLittle16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

inline void storeLittle32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void appendLittle16(std::string& out, uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

inline void appendLittle32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace velmara

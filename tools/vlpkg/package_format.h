// Sizes and codes of the package file format as the writer produces them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlpkg {

constexpr uint32_t kPackageMagic = 0xBAD0F11Eu;
constexpr uint32_t kAlternativeMagic = 0xA1100FFBu;

constexpr size_t kOuterHeaderSize = 8;  // magic, length of everything after it
constexpr size_t kPartHeaderSize = 6;   // u16 type, u32 payload length

// Part type codes.
constexpr uint16_t kPartHeader = 1;
constexpr uint16_t kPartText2 = 2;
constexpr uint16_t kPartDepends = 3;
constexpr uint16_t kPartFiles = 4;
constexpr uint16_t kPartSignature = 9;
constexpr uint16_t kPartArchitecture = 16;
constexpr uint16_t kPartConflicts = 17;
constexpr uint16_t kPartBundleHeader = 18;
constexpr uint16_t kPartProvides = 19;
constexpr uint16_t kPartDisabledMembers = 20;
constexpr uint16_t kPartImage = 21;
constexpr uint16_t kPartNote = 23;
constexpr uint16_t kPartText24 = 24;
constexpr uint16_t kPartSha256Marker = 25;

// Header block: name, version, build time, 8 spare bytes, then an optional flags word.
constexpr size_t kNameFieldSize = 16;
constexpr size_t kHeaderVersionOffset = 16;
constexpr size_t kHeaderBuildTimeOffset = 20;
constexpr size_t kHeaderFlagsOffset = 32;
constexpr size_t kHeaderBlockSize = 32;
constexpr size_t kHeaderWithFlagsSize = 36;

// Entry list: u16 count, then 32-byte entries.
constexpr size_t kEntryCountSize = 2;
constexpr size_t kEntrySize = 32;
constexpr size_t kEntryMinVersionOffset = 16;
constexpr size_t kEntryMaxVersionOffset = 24;
constexpr size_t kEntryPriorityOffset = 28;
constexpr size_t kMaxEntries = 0xFFFF;

// File container entry header, followed by the name and the data.
constexpr size_t kFileEntryHeaderSize = 30;
constexpr size_t kFileEntryVariantOffset = 23;
constexpr size_t kFileEntrySizeOffset = 24;
constexpr size_t kFileEntryNameLengthOffset = 28;
constexpr size_t kMaxFileNameLength = 0xFFFF;

constexpr uint16_t kModeTypeMask = 0xF000;
constexpr uint16_t kModeRegular = 0x8000;
constexpr uint16_t kModeDirectory = 0x4000;
constexpr uint16_t kModeSymlink = 0xA000;

// Signature payload: 68 bytes of the older scheme, then the 64-byte Ed25519 signature.
constexpr size_t kLegacySignatureSize = 68;
constexpr size_t kSignatureSize = 132;
constexpr size_t kEd25519SignatureOffset = 68;
constexpr size_t kEd25519SignatureSize = 64;
constexpr size_t kEd25519KeySize = 32;
constexpr size_t kSha256Size = 32;

// Every length in the format is a u32, the file's own included.
constexpr uint64_t kMaxLength = 0xFFFFFFFFu;

}  // namespace vlpkg

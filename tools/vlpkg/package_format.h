// Sizes and codes of the package file format as the writer produces them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/extract.h"
#include "package/package_reader.h"
#include "package/signature.h"

namespace vlpkg {

using namespace velmara;

// The reader's constants are the format's; the writer names a few more of its own.
using velmara::kEntryCountSize;
using velmara::kEntryMaxVersionOffset;
using velmara::kEntryMinVersionOffset;
using velmara::kEntryPriorityOffset;
using velmara::kEntrySize;
using velmara::kHeaderBlockSize;
using velmara::kHeaderBuildTimeOffset;
using velmara::kHeaderVersionOffset;
using velmara::kNameFieldSize;
using velmara::kOuterHeaderSize;
using velmara::kPartHeaderSize;

constexpr uint32_t kPackageMagic = PackageMagic;
constexpr uint32_t kAlternativeMagic = AlternativeMagic;

// Part type codes as they are stored (u16).
constexpr uint16_t kPartHeader = PartType::Header;
constexpr uint16_t kPartText2 = PartType::Text2;
constexpr uint16_t kPartDepends = PartType::Depends;
constexpr uint16_t kPartFiles = PartType::Files;
constexpr uint16_t kPartSignature = PartType::Signature;
constexpr uint16_t kPartArchitecture = PartType::Architecture;
constexpr uint16_t kPartConflicts = PartType::Conflicts;
constexpr uint16_t kPartBundleHeader = PartType::BundleHeader;
constexpr uint16_t kPartProvides = PartType::Provides;
constexpr uint16_t kPartDisabledMembers = PartType::DisabledMembers;
constexpr uint16_t kPartImage = PartType::Image;
constexpr uint16_t kPartNote = PartType::Note;
constexpr uint16_t kPartText24 = PartType::Text24;
constexpr uint16_t kPartSha256Marker = PartType::Sha256Marker;
constexpr uint16_t kPartBundleSignature = PartType::BundleSignature;
using velmara::kBundleSignatureSize;

// The header block's optional flags word.
constexpr size_t kHeaderFlagsOffset = kHeaderBlockSize;
constexpr size_t kHeaderWithFlagsSize = kHeaderBlockSize + kHeaderFlagsSize;

constexpr size_t kMaxEntries = 0xFFFF;

// File container entry header, followed by the name and the data.
using velmara::kFileEntryHeaderSize;
using velmara::kFileEntryNameLengthOffset;
using velmara::kFileEntrySizeOffset;
using velmara::kFileEntryVariantOffset;
constexpr size_t kMaxFileNameLength = 0xFFFF;

constexpr uint16_t kModeTypeMask = 0xF000;
constexpr uint16_t kModeRegular = 0x8000;
constexpr uint16_t kModeDirectory = 0x4000;
constexpr uint16_t kModeSymlink = 0xA000;

// Signature payload: 68 bytes of the older scheme, then the 64-byte Ed25519 signature.
using velmara::kEd25519SignatureOffset;
using velmara::kEd25519SignatureSize;
using velmara::kLegacySignatureSize;
constexpr size_t kSignatureSize = kFullSignatureSize;
constexpr size_t kEd25519KeySize = kEd25519PublicKeySize;
constexpr size_t kSha256Size = 32;

// Every length in the format is a u32, the file's own included.
constexpr uint64_t kMaxLength = 0xFFFFFFFFu;

}  // namespace vlpkg

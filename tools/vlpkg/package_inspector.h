// What a package file holds, part by part, read through the installer's package reader with
// hashing on, so the digests shown are the ones the installer checks signatures against.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "record/package_record.h"

namespace vlpkg {

using namespace velmara;

struct FileEntryInfo {
    uint16_t mode = 0;
    uint8_t variant = 0;
    uint32_t size = 0;
    std::string name;
    std::string target;  // of a symbolic link: its data, cut like a long text
};

struct SignatureInfo {
    bool ed25519 = false;   // the Ed25519 half is present (not all zero)
    bool legacy = false;    // the older scheme's check value and scalar are present
    bool tooShort = false;  // under 68 bytes: refused whatever it holds
    bool sha256 = false;    // the digest it is checked against is SHA-256 (else SHA-1)
    std::array<uint8_t, 32> digest{};
};

struct PartReport {
    uint16_t type = 0;
    uint64_t offset = 0;  // of the part header
    uint32_t length = 0;
    // Header blocks (1, 18).
    std::string name;
    PackageVersion version = 0;
    uint32_t buildTime = 0;
    bool hasFlags = false;
    uint32_t flags = 0;
    // Texts (2, 16, 23, 24); long ones are shown only in part.
    std::string text;
    bool textCut = false;
    // Entry lists (3, 17, 19, 20).
    std::vector<DependencyEntry> entries;
    // File container (4).
    std::vector<FileEntryInfo> files;
    uint64_t fileCount = 0;  // may exceed files.size() for absurd containers
    uint64_t inflatedSize = 0;
    uint64_t trailingBytes = 0;  // inside the part, after the end of the zlib stream
    // Signature (9).
    SignatureInfo signature;
    // What is wrong with this part, if anything.
    std::string problem;
};

struct PackageSummary {
    std::string name;
    PackageVersion version = 0;
    bool isBundle = false;
    bool signedPart = false;  // for a bundle: it has a bundle signature
    SignatureInfo signature;
};

struct Inspection {
    uint64_t fileSize = 0;
    uint32_t magic = 0;
    uint64_t declaredSize = 0;
    std::vector<PartReport> parts;
    std::vector<PackageSummary> packages;
    std::string damage;  // the file as a whole: cut short, stray bytes, wrong declared size
};

// Reads the whole file; false (with the reason) only when it is no package file at all.
[[nodiscard]] bool inspectPackage(std::istream& in, Inspection& inspection, std::string& problem);
// True when something is wrong with the file or one of its parts.
bool isDamaged(const Inspection& inspection);

void printInspection(const Inspection& inspection, const std::string& fileName, std::ostream& out);
void printInspectionJson(const Inspection& inspection, const std::string& fileName,
                         std::ostream& out);

const char* partTypeName(uint16_t type);

}  // namespace vlpkg

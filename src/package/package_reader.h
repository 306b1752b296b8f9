// The package file container: an 8-byte outer header and a flat sequence of typed parts. The
// reader walks it as an input stream that stops only at the part types its caller wants,
// bounds every read to the current part, copies every consumed byte to an optional tee sink
// (a byte-exact copy of the package) and feeds the signature hash while the bytes pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

#include "package/part_sequence.h"
#include "platform/hash.h"
#include "record/package_record.h"

namespace velmara {

// Outer header magics (bytes 1E F1 D0 BA and FB 0F 10 A1 in the file).
constexpr uint32_t PackageMagic = 0xBAD0F11Eu;
// Packages with this magic are installed but never recorded in the database.
constexpr uint32_t AlternativeMagic = 0xA1100FFBu;
// The reader's magic when the outer header could not be read.
constexpr uint32_t kUnreadableMagic = 0xFFFFFFFFu;

constexpr size_t kOuterHeaderSize = 8;   // magic u32, length of the rest u32
constexpr size_t kPartHeaderSize = 6;    // type u16, payload length u32
constexpr size_t kHeaderBlockSize = 32;  // name, version, build time, 8 uninterpreted bytes
constexpr size_t kHeaderFlagsSize = 4;   // the optional flags word at offset 32
constexpr size_t kNameFieldSize = 16;    // NUL padded; a 16-character name has no terminator
constexpr size_t kHeaderVersionOffset = 16;
constexpr size_t kHeaderBuildTimeOffset = 20;
constexpr size_t kEntryCountSize = 2;  // u16 count before the entries of a list
constexpr size_t kEntrySize = 32;
constexpr size_t kEntryMinVersionOffset = 16;
constexpr size_t kEntryMaxVersionOffset = 24;
constexpr size_t kEntryPriorityOffset = 28;

// Unwanted payloads are passed over in chunks of this size when they must be hashed or
// copied, so a large image part costs no more memory than this.
constexpr size_t kPassOverChunk = 16384;
// Texts are read whole; a longer text part makes the header unreadable rather than letting a
// damaged package ask a router for gigabytes.
constexpr uint32_t kMaxTextLength = 64 * 1024;

constexpr size_t kDigestBufferSize = 32;

constexpr const char* kDefaultArchitecture = "i386";

// Part type codes. Any other code is legal and is passed over by its length.
namespace PartType {
constexpr int32_t None = -1;  // no current part: before the first, at the end, after an error
constexpr int32_t Header = 1;
constexpr int32_t Text2 = 2;
constexpr int32_t Depends = 3;
constexpr int32_t Files = 4;
constexpr int32_t Signature = 9;
constexpr int32_t Architecture = 16;
constexpr int32_t Conflicts = 17;
constexpr int32_t BundleHeader = 18;
constexpr int32_t Provides = 19;
constexpr int32_t DisabledMembers = 20;
constexpr int32_t Image = 21;
constexpr int32_t Note = 23;
constexpr int32_t Text24 = 24;
// Before a header part: that package's signature digest is SHA-256 instead of SHA-1.
constexpr int32_t Sha256Marker = 25;
// After a bundle's last member: the Ed25519 signature of the bundle digest. A code no reader
// before it stopped at, so older installers pass over it.
constexpr int32_t BundleSignature = 26;
}  // namespace PartType

// The bundle signature's payload: an Ed25519 signature, nothing else.
constexpr size_t kBundleSignatureSize = 64;

// The stream buffer of a PackageReader. It has no get area of its own: every byte comes
// straight from the source buffer, bounded to the current part's payload.
class PartStreamBuf : public std::streambuf {
public:
    ~PartStreamBuf() override;

    // Finishes the current hash into the digest buffer and starts a new digest. At a package's
    // signature part the reader has done so already, and this does nothing.
    void finishDigest();
    // Reads up to n bytes of the current payload straight from the source without hashing
    // them (the signature itself is not covered by the digest); they still reach the tee
    // sink. Returns the number of bytes read.
    [[nodiscard]] size_t readUnhashed(char* buffer, size_t n);

    // The last finished digest: 20 bytes of SHA-1 (the rest zero) or 32 bytes of SHA-256.
    const std::array<uint8_t, kDigestBufferSize>& digest() const { return digest_; }
    size_t digestLength() const { return currentHash_->digestSize(); }
    bool usesSha256() const { return currentHash_ == &sha256_; }
    bool hashing() const { return hashing_; }
    // The digest a bundle signature signs, SHA-256 over the bundle's own parts (from its header
    // part's part header up to its first member), then each member's 32-byte digest buffer as
    // finished at its signature part, then the bundle signature's part header. Ready once the
    // reader has reached the bundle signature part, with hashing on.
    bool bundleDigestReady() const { return bundleState_ == BundleHashing::Done; }
    const std::array<uint8_t, kDigestBufferSize>& bundleDigest() const { return bundleDigest_; }
    // Where the current part stands in the file; every part header read, wanted or not, went
    // through this order.
    PartRole partRole() const { return partRole_; }
    const PartSequence& sequence() const { return sequence_; }
    // The tee sink took fewer bytes than it was given (a full flash): the copy is incomplete,
    // so the reader delivers nothing more and nextPart fails. The caller reports it.
    bool teeFailed() const { return teeFailed_; }
    // The errno of the first read of the source that failed (0: none). A failed read is not the
    // end of the data: the reader delivers nothing more, and the caller reports the cause
    // rather than a broken package. File buffers signal such failures by throwing; the throw
    // stops here.
    int readError() const { return readError_; }
    // Either of the two: what the reader delivered is not the package, only less of it.
    bool stopped() const { return teeFailed_ || readError_ != 0; }
    // The rest of the package no longer goes to the tee sink: for a caller that has learnt
    // from the header that it will not keep the copy.
    void stopCopying() { teeSink_ = nullptr; }

    // Source offset of the current payload's first byte (8 right after the outer header).
    uint32_t partStart() const { return partStart_; }
    uint32_t partSize() const { return partSize_; }
    uint32_t partRemaining() const { return partRemaining_; }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* buffer, std::streamsize count) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type character) override;

private:
    friend class PackageReader;
    PartStreamBuf(std::streambuf* source, bool hashing, std::streambuf* teeSink);

    // Reads the outer header raw; false when fewer than its 8 bytes arrive.
    [[nodiscard]] bool readOuterHeader(uint32_t& magic, uint32_t& length);
    // Passes over the rest of the current payload; false when the data ends first.
    [[nodiscard]] bool passOverRest();
    // Reads the next 6-byte part header and makes its part current; false at the end of the
    // data (fewer than 6 bytes).
    [[nodiscard]] bool readPartHeader(uint16_t& type);
    // One bulk read from the source through the hashing and copying path.
    size_t readThrough(char* buffer, size_t n);
    // Reads and discards n bytes through that path; false when fewer arrive.
    [[nodiscard]] bool discard(uint64_t n);
    // Copies to the tee sink and, with hashing on, adds to the current hash.
    void passOn(const char* bytes, size_t n);
    void copyToTee(const char* bytes, size_t n);
    // Feeds a part header to the bundle digest, and starts or ends the bundle's own parts.
    void hashForBundle(uint16_t type, const char* header);
    bool copying() const { return hashing_ || teeSink_ != nullptr; }

    // The source's operations, each of which may throw on a read error: a throw becomes
    // readError_ and the result of an empty source.
    std::streamsize sourceRead(char* buffer, std::streamsize n);
    int_type sourcePeek();
    int_type sourceTake();
    int_type sourcePutBack(int_type character);
    pos_type sourceSkip(off_type offset);
    std::streamsize sourceAvailable();
    void failedRead(const std::exception& cause);

    std::streambuf* source_;
    uint32_t partStart_ = 0;
    uint32_t partSize_ = 0;
    uint32_t partRemaining_ = 0;
    std::streambuf* teeSink_;
    SHA1 sha1_;
    SHA256 sha256_;
    Hash* currentHash_;
    bool hashing_;
    uint32_t skipCount_ = 0;
    bool teeFailed_ = false;
    int readError_ = 0;
    std::array<uint8_t, kDigestBufferSize> digest_{};

    PartSequence sequence_;
    PartRole partRole_ = PartRole::Misplaced;
    // The digest was finished at this signature part's header; the caller's finish is moot.
    bool finishedAtSignature_ = false;
    // The data ended with bytes too few for a part header: no package ends that way.
    bool cutInsidePartHeader_ = false;
    // A header part was read and its signature part not yet: the next part 9 ends the range.
    bool inSignedRange_ = false;
    enum class BundleHashing { Off, Own, Members, Done };
    BundleHashing bundleState_ = BundleHashing::Off;
    bool sawHeader_ = false;
    SHA256 bundleHash_;
    std::array<uint8_t, kDigestBufferSize> bundleDigest_{};
};

class PackageReader : public std::istream {
public:
    // Reads the outer header of the package on `source`; afterwards the stream state tells
    // whether the file is acceptable. Neither the source nor the tee sink is owned.
    PackageReader(std::istream& source, bool hashing, std::streambuf* teeSink = nullptr);
    ~PackageReader() override;
    PackageReader(const PackageReader&) = delete;
    PackageReader& operator=(const PackageReader&) = delete;

    // The part types nextPart stops at; filled by the caller before the first nextPart.
    std::vector<uint32_t> wantedTypes;

    // Moves to the next wanted part and returns its type, or -1 at the end of the data or
    // after an error (the stream is then in the fail state). Unwanted parts are passed over
    // and, with hashing on, hashed.
    int32_t nextPart();
    int32_t partType() const { return partType_; }
    uint32_t partLength() const { return buffer_->partSize(); }

    uint32_t magic() const { return magic_; }
    // Outer length + 8: the whole file; 0 when the outer header could not be read.
    uint32_t declaredSize() const { return declaredSize_; }
    // File bytes consumed so far: partStart plus the offset reached in the current payload
    // (what tellg gives), for the progress bar.
    uint64_t consumed() const;

    PartStreamBuf& parts() { return *buffer_; }
    const PartStreamBuf& parts() const { return *buffer_; }
    // The order every part header read so far went through; broken once a part stood where none
    // may. Unwanted parts count too: they are what a reader stopping at fewer types misses.
    const PartSequence& sequence() const { return buffer_->sequence(); }

private:
    std::unique_ptr<PartStreamBuf> buffer_;
    int32_t partType_ = PartType::None;
    uint32_t magic_ = kUnreadableMagic;
    uint32_t declaredSize_ = 0;
};

// Fills `record` from the current header part (1 or 18) and the text and list parts that
// follow it in their fixed order; the first part not consumed stays current. False on a part
// that is not a header, a header block shorter than 32 bytes, an entry list that cannot be
// read whole, or a text part longer than the package can hold.
[[nodiscard]] bool readPackageHeader(PackageRecord& record, PackageReader& reader);
// Appends the entries of the current entry-list part; entries read before a failure stay.
[[nodiscard]] bool readEntryPart(PackageReader& reader, std::vector<DependencyEntry>& entries);

}  // namespace velmara

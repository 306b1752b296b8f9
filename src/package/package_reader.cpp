#include "package/package_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "package/little_endian.h"

namespace velmara {

namespace {

using Traits = std::char_traits<char>;

const std::streambuf::pos_type kBadPosition{std::streambuf::off_type(-1)};

std::string nameField(const char* field) {
    return std::string(field, strnlen(field, kNameFieldSize));
}

}  // namespace

PartStreamBuf::PartStreamBuf(std::streambuf* source, bool hashing, std::streambuf* teeSink)
    : source_(source), teeSink_(teeSink), currentHash_(&sha1_), hashing_(hashing) {}

PartStreamBuf::~PartStreamBuf() = default;

void PartStreamBuf::failedRead(const std::exception& cause) {
    if (readError_ != 0) return;
    // A file buffer's read error carries the errno of the failed read; anything else thrown
    // while reading (an allocation) is no answer of the disk, but the data is lost all the same.
    readError_ = EIO;
    if (const auto* system = dynamic_cast<const std::system_error*>(&cause)) {
        if (system->code().category() == std::system_category() ||
            system->code().category() == std::generic_category()) {
            if (system->code().value() != 0) readError_ = system->code().value();
        }
    }
}

std::streamsize PartStreamBuf::sourceRead(char* buffer, std::streamsize n) {
    if (readError_ != 0) return 0;
    try {
        return source_->sgetn(buffer, n);
    } catch (const std::exception& cause) {
        failedRead(cause);
        return 0;
    }
}

PartStreamBuf::int_type PartStreamBuf::sourcePeek() {
    if (readError_ != 0) return Traits::eof();
    try {
        return source_->sgetc();
    } catch (const std::exception& cause) {
        failedRead(cause);
        return Traits::eof();
    }
}

PartStreamBuf::int_type PartStreamBuf::sourceTake() {
    if (readError_ != 0) return Traits::eof();
    try {
        return source_->sbumpc();
    } catch (const std::exception& cause) {
        failedRead(cause);
        return Traits::eof();
    }
}

PartStreamBuf::int_type PartStreamBuf::sourcePutBack(int_type character) {
    if (readError_ != 0) return Traits::eof();
    try {
        return Traits::eq_int_type(character, Traits::eof())
                   ? source_->sungetc()
                   : source_->sputbackc(Traits::to_char_type(character));
    } catch (const std::exception& cause) {
        failedRead(cause);
        return Traits::eof();
    }
}

PartStreamBuf::pos_type PartStreamBuf::sourceSkip(off_type offset) {
    if (readError_ != 0) return kBadPosition;
    try {
        return source_->pubseekoff(offset, std::ios_base::cur, std::ios_base::in);
    } catch (const std::exception& cause) {
        failedRead(cause);
        return kBadPosition;
    }
}

std::streamsize PartStreamBuf::sourceAvailable() {
    if (readError_ != 0) return 0;
    try {
        return source_->in_avail();
    } catch (const std::exception& cause) {
        failedRead(cause);
        return 0;
    }
}

bool PartStreamBuf::readOuterHeader(uint32_t& magic, uint32_t& length) {
    if (source_ == nullptr) return false;
    char header[kOuterHeaderSize];
    if (sourceRead(header, kOuterHeaderSize) != std::streamsize(kOuterHeaderSize)) return false;
    // The outer header is copied but never hashed: no signature covers it.
    if (teeSink_ != nullptr) copyToTee(header, kOuterHeaderSize);
    magic = loadLittle32(header);
    length = loadLittle32(header + 4);
    partStart_ = kOuterHeaderSize;
    return true;
}

void PartStreamBuf::copyToTee(const char* bytes, size_t n) {
    if (n == 0 || teeFailed_) return;
    if (teeSink_->sputn(bytes, std::streamsize(n)) != std::streamsize(n)) teeFailed_ = true;
}

void PartStreamBuf::passOn(const char* bytes, size_t n) {
    if (teeSink_ != nullptr) copyToTee(bytes, n);
    if (hashing_) {
        currentHash_->add(bytes, n);
        if (bundleState_ == BundleHashing::Own) bundleHash_.add(bytes, n);
    }
}

size_t PartStreamBuf::readThrough(char* buffer, size_t n) {
    const std::streamsize read = sourceRead(buffer, std::streamsize(n));
    const size_t got = read > 0 ? size_t(read) : 0;
    // Bytes put back and read again were hashed and copied the first time.
    if (skipCount_ > got) {
        skipCount_ -= uint32_t(got);
        return got;
    }
    passOn(buffer + skipCount_, got - skipCount_);
    skipCount_ = 0;
    return got;
}

bool PartStreamBuf::discard(uint64_t n) {
    char chunk[kPassOverChunk];
    while (n > 0) {
        const size_t step = size_t(std::min<uint64_t>(n, kPassOverChunk));
        const size_t got = readThrough(chunk, step);
        partRemaining_ -= uint32_t(got);
        n -= got;
        if (got < step) return false;
        if (stopped()) return false;
    }
    return true;
}

bool PartStreamBuf::passOverRest() {
    if (partRemaining_ == 0) return true;
    if (!copying()) {
        // Nothing needs the bytes: an image part on flash is skipped without reading it.
        if (sourceSkip(off_type(partRemaining_)) != kBadPosition) {
            partRemaining_ = 0;
            return true;
        }
    }
    return discard(partRemaining_);
}

bool PartStreamBuf::readPartHeader(uint16_t& type) {
    finishedAtSignature_ = false;
    partStart_ += partSize_;
    partSize_ = 0;
    partRemaining_ = 0;
    skipCount_ = 0;
    char header[kPartHeaderSize];
    const std::streamsize got = sourceRead(header, kPartHeaderSize);
    if (got != std::streamsize(kPartHeaderSize)) {
        // Bytes too few for a part header are still consumed: data that goes on past the last
        // part by them does not end where its outer length says.
        if (got > 0) {
            partStart_ += uint32_t(got);
            cutInsidePartHeader_ = true;
        }
        return false;
    }
    if (teeSink_ != nullptr) copyToTee(header, kPartHeaderSize);
    type = loadLittle16(header);
    const uint32_t length = loadLittle32(header + 2);
    partRole_ = sequence_.add(type, length);
    if (hashing_) {
        // The marker switches for good; each header part begins a new package's digest.
        if (type == PartType::Sha256Marker)
            currentHash_ = &sha256_;
        else if (type == PartType::Header)
            finishDigest();
        hashForBundle(type, header);
        currentHash_->add(header, kPartHeaderSize);
        // The first signature part after a header closes that package's digest, whether or not
        // anyone checks it here: a bundle's digest needs every member's.
        if (type == PartType::Signature && inSignedRange_) {
            finishDigest();
            finishedAtSignature_ = true;
            if (bundleState_ == BundleHashing::Members) bundleHash_.add(digest_.data(), digest_.size());
        }
    }
    if (type == PartType::Header) {
        inSignedRange_ = true;
        sawHeader_ = true;
    } else if (type == PartType::Signature) {
        inSignedRange_ = false;
    }
    partStart_ += kPartHeaderSize;
    partSize_ = length;
    partRemaining_ = length;
    return true;
}

void PartStreamBuf::hashForBundle(uint16_t type, const char* header) {
    switch (bundleState_) {
        case BundleHashing::Off:
            // Only a bundle header before any package header starts a bundle.
            if (type != PartType::BundleHeader || sawHeader_) return;
            bundleState_ = BundleHashing::Own;
            bundleHash_.add(header, kPartHeaderSize);
            return;
        case BundleHashing::Own:
            // The bundle's own parts end where its first member begins.
            if (type == PartType::Header || type == PartType::Sha256Marker) {
                bundleState_ = BundleHashing::Members;
                return;
            }
            bundleHash_.add(header, kPartHeaderSize);
            return;
        case BundleHashing::Members:
            if (type != PartType::BundleSignature) return;
            bundleHash_.add(header, kPartHeaderSize);
            bundleHash_.finish(bundleDigest_.data());
            bundleState_ = BundleHashing::Done;
            return;
        case BundleHashing::Done:
            return;
    }
}

void PartStreamBuf::finishDigest() {
    if (finishedAtSignature_) return;
    // A SHA-1 digest leaves the last 12 bytes zero rather than stale.
    digest_.fill(0);
    currentHash_->finish(digest_.data());
}

size_t PartStreamBuf::readUnhashed(char* buffer, size_t n) {
    if (stopped()) return 0;
    // Never past the current part: the count is taken off partRemaining.
    const size_t want = std::min<size_t>(n, partRemaining_);
    const std::streamsize read = sourceRead(buffer, std::streamsize(want));
    const size_t got = read > 0 ? size_t(read) : 0;
    partRemaining_ -= uint32_t(got);
    const size_t copiedBefore = std::min<size_t>(skipCount_, got);
    skipCount_ -= uint32_t(copiedBefore);
    if (teeSink_ != nullptr) copyToTee(buffer + copiedBefore, got - copiedBefore);
    return got;
}

std::streamsize PartStreamBuf::xsgetn(char_type* buffer, std::streamsize count) {
    if (partRemaining_ == 0 || stopped() || count <= 0) return 0;
    const size_t want = size_t(std::min<std::streamsize>(count, partRemaining_));
    const size_t got = readThrough(buffer, want);
    partRemaining_ -= uint32_t(got);
    return std::streamsize(got);
}

PartStreamBuf::int_type PartStreamBuf::underflow() {
    if (partRemaining_ == 0 || stopped()) return Traits::eof();
    return sourcePeek();
}

PartStreamBuf::int_type PartStreamBuf::uflow() {
    if (partRemaining_ == 0 || stopped()) return Traits::eof();
    const int_type character = sourceTake();
    // Only a byte actually taken counts as consumed.
    if (Traits::eq_int_type(character, Traits::eof())) return character;
    --partRemaining_;
    if (skipCount_ > 0) {
        --skipCount_;
    } else {
        const char byte = Traits::to_char_type(character);
        passOn(&byte, 1);
    }
    return character;
}

PartStreamBuf::int_type PartStreamBuf::pbackfail(int_type character) {
    // Nothing of this part consumed: putting back would reach into the part header.
    if (partRemaining_ >= partSize_) return Traits::eof();
    const int_type result = sourcePutBack(character);
    if (Traits::eq_int_type(result, Traits::eof())) return result;
    ++partRemaining_;
    if (copying()) ++skipCount_;
    return result;
}

std::streamsize PartStreamBuf::showmanyc() {
    const std::streamsize available = sourceAvailable();
    return std::min<std::streamsize>(available, partRemaining_);
}

PartStreamBuf::pos_type PartStreamBuf::seekpos(pos_type position, std::ios_base::openmode which) {
    const off_type target = off_type(position);
    if (!(which & std::ios_base::in) || target < 0 || target > off_type(partSize_))
        return kBadPosition;
    const uint32_t remainingAfter = partSize_ - uint32_t(target);
    if (remainingAfter == partRemaining_) return position;
    if (!copying()) {
        // Relative to where the source stands, so a package need not start at offset 0.
        const off_type delta = off_type(partRemaining_) - off_type(remainingAfter);
        if (sourceSkip(delta) != kBadPosition) {
            partRemaining_ = remainingAfter;
            return position;
        }
    }
    // Hashed or copied bytes can only move forward, each of them once.
    if (remainingAfter > partRemaining_) return kBadPosition;
    if (!discard(partRemaining_ - remainingAfter)) return kBadPosition;
    return position;
}

PartStreamBuf::pos_type PartStreamBuf::seekoff(off_type offset, std::ios_base::seekdir direction,
                                               std::ios_base::openmode which) {
    off_type base = 0;
    if (direction == std::ios_base::end)
        base = off_type(partSize_);
    else if (direction == std::ios_base::cur)
        base = off_type(partSize_) - off_type(partRemaining_);
    // Offsets come from callers; keep the sum from overflowing before the range check.
    if (offset > off_type(UINT32_MAX) || offset < -off_type(UINT32_MAX)) return kBadPosition;
    return seekpos(pos_type(base + offset), which);
}

PackageReader::PackageReader(std::istream& source, bool hashing, std::streambuf* teeSink)
    : std::istream(nullptr), buffer_(new PartStreamBuf(source.rdbuf(), hashing, teeSink)) {
    rdbuf(buffer_.get());
    uint32_t fileMagic = 0;
    uint32_t length = 0;
    if (!buffer_->readOuterHeader(fileMagic, length)) {
        setstate(std::ios_base::badbit);
        return;
    }
    magic_ = fileMagic;
    declaredSize_ = length + uint32_t(kOuterHeaderSize);
    if (magic_ != PackageMagic && magic_ != AlternativeMagic) setstate(std::ios_base::badbit);
}

PackageReader::~PackageReader() = default;

int32_t PackageReader::nextPart() {
    if (fail() || buffer_->stopped()) {
        partType_ = PartType::None;
        setstate(std::ios_base::failbit);
        return partType_;
    }
    clear();
    for (;;) {
        if (!buffer_->passOverRest()) {
            partType_ = PartType::None;
            setstate(std::ios_base::eofbit | std::ios_base::failbit);
            return partType_;
        }
        uint16_t type = 0;
        if (!buffer_->readPartHeader(type)) {
            // The normal end of the data closes the last digest, and the order of the parts.
            buffer_->finishDigest();
            buffer_->sequence_.finish(buffer_->cutInsidePartHeader_);
            partType_ = PartType::None;
            setstate(std::ios_base::eofbit | std::ios_base::failbit);
            return partType_;
        }
        partType_ = type;
        if (std::find(wantedTypes.begin(), wantedTypes.end(), uint32_t(type)) != wantedTypes.end())
            return partType_;
    }
}

uint64_t PackageReader::consumed() const {
    return uint64_t(buffer_->partStart()) + buffer_->partSize() - buffer_->partRemaining();
}

namespace {

// Reads the whole current payload as a text. A text longer than the package can still hold,
// or than any text a package needs, makes the header unreadable. A payload cut short by the
// end of the data keeps NUL bytes where data was missing; the reader is then failed and the
// caller sees the end of the data.
[[nodiscard]] bool readText(PackageReader& reader, std::string& text) {
    const uint32_t length = reader.partLength();
    if (length > kMaxTextLength) return false;
    if (reader.consumed() + length > reader.declaredSize()) return false;
    std::string payload(length, '\0');
    reader.read(payload.data(), std::streamsize(length));
    text = std::move(payload);
    return true;
}

}  // namespace

bool readEntryPart(PackageReader& reader, std::vector<DependencyEntry>& entries) {
    char count[kEntryCountSize];
    if (!reader.read(count, kEntryCountSize)) return false;
    const uint16_t total = loadLittle16(count);
    for (uint16_t i = 0; i < total; ++i) {
        char field[kEntrySize];
        if (!reader.read(field, kEntrySize)) return false;
        DependencyEntry entry;
        entry.name = nameField(field);
        entry.minVersion = loadLittle32(field + kEntryMinVersionOffset);
        entry.maxVersion = loadLittle32(field + kEntryMaxVersionOffset);
        entry.priority = static_cast<int32_t>(loadLittle32(field + kEntryPriorityOffset));
        entries.push_back(std::move(entry));
    }
    return true;
}

bool readPackageHeader(PackageRecord& record, PackageReader& reader) {
    if (reader.partType() != PartType::Header && reader.partType() != PartType::BundleHeader)
        return false;
    record.isBundle = reader.partType() == PartType::BundleHeader;
    char block[kHeaderBlockSize];
    if (!reader.read(block, kHeaderBlockSize)) return false;
    record.name = nameField(block);
    record.version = loadLittle32(block + kHeaderVersionOffset);
    record.buildTime = loadLittle32(block + kHeaderBuildTimeOffset);
    // Older packages end the header block before the flags word.
    char flags[kHeaderFlagsSize];
    if (reader.read(flags, kHeaderFlagsSize)) {
        record.flags = loadLittle32(flags);
    } else {
        record.flags = 0;
        reader.clear();
    }
    reader.nextPart();

    // The optional parts follow in one fixed order; each is looked at once.
    if (reader.partType() == PartType::Text24) {
        if (!readText(reader, record.text24)) return false;
        reader.nextPart();
    }
    if (reader.partType() == PartType::Architecture) {
        if (!readText(reader, record.architecture)) return false;
        reader.nextPart();
    } else {
        record.architecture = kDefaultArchitecture;
    }
    if (reader.partType() == PartType::Text2) {
        if (!readText(reader, record.text2)) return false;
        reader.nextPart();
    }
    if (reader.partType() == PartType::Note) {
        if (!readText(reader, record.note)) return false;
        reader.nextPart();
    }
    if (reader.partType() == PartType::Depends) {
        if (!readEntryPart(reader, record.depends)) return false;
        reader.nextPart();
    }
    if (reader.partType() == PartType::Provides) {
        if (!readEntryPart(reader, record.provides)) return false;
        reader.nextPart();
    }
    if (reader.partType() == PartType::Conflicts) {
        if (!readEntryPart(reader, record.conflicts)) return false;
        reader.nextPart();
    }
    // The image stays current: the caller passes over it or keeps it.
    if (reader.partType() == PartType::Image) record.hasImage = true;
    return true;
}

}  // namespace velmara

#include "package/package_reader.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <random>
#include <sstream>
#include <system_error>

#include "package/package_report.h"
#include "report/reporter.h"
#include "support/package_bytes.h"

using namespace velmara;

namespace {

using testsupport::entryList;
using testsupport::fromHex;
using testsupport::headerBlock;
using testsupport::PackageBytes;
using testsupport::TestEntry;

const std::vector<uint32_t> kEveryType = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24, 25};
const std::vector<uint32_t> kHeaderTypes = {1, 24, 16, 2, 23, 3, 19, 17, 21};

// Independent one-shot digests of an exact byte range.
std::string oneShot(const EVP_MD* algorithm, const std::string& bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), out, &length, algorithm, nullptr), 1);
    return std::string(reinterpret_cast<char*>(out), length);
}
std::string sha1Of(const std::string& bytes) {
    return oneShot(EVP_sha1(), bytes);
}
std::string sha256Of(const std::string& bytes) {
    return oneShot(EVP_sha256(), bytes);
}

std::string digestOf(const PackageReader& reader) {
    const auto& digest = reader.parts().digest();
    return std::string(reinterpret_cast<const char*>(digest.data()), reader.parts().digestLength());
}

std::string range(const std::string& bytes, size_t from, size_t to) {
    return bytes.substr(from, to - from);
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(n, '\0');
    for (char& c : out) c = char(generator() & 0xFF);
    return out;
}

// A package reader over bytes in memory, with an optional tee copy.
struct Opened {
    Opened(const std::string& bytes, bool hashing, bool tee = false,
           const std::vector<uint32_t>& wanted = kEveryType)
        : source(bytes), reader(source, hashing, tee ? &copy : nullptr) {
        reader.wantedTypes = wanted;
    }
    std::istringstream source;
    std::stringbuf copy;
    PackageReader reader;
};

std::string readPayload(PackageReader& reader) {
    std::string payload(reader.partLength(), '\0');
    reader.read(payload.data(), std::streamsize(payload.size()));
    return payload;
}

// A source that counts the bytes it hands out and may refuse to seek, like a pipe. Reading a
// byte at `failAt` or later throws an I/O error, as a file buffer does on a failed read.
class CountingSource : public std::streambuf {
public:
    CountingSource(std::string data, bool seekable) : data_(std::move(data)), seekable_(seekable) {}
    size_t bytesRead = 0;
    int seeks = 0;
    size_t failAt = SIZE_MAX;

protected:
    int_type underflow() override {
        if (position_ >= failAt && position_ < data_.size())
            throw std::ios_base::failure("read", std::error_code(EIO, std::system_category()));
        return position_ < data_.size() ? traits_type::to_int_type(data_[position_])
                                        : traits_type::eof();
    }
    int_type uflow() override {
        const int_type c = underflow();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            ++position_;
            ++bytesRead;
        }
        return c;
    }
    std::streamsize xsgetn(char* out, std::streamsize n) override {
        // A file buffer reads on until it has all it was asked for: past a failing byte, never.
        if (n > 0 && position_ + size_t(n) > failAt && failAt < data_.size()) {
            position_ = failAt;
            underflow();
        }
        const size_t available = position_ < data_.size() ? data_.size() - position_ : 0;
        const size_t k = std::min<size_t>(size_t(n), available);
        data_.copy(out, k, position_);
        position_ += k;
        bytesRead += k;
        return std::streamsize(k);
    }
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode) override {
        if (!seekable_) return pos_type(off_type(-1));
        off_type base = direction == std::ios_base::beg   ? 0
                        : direction == std::ios_base::cur ? off_type(position_)
                                                          : off_type(data_.size());
        if (base + offset < 0) return pos_type(off_type(-1));
        // Like a file, a seek may go past the end; reads there deliver nothing.
        position_ = size_t(base + offset);
        ++seeks;
        return pos_type(off_type(position_));
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
        return seekoff(off_type(position), std::ios_base::beg, which);
    }

private:
    std::string data_;
    bool seekable_;
    size_t position_ = 0;
};

// A tee sink that takes only `limit` bytes, like a flash that fills up.
class LimitedSink : public std::streambuf {
public:
    explicit LimitedSink(size_t limit) : limit_(limit) {}
    std::string taken;

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize n) override {
        const size_t k = std::min<size_t>(size_t(n), limit_ - taken.size());
        taken.append(bytes, k);
        return std::streamsize(k);
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()) || taken.size() >= limit_)
            return traits_type::eof();
        taken.push_back(traits_type::to_char_type(c));
        return c;
    }

private:
    size_t limit_;
};

// ---- Golden bytes, written from the format tables ----

TEST(PackageReaderGolden, MinimalPackageWithFlagsWord) {
    const std::string file = fromHex(
        "1e f1 d0 ba  34 00 00 00"                           // magic, length of the rest: 52
        "01 00  24 00 00 00"                                 // header part, 36 bytes
        "64 68 63 70 00 00 00 00 00 00 00 00 00 00 00 00"    // "dhcp"
        "01 66 2d 06  00 10 5e 5f  00 00 00 00 00 00 00 00"  // 6.45.1, build time
        "03 00 00 00"                                        // flags
        "09 00  04 00 00 00  de ad be ef");                  // signature part
    Opened open(file, false, false, kHeaderTypes);
    open.reader.wantedTypes.push_back(9);
    EXPECT_TRUE(open.reader.good());
    EXPECT_EQ(open.reader.magic(), PackageMagic);
    EXPECT_EQ(open.reader.declaredSize(), 60u);
    ASSERT_EQ(open.reader.nextPart(), PartType::Header);
    EXPECT_EQ(open.reader.partLength(), 36u);
    EXPECT_EQ(open.reader.parts().partStart(), 14u);
    PackageRecord record;
    ASSERT_TRUE(readPackageHeader(record, open.reader));
    EXPECT_EQ(record.name, "dhcp");
    EXPECT_EQ(record.version, 0x062D6601u);
    EXPECT_EQ(record.buildTime, 0x5F5E1000u);
    EXPECT_EQ(record.flags, 3u);
    EXPECT_EQ(record.architecture, "i386");
    EXPECT_FALSE(record.isBundle);
    EXPECT_FALSE(record.hasImage);
    ASSERT_EQ(open.reader.partType(), PartType::Signature);
    EXPECT_EQ(readPayload(open.reader), fromHex("de ad be ef"));
    EXPECT_EQ(open.reader.nextPart(), -1);
    EXPECT_TRUE(open.reader.eof());
}

TEST(PackageReaderGolden, HeaderWithoutFlagsAndEveryOptionalPart) {
    const std::string file = fromHex(
        "fb 0f 10 a1  b1 00 00 00"
        "01 00  20 00 00 00"
        "61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70"    // 16 characters, no NUL
        "03 62 01 07  01 00 00 00  ff ff ff ff ff ff ff ff"  // 7.1beta3
        "18 00  03 00 00 00  74 32 34"                       // text24 "t24"
        "10 00  07 00 00 00  70 6f 77 65 72 70 63"           // architecture "powerpc"
        "02 00  02 00 00 00  74 32"                          // text2 "t2"
        "17 00  04 00 00 00  6e 6f 74 65"                    // note "note"
        "03 00  22 00 00 00  01 00"                          // depends, one entry
        "73 79 73 74 65 6d 00 00 00 00 00 00 00 00 00 00"    // "system"
        "00 66 01 07  aa aa aa aa  00 66 02 07  00 00 00 00"
        "13 00  22 00 00 00  01 00"                           // provides, one entry
        "64 6e 73 00 00 00 00 00 00 00 00 00 00 00 00 00"     // "dns"
        "00 00 00 00  00 00 00 00  00 00 00 00  fe ff ff ff"  // priority -2
        "11 00  02 00 00 00  00 00"                           // conflicts, none
        "15 00  05 00 00 00  01 02 03 04 05");                // image
    ASSERT_EQ(file.size(), 185u);
    Opened open(file, true, false, kHeaderTypes);
    EXPECT_EQ(open.reader.magic(), AlternativeMagic);
    EXPECT_EQ(open.reader.declaredSize(), 185u);
    ASSERT_EQ(open.reader.nextPart(), PartType::Header);
    PackageRecord record;
    ASSERT_TRUE(readPackageHeader(record, open.reader));
    EXPECT_EQ(record.name, "abcdefghijklmnop");
    EXPECT_EQ(record.version, 0x07016203u);
    EXPECT_EQ(record.buildTime, 1u);
    EXPECT_EQ(record.flags, 0u);
    EXPECT_EQ(record.text24, "t24");
    EXPECT_EQ(record.architecture, "powerpc");
    EXPECT_EQ(record.text2, "t2");
    EXPECT_EQ(record.note, "note");
    ASSERT_EQ(record.depends.size(), 1u);
    EXPECT_EQ(record.depends[0].name, "system");
    EXPECT_EQ(record.depends[0].minVersion, 0x07016600u);
    EXPECT_EQ(record.depends[0].maxVersion, 0x07026600u);
    EXPECT_EQ(record.depends[0].priority, 0);
    ASSERT_EQ(record.provides.size(), 1u);
    EXPECT_EQ(record.provides[0].name, "dns");
    EXPECT_EQ(record.provides[0].priority, -2);
    EXPECT_TRUE(record.conflicts.empty());
    EXPECT_TRUE(record.hasImage);
    // The image stays current for the caller.
    ASSERT_EQ(open.reader.partType(), PartType::Image);
    EXPECT_EQ(readPayload(open.reader), fromHex("01 02 03 04 05"));
    EXPECT_EQ(open.reader.nextPart(), -1);
}

TEST(PackageReaderGolden, BundleWithMarkerAndEveryOtherPartType) {
    const std::string file = fromHex(
        "1e f1 d0 ba  74 00 00 00"
        "19 00  00 00 00 00"                               // SHA-256 marker
        "12 00  20 00 00 00"                               // bundle header
        "73 75 69 74 65 00 00 00 00 00 00 00 00 00 00 00"  // "suite"
        "00 66 01 07  00 00 00 00  00 00 00 00 00 00 00 00"
        "14 00  02 00 00 00  00 00"                        // disabled members, none
        "01 00  20 00 00 00"                               // member header
        "6d 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // "m"
        "00 66 01 07  00 00 00 00  00 00 00 00 00 00 00 00"
        "04 00  03 00 00 00  78 9c 03"    // file container
        "09 00  02 00 00 00  ab cd"       // signature
        "10 00  03 00 00 00  78 38 36");  // trailing architecture
    Opened open(file, true);
    std::vector<std::pair<int32_t, uint32_t>> walk;
    for (int32_t type = open.reader.nextPart(); type != -1; type = open.reader.nextPart()) {
        walk.emplace_back(type, open.reader.partLength());
        if (type == PartType::Header) {
            // The finish at the member's header closed the marker's digest.
            EXPECT_EQ(digestOf(open.reader), sha256Of(range(file, 8, 60)));
        }
        if (type == PartType::Signature) {
            open.reader.parts().finishDigest();
            EXPECT_EQ(digestOf(open.reader), sha256Of(range(file, 60, 113)));
            char signature[2];
            EXPECT_EQ(open.reader.parts().readUnhashed(signature, 2), 2u);
        }
    }
    const std::vector<std::pair<int32_t, uint32_t>> expected = {
        {PartType::Sha256Marker, 0}, {PartType::BundleHeader, 32}, {PartType::DisabledMembers, 2},
        {PartType::Header, 32},      {PartType::Files, 3},         {PartType::Signature, 2},
        {PartType::Architecture, 3}};
    EXPECT_EQ(walk, expected);
}

// ---- Opening ----

TEST(PackageReaderOpen, ShortFilesAndBadMagicGiveABadReader) {
    const std::string good = PackageBytes().header("a", 1).bytes();
    for (const std::string& file :
         {std::string(), good.substr(0, 7), fromHex("1e f1 d0 bb 00 00 00 00"),
          fromHex("ba d0 f1 1e 00 00 00 00")}) {
        Opened open(file, true);
        EXPECT_TRUE(open.reader.bad()) << file.size();
        EXPECT_EQ(open.reader.nextPart(), -1);
        EXPECT_EQ(open.reader.partType(), -1);
    }
    Opened empty(std::string(), false);
    EXPECT_EQ(empty.reader.magic(), kUnreadableMagic);
    EXPECT_EQ(empty.reader.declaredSize(), 0u);
    Opened wrong(fromHex("00 00 00 00 10 00 00 00"), false);
    EXPECT_EQ(wrong.reader.magic(), 0u);
    EXPECT_EQ(wrong.reader.declaredSize(), 24u);
}

TEST(PackageReaderOpen, OuterHeaderAloneEndsAtOnceAndIsCopiedButNotHashed) {
    const std::string file = fromHex("1e f1 d0 ba 00 00 00 00");
    Opened open(file, true, true);
    EXPECT_TRUE(open.reader.good());
    EXPECT_EQ(open.reader.nextPart(), -1);
    EXPECT_TRUE(open.reader.eof() && open.reader.fail());
    EXPECT_EQ(open.copy.str(), file);
    EXPECT_EQ(digestOf(open.reader), sha1Of(""));
    // Once failed, it stays at the end.
    EXPECT_EQ(open.reader.nextPart(), -1);
}

TEST(PackageReaderOpen, EveryTruncationFailsWithoutCrashing) {
    PackageBytes builder;
    builder.part(25, "")
        .header("truncated", 0x07016600, 5, 1)
        .part(24, "text")
        .part(16, "arm")
        .part(23, "a note")
        .part(3, entryList({{"base", 1, 2, 0}}))
        .part(19, entryList({{"svc", 0, 0, -1}}))
        .part(17, entryList({{"old", 0, 0, 0}, {"older", 0, 0, 0}}))
        .part(21, randomBytes(40, 1))
        .part(4, randomBytes(30, 2))
        .part(9, randomBytes(68, 3))
        .part(16, "arm")
        .part(3, "");
    const std::string full = builder.bytes();

    auto walk = [](const std::string& bytes, std::string* copy) {
        Opened open(bytes, true, true);
        std::vector<std::pair<int32_t, std::string>> parts;
        while (open.reader.nextPart() != -1) {
            std::string payload = readPayload(open.reader);
            if (!open.reader) break;
            parts.emplace_back(open.reader.partType(), std::move(payload));
        }
        *copy = open.copy.str();
        return parts;
    };
    std::string fullCopy;
    const auto fullParts = walk(full, &fullCopy);
    ASSERT_EQ(fullParts.size(), 13u);
    EXPECT_EQ(fullCopy, full);

    PackageRecord fullRecord;
    {
        Opened open(full, true, false, kHeaderTypes);
        open.reader.wantedTypes.push_back(25);
        ASSERT_EQ(open.reader.nextPart(), 25);
        ASSERT_EQ(open.reader.nextPart(), PartType::Header);
        ASSERT_TRUE(readPackageHeader(fullRecord, open.reader));
        ASSERT_EQ(fullRecord.conflicts.size(), 2u);
    }
    // A cut inside the flags word reads as a header without one; the end follows.
    const size_t headerBlockEnd = builder.partOffset(1) + 6 + 32;
    const size_t listsEnd = builder.partOffset(8);

    for (size_t length = 0; length < full.size(); ++length) {
        SCOPED_TRACE(length);
        const std::string cut = full.substr(0, length);
        std::string copy;
        const auto parts = walk(cut, &copy);
        // Whole parts come out as in the full file, and at least the last one is missing.
        ASSERT_LT(parts.size(), fullParts.size());
        EXPECT_TRUE(std::equal(parts.begin(), parts.end(), fullParts.begin()));
        // The copy never holds a byte twice or out of order.
        EXPECT_EQ(copy, full.substr(0, copy.size()));

        Opened open(cut, true, false, kHeaderTypes);
        open.reader.nextPart();
        PackageRecord record;
        const bool read = readPackageHeader(record, open.reader);
        if (length < headerBlockEnd) {
            EXPECT_FALSE(read);
        }
        if (length >= listsEnd) {
            EXPECT_TRUE(read);
        }
        if (read) {
            for (auto [got, want] : {std::pair{&record.depends, &fullRecord.depends},
                                     {&record.provides, &fullRecord.provides},
                                     {&record.conflicts, &fullRecord.conflicts}}) {
                ASSERT_TRUE(got->empty() || got->size() == want->size());
                for (size_t i = 0; i < got->size(); ++i) EXPECT_EQ((*got)[i].name, (*want)[i].name);
            }
        }
    }
}

// ---- Headers, texts and entry lists ----

TEST(PackageReaderHeader, FlagsWordOnlyWhenTheBlockHoldsIt) {
    for (size_t extra = 0; extra <= 8; ++extra) {
        SCOPED_TRACE(extra);
        std::string block = headerBlock("pkg", 7, 9);
        for (size_t i = 0; i < extra; ++i) block.push_back(char(0x11 * (i + 1)));
        const std::string file = PackageBytes().part(1, block).part(23, "after").bytes();
        Opened open(file, false, false, kHeaderTypes);
        ASSERT_EQ(open.reader.nextPart(), PartType::Header);
        PackageRecord record;
        ASSERT_TRUE(readPackageHeader(record, open.reader));
        EXPECT_EQ(record.flags, extra >= 4 ? 0x44332211u : 0u);
        // The stray bytes of a 33- to 35-byte block are passed over and the next part read.
        EXPECT_EQ(record.note, "after");
        EXPECT_EQ(open.reader.nextPart(), -1);
    }
}

TEST(PackageReaderHeader, ShortHeaderBlockOrWrongPartFails) {
    const std::string shortBlock = headerBlock("pkg", 1, 1).substr(0, 31);
    Opened open(PackageBytes().part(1, shortBlock).bytes(), false, false, kHeaderTypes);
    ASSERT_EQ(open.reader.nextPart(), PartType::Header);
    PackageRecord record;
    EXPECT_FALSE(readPackageHeader(record, open.reader));

    Opened text(PackageBytes().part(23, headerBlock("pkg", 1, 1)).bytes(), false, false,
                kHeaderTypes);
    ASSERT_EQ(text.reader.nextPart(), PartType::Note);
    EXPECT_FALSE(readPackageHeader(record, text.reader));
    // No current part at all.
    Opened none(PackageBytes().header("pkg", 1).bytes(), false, false, kHeaderTypes);
    EXPECT_FALSE(readPackageHeader(record, none.reader));
}

TEST(PackageReaderHeader, NameFieldBoundaries) {
    const std::string file = PackageBytes()
                                 .part(18, headerBlock("sixteen-chars-xx", 1, 1))
                                 .part(1, std::string(32, '\0'))
                                 .part(1, headerBlock(std::string("ab\0cd", 5), 1, 1))
                                 .bytes();
    Opened open(file, false, false, kHeaderTypes);
    open.reader.wantedTypes.push_back(18);
    std::vector<PackageRecord> records(3);
    ASSERT_EQ(open.reader.nextPart(), PartType::BundleHeader);
    for (PackageRecord& record : records) ASSERT_TRUE(readPackageHeader(record, open.reader));
    EXPECT_EQ(records[0].name, "sixteen-chars-xx");
    EXPECT_TRUE(records[0].isBundle);
    EXPECT_EQ(records[1].name, "");
    EXPECT_FALSE(records[1].isBundle);
    EXPECT_EQ(records[2].name, "ab");
}

TEST(PackageReaderHeader, ArchitectureDefaultsWhenOutOfOrder) {
    // An architecture part after the dependency list is not read into the record; it
    // stays current for the caller.
    Opened late(
        PackageBytes().header("p", 1).part(3, entryList({{"q"}})).part(16, "mipsbe").bytes(), false,
        false, kHeaderTypes);
    late.reader.nextPart();
    PackageRecord lateRecord;
    ASSERT_TRUE(readPackageHeader(lateRecord, late.reader));
    EXPECT_EQ(lateRecord.architecture, "i386");
    EXPECT_EQ(lateRecord.depends.size(), 1u);
    EXPECT_EQ(late.reader.partType(), PartType::Architecture);

    // A part the caller does not want never becomes current.
    Opened unwanted(PackageBytes().header("p", 1).part(16, "arm").part(23, "n").bytes(), false,
                    false, {1, 23});
    unwanted.reader.nextPart();
    PackageRecord unwantedRecord;
    ASSERT_TRUE(readPackageHeader(unwantedRecord, unwanted.reader));
    EXPECT_EQ(unwantedRecord.architecture, "i386");
    EXPECT_EQ(unwantedRecord.note, "n");
}

TEST(PackageReaderHeader, EntryListEdges) {
    std::string padded = entryList({{"one", 1, 2, 3}});
    padded += "trailing bytes are not entries";
    const std::string file = PackageBytes()
                                 .part(3, "")
                                 .part(3, entryList({}))
                                 .part(3, padded)
                                 .part(3, entryList({{"a"}, {"b"}}, uint16_t(3)))
                                 .bytes();
    Opened open(file, false);
    std::vector<DependencyEntry> entries;
    ASSERT_EQ(open.reader.nextPart(), PartType::Depends);
    EXPECT_FALSE(readEntryPart(open.reader, entries));  // no count at all
    // A failed read sticks until the caller clears it.
    EXPECT_EQ(open.reader.nextPart(), -1);
    open.reader.clear();
    ASSERT_EQ(open.reader.nextPart(), PartType::Depends);
    EXPECT_TRUE(readEntryPart(open.reader, entries));
    EXPECT_TRUE(entries.empty());
    ASSERT_EQ(open.reader.nextPart(), PartType::Depends);
    EXPECT_TRUE(readEntryPart(open.reader, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "one");
    EXPECT_EQ(entries[0].minVersion, 1u);
    EXPECT_EQ(entries[0].maxVersion, 2u);
    EXPECT_EQ(entries[0].priority, 3);
    // A count beyond the payload fails; the entries read before stay.
    ASSERT_EQ(open.reader.nextPart(), PartType::Depends);
    EXPECT_FALSE(readEntryPart(open.reader, entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].name, "b");
    // A failed list inside a header fails the header.
    Opened header(PackageBytes().header("p", 1).part(19, entryList({{"x"}}, 2)).bytes(), false,
                  false, kHeaderTypes);
    header.reader.nextPart();
    PackageRecord record;
    EXPECT_FALSE(readPackageHeader(record, header.reader));
}

TEST(PackageReaderHeader, EmptyPartsAreLegal) {
    const std::string file =
        PackageBytes().part(23, "").part(77, "").part(4, "").part(23, "x").bytes();
    Opened open(file, false);
    open.reader.wantedTypes = {23, 4};
    ASSERT_EQ(open.reader.nextPart(), PartType::Note);
    EXPECT_EQ(open.reader.partLength(), 0u);
    char byte;
    EXPECT_FALSE(open.reader.read(&byte, 1));
    open.reader.clear();
    ASSERT_EQ(open.reader.nextPart(), PartType::Files);
    EXPECT_EQ(open.reader.get(), std::char_traits<char>::eof());
    open.reader.clear();
    ASSERT_EQ(open.reader.nextPart(), PartType::Note);
    EXPECT_EQ(readPayload(open.reader), "x");
    EXPECT_EQ(open.reader.nextPart(), -1);
}

TEST(PackageReaderHeader, TextLengthIsBounded) {
    // Exactly the bound is read whole.
    const std::string most(kMaxTextLength, 'n');
    Opened fits(PackageBytes().header("p", 1).part(23, most).bytes(), false, false, kHeaderTypes);
    fits.reader.nextPart();
    PackageRecord record;
    ASSERT_TRUE(readPackageHeader(record, fits.reader));
    EXPECT_EQ(record.note, most);

    // One byte more is refused although the package holds it.
    Opened over(PackageBytes().header("p", 1).part(24, most + "n").bytes(), false, false,
                kHeaderTypes);
    over.reader.nextPart();
    EXPECT_FALSE(readPackageHeader(record, over.reader));

    // A text that claims 4 GiB is refused before anything is allocated for it.
    PackageBytes huge;
    huge.header("p", 1).partClaiming(2, 0xFFFFFFF0u, "tiny");
    Opened claim(huge.bytes(), false, false, kHeaderTypes);
    claim.reader.nextPart();
    EXPECT_FALSE(readPackageHeader(record, claim.reader));
}

TEST(PackageReaderHeader, TextMustFitInTheDeclaredSize) {
    PackageBytes builder;
    builder.header("p", 1).part(23, "0123456789");
    const std::string file = builder.bytes();
    const uint32_t exact = uint32_t(file.size() - 8);
    for (uint32_t declared : {exact, exact - 1, exact - 10}) {
        builder.declareLength(declared);
        Opened open(builder.bytes(), false, false, kHeaderTypes);
        open.reader.nextPart();
        PackageRecord record;
        EXPECT_EQ(readPackageHeader(record, open.reader), declared == exact) << declared;
    }
    // A text cut short by the end of the data, but within the declared size, is kept with
    // NUL bytes where data was missing; the reader then stands at the end.
    builder.declareLength(exact);
    const std::string cut = builder.bytes().substr(0, file.size() - 4);
    Opened open(cut, false, false, kHeaderTypes);
    open.reader.nextPart();
    PackageRecord record;
    ASSERT_TRUE(readPackageHeader(record, open.reader));
    EXPECT_EQ(record.note, std::string("012345") + std::string(4, '\0'));
    EXPECT_EQ(open.reader.partType(), -1);
}

// ---- Hashing ----

TEST(PackageReaderDigest, UnwantedPartsArePassedOverAndHashed) {
    PackageBytes builder;
    builder.header("big", 1)
        .part(24, "skipped text")
        .part(21, randomBytes(100000, 4))
        .part(4, randomBytes(20000, 5))
        .part(9, randomBytes(68, 6))
        .part(16, "arm");
    const std::string file = builder.bytes();
    Opened open(file, true, true, {1, 9, 16});
    ASSERT_EQ(open.reader.nextPart(), PartType::Header);
    ASSERT_EQ(open.reader.nextPart(), PartType::Signature);
    const size_t signatureData = builder.partOffset(4) + 6;
    EXPECT_EQ(open.copy.str(), file.substr(0, signatureData));
    open.reader.parts().finishDigest();
    EXPECT_FALSE(open.reader.parts().usesSha256());
    ASSERT_EQ(open.reader.parts().digestLength(), 20u);
    EXPECT_EQ(digestOf(open.reader), sha1Of(range(file, builder.partOffset(0), signatureData)));
    // The unused tail of a SHA-1 digest is zero.
    const auto& whole = open.reader.parts().digest();
    EXPECT_TRUE(std::all_of(whole.begin() + 20, whole.end(), [](uint8_t b) { return b == 0; }));

    // The signature is read without hashing, still copied, and the reader goes on after it.
    char signature[100];
    EXPECT_EQ(open.reader.parts().readUnhashed(signature, sizeof signature), 68u);
    EXPECT_EQ(open.reader.parts().partRemaining(), 0u);
    ASSERT_EQ(open.reader.nextPart(), PartType::Architecture);
    EXPECT_EQ(readPayload(open.reader), "arm");
    EXPECT_EQ(open.reader.nextPart(), -1);
    EXPECT_EQ(open.copy.str(), file);
    // The end of the data finished a digest of what followed the signature.
    EXPECT_EQ(digestOf(open.reader), sha1Of(range(file, builder.partOffset(5), file.size())));
}

TEST(PackageReaderDigest, MarkerSwitchesToSha256ForGood) {
    PackageBytes builder;
    builder.header("first", 1)
        .part(9, "sig1")
        .part(25, "ignored")
        .header("second", 1)
        .part(4, randomBytes(50000, 7))
        .part(9, "sig2")
        .header("third", 1)
        .part(9, "sig3");
    const std::string file = builder.bytes();
    Opened open(file, true, true, {1, 9});
    std::vector<std::string> digests;
    while (open.reader.nextPart() != -1) {
        if (open.reader.partType() != PartType::Signature) continue;
        open.reader.parts().finishDigest();
        digests.push_back(digestOf(open.reader));
        char signature[4];
        ASSERT_EQ(open.reader.parts().readUnhashed(signature, 4), 4u);
    }
    ASSERT_EQ(digests.size(), 3u);
    EXPECT_EQ(digests[0], sha1Of(range(file, builder.partOffset(0), builder.partOffset(1) + 6)));
    EXPECT_EQ(digests[1], sha256Of(range(file, builder.partOffset(3), builder.partOffset(5) + 6)));
    // A later header starts a fresh SHA-256 digest, with no marker of its own.
    EXPECT_EQ(digests[2], sha256Of(range(file, builder.partOffset(6), builder.partOffset(7) + 6)));
    EXPECT_TRUE(open.reader.parts().usesSha256());
    EXPECT_EQ(open.copy.str(), file);
}

TEST(PackageReaderDigest, HashingOffHashesNothing) {
    PackageBytes builder;
    builder.header("p", 1).part(9, "sig");
    Opened open(builder.bytes(), false, false, {1, 9});
    open.reader.nextPart();
    open.reader.nextPart();
    open.reader.parts().finishDigest();
    EXPECT_EQ(digestOf(open.reader), sha1Of(""));
}

TEST(PackageReaderDigest, PutBackBytesAreHashedAndCopiedOnce) {
    PackageBytes builder;
    builder.header("p", 1).part(4, "ABCDEFGHIJ").part(9, "sig");
    const std::string file = builder.bytes();
    Opened open(file, true, true, {1, 4, 9});
    PackageReader& reader = open.reader;
    ASSERT_EQ(reader.nextPart(), PartType::Header);
    ASSERT_EQ(reader.nextPart(), PartType::Files);
    // Nothing of the part consumed yet: nothing to put back.
    EXPECT_FALSE(reader.unget());
    reader.clear();
    EXPECT_EQ(reader.parts().partRemaining(), 10u);
    EXPECT_EQ(reader.get(), 'A');
    EXPECT_EQ(reader.get(), 'B');
    EXPECT_EQ(reader.get(), 'C');
    EXPECT_TRUE(reader.unget());
    EXPECT_TRUE(reader.unget());
    EXPECT_EQ(reader.peek(), 'B');
    char three[3];
    ASSERT_TRUE(reader.read(three, 3));
    EXPECT_EQ(std::string(three, 3), "BCD");
    EXPECT_TRUE(reader.putback('D'));
    EXPECT_EQ(reader.tellg(), 3);
    std::string rest(7, '\0');
    ASSERT_TRUE(reader.read(rest.data(), 7));
    EXPECT_EQ(rest, "DEFGHIJ");
    ASSERT_EQ(reader.nextPart(), PartType::Signature);
    reader.parts().finishDigest();
    EXPECT_EQ(digestOf(reader),
              sha1Of(range(file, builder.partOffset(0), builder.partOffset(2) + 6)));
    EXPECT_EQ(open.copy.str(), file.substr(0, builder.partOffset(2) + 6));
}

TEST(PackageReaderDigest, PutBackThenPassOverHashesOnce) {
    PackageBytes builder;
    builder.header("p", 1).part(4, "0123456789").part(9, "sig");
    const std::string file = builder.bytes();
    Opened open(file, true, true, {1, 4, 9});
    open.reader.nextPart();
    open.reader.nextPart();
    char two[2];
    ASSERT_TRUE(open.reader.read(two, 2));
    ASSERT_TRUE(open.reader.unget());
    ASSERT_EQ(open.reader.nextPart(), PartType::Signature);
    open.reader.parts().finishDigest();
    EXPECT_EQ(digestOf(open.reader),
              sha1Of(range(file, builder.partOffset(0), builder.partOffset(2) + 6)));
    EXPECT_EQ(open.copy.str(), file.substr(0, builder.partOffset(2) + 6));
}

// ---- Seeking and passing over ----

TEST(PackageReaderSeek, PassingOverWithoutHashingSeeksTheSource) {
    const size_t imageSize = 1 << 20;
    PackageBytes builder;
    builder.header("img", 1).part(21, randomBytes(imageSize, 8)).part(9, "sig");
    const std::string file = builder.bytes();
    for (bool seekable : {true, false}) {
        SCOPED_TRACE(seekable);
        CountingSource counting(file, seekable);
        std::istream source(&counting);
        PackageReader reader(source, false);
        reader.wantedTypes = {1, 9};
        ASSERT_EQ(reader.nextPart(), PartType::Header);
        ASSERT_EQ(reader.nextPart(), PartType::Signature);
        EXPECT_EQ(readPayload(reader), "sig");
        EXPECT_EQ(reader.parts().partStart(), builder.partOffset(2) + 6);
        if (seekable) {
            EXPECT_LT(counting.bytesRead, 200u);
            EXPECT_GE(counting.seeks, 1);
        } else {
            // A pipe cannot seek: the image is read and thrown away.
            EXPECT_GE(counting.bytesRead, imageSize);
        }
    }
}

TEST(PackageReaderSeek, SeeksStayInsideThePayload) {
    PackageBytes builder;
    builder.header("p", 1).part(4, "0123456789").part(9, "sig");
    const std::string file = builder.bytes();
    Opened open(file, false, false, {1, 4, 9});
    open.reader.nextPart();
    ASSERT_EQ(open.reader.nextPart(), PartType::Files);
    PackageReader& reader = open.reader;
    reader.seekg(5, std::ios_base::beg);
    EXPECT_EQ(reader.get(), '5');
    reader.seekg(-3, std::ios_base::cur);
    EXPECT_EQ(reader.get(), '3');
    reader.seekg(-2, std::ios_base::end);
    EXPECT_EQ(reader.tellg(), 8);
    EXPECT_EQ(reader.consumed(), builder.partOffset(1) + 6 + 8);
    EXPECT_EQ(reader.get(), '8');
    reader.seekg(0, std::ios_base::end);
    EXPECT_EQ(reader.get(), std::char_traits<char>::eof());
    reader.clear();
    reader.seekg(11, std::ios_base::beg);
    EXPECT_TRUE(reader.fail());
    reader.clear();
    reader.seekg(-1, std::ios_base::beg);
    EXPECT_TRUE(reader.fail());
    reader.clear();
    reader.seekg(2, std::ios_base::beg);
    char two[2];
    ASSERT_TRUE(reader.read(two, 2));
    EXPECT_EQ(std::string(two, 2), "23");
    // A read beyond the payload fails and takes nothing from the next part.
    char many[20];
    EXPECT_FALSE(reader.read(many, 20));
    EXPECT_EQ(reader.gcount(), 6);
    reader.clear();
    ASSERT_EQ(reader.nextPart(), PartType::Signature);
    EXPECT_EQ(readPayload(reader), "sig");
}

TEST(PackageReaderSeek, HashedSeeksOnlyMoveForward) {
    PackageBytes builder;
    builder.header("p", 1).part(4, randomBytes(40000, 10)).part(9, "sig");
    const std::string file = builder.bytes();
    Opened open(file, true, true, {1, 4, 9});
    open.reader.nextPart();
    ASSERT_EQ(open.reader.nextPart(), PartType::Files);
    open.reader.seekg(30000, std::ios_base::cur);
    EXPECT_TRUE(open.reader.good());
    EXPECT_EQ(open.reader.tellg(), 30000);
    open.reader.seekg(-1, std::ios_base::cur);
    EXPECT_TRUE(open.reader.fail());
    open.reader.clear();
    EXPECT_EQ(open.reader.tellg(), 30000);
    open.reader.seekg(39999, std::ios_base::beg);
    EXPECT_EQ(open.reader.get(), (unsigned char)file[builder.partOffset(1) + 6 + 39999]);
    ASSERT_EQ(open.reader.nextPart(), PartType::Signature);
    open.reader.parts().finishDigest();
    EXPECT_EQ(digestOf(open.reader),
              sha1Of(range(file, builder.partOffset(0), builder.partOffset(2) + 6)));
    EXPECT_EQ(open.copy.str(), file.substr(0, builder.partOffset(2) + 6));
}

TEST(PackageReaderSeek, ShortPayloadEndsTheWalk) {
    PackageBytes builder;
    builder.header("p", 1).partClaiming(21, 5000, "only a little");
    for (bool hashing : {true, false}) {
        Opened open(builder.bytes(), hashing, false, {1, 9});
        open.reader.nextPart();
        EXPECT_EQ(open.reader.nextPart(), -1);
        EXPECT_TRUE(open.reader.fail());
    }
}

// ---- Tee sink and progress ----

TEST(PackageReaderTee, AFullSinkStopsTheReader) {
    PackageBytes builder;
    builder.header("p", 1).part(4, randomBytes(1000, 11)).part(9, "sig");
    const std::string file = builder.bytes();
    std::istringstream source(file);
    LimitedSink sink(500);
    PackageReader reader(source, true, &sink);
    reader.wantedTypes = {1, 4, 9};
    ASSERT_EQ(reader.nextPart(), PartType::Header);
    EXPECT_FALSE(reader.parts().teeFailed());
    ASSERT_EQ(reader.nextPart(), PartType::Files);
    std::string payload(1000, '\0');
    reader.read(payload.data(), 1000);
    EXPECT_TRUE(reader.parts().teeFailed());
    // Nothing more is delivered once the copy is incomplete.
    EXPECT_EQ(reader.get(), std::char_traits<char>::eof());
    reader.clear();
    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_EQ(sink.taken, file.substr(0, 500));
}

TEST(PackageReaderTee, AFailedReadOfTheSourceStopsTheReaderWithItsError) {
    PackageBytes builder;
    builder.header("p", 1).part(21, randomBytes(3000, 5)).part(4, randomBytes(1000, 11));
    const std::string file = builder.part(9, "sig").bytes();
    // In the outer header, a part header, the header block, the image, the file container.
    for (const size_t failAt : {size_t(0), size_t(10), size_t(20), size_t(1000), file.size() - 9}) {
        for (const bool hashing : {true, false}) {
            SCOPED_TRACE(std::to_string(failAt) + (hashing ? " hashed" : ""));
            CountingSource source(file, true);
            source.failAt = failAt;
            std::istream in(&source);
            PackageReader reader(in, hashing);
            reader.wantedTypes = {1, 4, 9, 21};
            // Each way of reading a payload: a character, a peek, a block.
            while (reader.nextPart() != PartType::None) {
                reader.get();
                reader.peek();
                std::string rest(reader.parts().partRemaining(), '\0');
                reader.read(rest.data(), std::streamsize(rest.size()));
            }
            EXPECT_EQ(reader.parts().readError(), EIO);
            EXPECT_TRUE(reader.fail());
            EXPECT_LE(source.bytesRead, failAt);
        }
    }
}

TEST(PackageReaderProgress, BarFollowsTheBytesConsumed) {
    PackageBytes builder;
    builder.header("pkg", 0x07016600).part(4, std::string(162, 'x'));
    const std::string file = builder.bytes();
    ASSERT_EQ(file.size(), 8u + 38 + 168);  // 214 bytes declared
    Opened open(file, false, false, {1, 4});
    open.reader.nextPart();
    open.reader.nextPart();
    char some[93];
    ASSERT_TRUE(open.reader.read(some, sizeof some));
    // 52 bytes before the payload, 93 into it.
    EXPECT_EQ(open.reader.consumed(), 145u);
    EXPECT_EQ(open.reader.consumed(),
              open.reader.parts().partStart() + uint64_t(open.reader.tellg()));

    ReportContext installer;
    std::ostringstream console;
    installer.console = &console;
    InstalledPackage record("pkg");
    record.version = 0x07016600;
    Reporter::progress(installer, record, open.reader);
    // "installing pkg-7.1 [" leaves 56 columns; 145 of 214 bytes fill 37 of them.
    const std::string expected =
        "installing pkg-7.1 [" + std::string(37, '#') + std::string(19, ' ') + "]";
    EXPECT_EQ(installer.statusLine, expected);
    ASSERT_EQ(open.reader.nextPart(), -1);
    EXPECT_EQ(open.reader.consumed(), file.size());
}

}  // namespace

// The inflating stream buffer: the bytes come back whole across block boundaries, it stays
// inside its source, and put-back, seeks and damage behave as extraction relies on.
#include "package/inflate_stream_buf.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "package/package_reader.h"
#include "support/container_bytes.h"
#include "support/package_bytes.h"

using namespace velmara;

namespace {

using testsupport::deflated;
using testsupport::randomBytes;

// Half random, half repetitive: blocks of very different compressed sizes.
std::string mixedBytes(size_t n) {
    std::string out = randomBytes(n / 2, 7);
    while (out.size() < n) out += "router ";
    out.resize(n);
    return out;
}

std::string readAll(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Inflating {
    explicit Inflating(const std::string& compressed,
                       InflateStreamBuf::Checksum checksum = InflateStreamBuf::Checksum::Check)
        : source(compressed), buffer(&source, checksum) {}
    std::stringbuf source;
    InflateStreamBuf buffer;
    std::istream in{&buffer};
};

TEST(InflateStreamBuf, ReturnsTheInflatedBytesWhole) {
    for (size_t size : {0u, 1u, 4095u, 4096u, 4097u, 8192u, 100000u}) {
        const std::string plain = mixedBytes(size);
        Inflating inflating(deflated(plain));
        EXPECT_EQ(readAll(inflating.in), plain) << size;
        EXPECT_EQ(inflating.buffer.produced(), size);
    }
}

TEST(InflateStreamBuf, EndsAtTheEndOfTheZlibStream) {
    const std::string plain = mixedBytes(10000);
    // Whatever follows the stream in its source is never inflated.
    Inflating trailing(deflated(plain) + "not part of the stream" + deflated("more"));
    EXPECT_EQ(readAll(trailing.in), plain);

    Inflating empty("");
    EXPECT_EQ(empty.in.get(), EOF);
}

TEST(InflateStreamBuf, DamageReadsAsAnEarlyEnd) {
    const std::string plain = randomBytes(20000, 3);
    const std::string compressed = deflated(plain);
    // A damaged stream header delivers nothing.
    std::string badHeader = compressed;
    badHeader[0] = '\x00';
    Inflating header(badHeader);
    EXPECT_EQ(readAll(header.in), "");

    // A cut stream delivers a prefix of the data and then ends.
    Inflating cut(compressed.substr(0, compressed.size() / 2));
    const std::string got = readAll(cut.in);
    EXPECT_LT(got.size(), plain.size());
    EXPECT_EQ(got, plain.substr(0, got.size()));

    // Damage inside the stored data ends it at the damaged block at the latest.
    std::string flipped = compressed;
    flipped[compressed.size() / 2] ^= 0x55;
    Inflating damaged(flipped);
    EXPECT_NE(readAll(damaged.in), plain);
}

TEST(InflateStreamBuf, TheTrailingChecksumIsCheckedUnlessSkipped) {
    using Checksum = InflateStreamBuf::Checksum;
    const std::string plain = mixedBytes(3 * kInflateOutputBlock + 100);
    const std::string whole = deflated(plain);
    std::string badSum = whole;
    badSum.back() ^= 0x01;  // the Adler-32 of the inflated bytes ends the stream
    const struct {
        const std::string& stream;
        Checksum checksum;
        bool whole;
    } cases[] = {{whole, Checksum::Check, true},
                 {whole, Checksum::Skip, true},
                 {badSum, Checksum::Check, false},
                 {badSum, Checksum::Skip, true}};
    for (const auto& c : cases) {
        Inflating inflating(c.stream, c.checksum);
        // Taken in place, piece by piece, never more than asked for.
        std::string got;
        for (std::string_view piece; !(piece = inflating.buffer.take(5000)).empty();) {
            EXPECT_LE(piece.size(), 5000u);
            got += piece;
        }
        EXPECT_EQ(got == plain, c.whole) << &c - cases;
        EXPECT_EQ(got, plain.substr(0, got.size()));
    }
}

TEST(InflateStreamBuf, OneByteGoesBackAcrossARefill) {
    // Repetitive data fills every output block, so the refill comes after exactly one block.
    std::string plain;
    for (int i = 0; plain.size() < 3 * kInflateOutputBlock; ++i) plain += std::to_string(i % 97);
    Inflating inflating(deflated(plain));
    std::string first(kInflateOutputBlock, '\0');
    ASSERT_TRUE(inflating.in.read(first.data(), std::streamsize(first.size())));
    ASSERT_EQ(inflating.in.get(), static_cast<unsigned char>(plain[kInflateOutputBlock]));
    // Back over the refill: the last byte of the previous block is still there, no more.
    EXPECT_TRUE(inflating.in.unget());
    EXPECT_TRUE(inflating.in.unget());
    EXPECT_EQ(inflating.in.get(), static_cast<unsigned char>(plain[kInflateOutputBlock - 1]));
    EXPECT_EQ(inflating.in.get(), static_cast<unsigned char>(plain[kInflateOutputBlock]));
    inflating.in.unget();
    inflating.in.unget();
    EXPECT_FALSE(inflating.in.unget());
}

TEST(InflateStreamBuf, SeeksOnlyForward) {
    const std::string plain = mixedBytes(20000);
    Inflating inflating(deflated(plain));
    std::istream& in = inflating.in;
    in.get();
    // From the current position, across several skip steps and blocks.
    EXPECT_EQ(in.seekg(5000, std::ios_base::cur).tellg(), 5001);
    EXPECT_EQ(in.get(), static_cast<unsigned char>(plain[5001]));
    EXPECT_TRUE(in.seekg(0, std::ios_base::cur));
    // Absolute positions ahead are reached; behind, or from the end, they are refused.
    EXPECT_TRUE(in.seekg(9000));
    EXPECT_EQ(in.get(), static_cast<unsigned char>(plain[9000]));
    in.seekg(100);
    EXPECT_TRUE(in.fail());
    in.clear();
    in.seekg(-1, std::ios_base::cur);
    EXPECT_TRUE(in.fail());
    in.clear();
    in.seekg(-10, std::ios_base::end);
    EXPECT_TRUE(in.fail());
    in.clear();
    EXPECT_EQ(in.get(), static_cast<unsigned char>(plain[9001]));
    // A seek past the end fails: an entry whose data is cut short.
    in.seekg(20000, std::ios_base::cur);
    EXPECT_TRUE(in.fail());
}

TEST(InflateStreamBuf, StaysInsideThePackagePart) {
    const std::string plain = mixedBytes(50000);
    const std::string bytes = testsupport::PackageBytes()
                                  .header("pkg", 1)
                                  .part(4, deflated(plain) + "trailing bytes")
                                  .part(9, std::string(68, 's'))
                                  .bytes();
    std::istringstream source(bytes);
    PackageReader reader(source, true);
    reader.wantedTypes = {1, 4, 9};
    ASSERT_EQ(reader.nextPart(), 1);
    ASSERT_EQ(reader.nextPart(), 4);
    {
        InflateStreamBuf buffer(&reader.parts());
        std::istream in(&buffer);
        EXPECT_EQ(readAll(in), plain);
    }
    // The reader passes over the bytes after the zlib stream and finds the next part whole.
    EXPECT_EQ(reader.nextPart(), 9);
    EXPECT_EQ(reader.partLength(), 68u);

    // A part cut before its stream ends delivers no byte of the following part.
    const std::string cut = testsupport::PackageBytes()
                                .header("pkg", 1)
                                .part(4, deflated(plain).substr(0, 100))
                                .part(9, deflated("signature bytes"))
                                .bytes();
    std::istringstream cutSource(cut);
    PackageReader cutReader(cutSource, true);
    cutReader.wantedTypes = {1, 4, 9};
    cutReader.nextPart();
    ASSERT_EQ(cutReader.nextPart(), 4);
    InflateStreamBuf buffer(&cutReader.parts());
    std::istream in(&buffer);
    const std::string got = readAll(in);
    EXPECT_EQ(got, plain.substr(0, got.size()));
    EXPECT_EQ(cutReader.nextPart(), 9);
}

}  // namespace

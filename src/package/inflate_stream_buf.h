// A stream buffer that inflates one zlib stream while it is read from another stream buffer
// (the package reader's current part), in fixed blocks allocated once, so extracting a package
// of any size needs the same few blocks of memory.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string_view>

namespace velmara {

// Bytes kept in front of each block so that one character can always be put back.
constexpr size_t kInflatePutback = 16;
// Large blocks: each refill is one read of the source and one call into zlib, and a file's data
// leaves in writes of this size.
constexpr size_t kInflateOutputBlock = 65536;
constexpr size_t kInflateInputBlock = 65536;
// Forward seeks read and discard in steps of this size.
constexpr size_t kInflateSkipStep = 1024;

class InflateStreamBuf : public std::streambuf {
  public:
    // Whether the stream's own Adler-32 of the inflated bytes is computed and checked.
    enum class Checksum { Check, Skip };

    // `source` is not owned and must outlive the buffer. Skip the checksum only where a
    // signature covers the same compressed bytes and is checked before anything inflated is
    // used: damage then still shows, at the signature, and checking twice only costs time.
    explicit InflateStreamBuf(std::streambuf* source, Checksum checksum = Checksum::Check);
    ~InflateStreamBuf() override;
    InflateStreamBuf(const InflateStreamBuf&) = delete;
    InflateStreamBuf& operator=(const InflateStreamBuf&) = delete;

    // Inflated bytes delivered into the output buffer so far (consumed or not).
    uint64_t produced() const { return produced_; }
    // Consumes up to `most` inflated bytes where they lie, without copying them: valid until the
    // next read. Empty at the end of the data.
    std::string_view take(size_t most);

  protected:
    int_type underflow() override;
    // Only forward moves exist: the inflated data cannot be read again. From the current
    // position by n >= 0 bytes (the skip over an entry's data), or to an absolute position not
    // behind the current one. From the end: fails, the length is unknown until the end.
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

  private:
    // Inflated bytes consumed by the reader: the stream position.
    uint64_t position() const;
    // Reads and discards n bytes; false when the data ends first.
    [[nodiscard]] bool skip(uint64_t n);

    std::unique_ptr<char[]> output_;
    std::unique_ptr<unsigned char[]> input_;
    z_stream inflater_{};
    std::streambuf* source_;
    uint64_t produced_ = 0;
    bool initialised_ = false;
    bool ended_ = false;  // end of the zlib stream, a corrupt stream or the source's end
};

}  // namespace velmara

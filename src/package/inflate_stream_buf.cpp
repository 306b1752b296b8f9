#include "package/inflate_stream_buf.h"

#include <algorithm>

namespace velmara {

namespace {

using Traits = std::char_traits<char>;

const std::streambuf::pos_type kBadPosition{std::streambuf::off_type(-1)};

}  // namespace

InflateStreamBuf::InflateStreamBuf(std::streambuf* source, Checksum checksum)
    : output_(new char[kInflatePutback + kInflateOutputBlock]),
      input_(new unsigned char[kInflateInputBlock]),
      source_(source) {
    char* const block = output_.get() + kInflatePutback;
    setg(block, block, block);
    // A stream that cannot be set up reads as empty; the caller sees the end of the data.
    initialised_ = inflateInit(&inflater_) == Z_OK;
    if (initialised_ && checksum == Checksum::Skip) inflateValidate(&inflater_, 0);
    ended_ = !initialised_ || source_ == nullptr;
}

InflateStreamBuf::~InflateStreamBuf() {
    if (initialised_) inflateEnd(&inflater_);
}

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
    if (gptr() < egptr()) return Traits::to_int_type(*gptr());
    if (ended_) return Traits::eof();

    char* const block = output_.get() + kInflatePutback;
    // The last byte of the block just read stays available to unget across the refill.
    const bool keepLast = egptr() > block;
    if (keepLast) output_[kInflatePutback - 1] = egptr()[-1];

    for (;;) {
        if (inflater_.avail_in == 0) {
            const std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_.get()),
                                                       std::streamsize(kInflateInputBlock));
            if (got <= 0) {
                ended_ = true;
                return Traits::eof();
            }
            inflater_.next_in = input_.get();
            inflater_.avail_in = uInt(got);
        }
        inflater_.next_out = reinterpret_cast<Bytef*>(block);
        inflater_.avail_out = uInt(kInflateOutputBlock);
        const int result = inflate(&inflater_, Z_PARTIAL_FLUSH);
        // Damaged data reads as the end of the data: the entry being read comes out short.
        if (result != Z_OK && result != Z_STREAM_END) {
            ended_ = true;
            return Traits::eof();
        }
        // Bytes after the end of the zlib stream are never inflated; the reader passes over
        // whatever is left of the part.
        if (result == Z_STREAM_END) ended_ = true;
        const size_t made = kInflateOutputBlock - inflater_.avail_out;
        if (made == 0) {
            if (ended_) return Traits::eof();
            continue;
        }
        produced_ += made;
        setg(keepLast ? block - 1 : block, block, block + made);
        return Traits::to_int_type(*gptr());
    }
}

std::string_view InflateStreamBuf::take(size_t most) {
    if (gptr() == egptr() && Traits::eq_int_type(underflow(), Traits::eof())) return {};
    const size_t count = std::min(most, size_t(egptr() - gptr()));
    const std::string_view bytes(gptr(), count);
    gbump(int(count));
    return bytes;
}

uint64_t InflateStreamBuf::position() const {
    return produced_ - uint64_t(egptr() - gptr());
}

bool InflateStreamBuf::skip(uint64_t n) {
    char discard[kInflateSkipStep];
    while (n > 0) {
        const std::streamsize step = std::streamsize(std::min<uint64_t>(n, kInflateSkipStep));
        if (sgetn(discard, step) != step) return false;
        n -= uint64_t(step);
    }
    return true;
}

InflateStreamBuf::pos_type InflateStreamBuf::seekoff(off_type offset,
                                                     std::ios_base::seekdir direction,
                                                     std::ios_base::openmode which) {
    if (!(which & std::ios_base::in)) return kBadPosition;
    if (direction == std::ios_base::beg) return seekpos(pos_type(offset), which);
    if (direction != std::ios_base::cur || offset < 0) return kBadPosition;
    if (!skip(uint64_t(offset))) return kBadPosition;
    return pos_type(off_type(position()));
}

InflateStreamBuf::pos_type InflateStreamBuf::seekpos(pos_type position,
                                                     std::ios_base::openmode which) {
    const off_type target = off_type(position);
    if (!(which & std::ios_base::in) || target < 0) return kBadPosition;
    const uint64_t here = this->position();
    if (uint64_t(target) < here) return kBadPosition;
    if (!skip(uint64_t(target) - here)) return kBadPosition;
    return position;
}

}  // namespace velmara

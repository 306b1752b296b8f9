#include "vlpkg/container_writer.h"

#include "vlpkg/content_source.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;

ContainerWriter::~ContainerWriter() {
    if (started_) deflateEnd(&stream_);
}

bool ContainerWriter::begin() {
    if (!beginPart(sink_, kPartFiles, partStart_)) return false;
    if (deflateInit(&stream_, level_) != Z_OK) return fail("cannot start compression");
    started_ = true;
    output_.resize(kOutputSize);
    return true;
}

bool ContainerWriter::deflateBytes(const void* data, size_t size, int flush) {
    // zlib's counters are unsigned int; feed it in pieces that always fit.
    const auto* bytes = static_cast<const Bytef*>(data);
    do {
        const size_t step = std::min<size_t>(size, 1u << 30);
        stream_.next_in = const_cast<Bytef*>(bytes);
        stream_.avail_in = uInt(step);
        const int pieceFlush = step == size ? flush : Z_NO_FLUSH;
        int result;
        do {
            stream_.next_out = output_.data();
            stream_.avail_out = uInt(output_.size());
            result = deflate(&stream_, pieceFlush);
            if (result == Z_STREAM_ERROR) return fail("compression failed");
            if (!sink_.write(output_.data(), output_.size() - stream_.avail_out)) return false;
        } while (stream_.avail_out == 0 || (pieceFlush == Z_FINISH && result != Z_STREAM_END));
        bytes += step;
        size -= step;
    } while (size > 0);
    return true;
}

bool ContainerWriter::add(const FileSpec& file) {
    ContentSource source;
    if (!source.open(file.content)) return false;
    if (source.size() > kMaxLength)
        return fail("%s is too large for a package (4 GiB at most)", file.name.c_str());
    if (file.name.empty() || file.name.size() > kMaxFileNameLength)
        return fail("file name \"%s\" is empty or too long", file.name.c_str());
    const std::string header = encodeFileEntryHeader(file, uint32_t(source.size()));
    if (!deflateBytes(header.data(), header.size(), Z_NO_FLUSH)) return false;
    if (!deflateBytes(file.name.data(), file.name.size(), Z_NO_FLUSH)) return false;
    return source.forEachChunk(
        [this](const void* data, size_t size) { return deflateBytes(data, size, Z_NO_FLUSH); });
}

bool ContainerWriter::finish() {
    if (!deflateBytes(nullptr, 0, Z_FINISH)) return false;
    deflateEnd(&stream_);
    started_ = false;
    return finishPart(sink_, partStart_);
}

}  // namespace vlpkg

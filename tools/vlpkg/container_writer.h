// Streams the file container: entry header, name and data of each file, deflated into one zlib
// stream inside a file container part.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

#include "vlpkg/byte_sink.h"
#include "vlpkg/package_writer.h"

namespace vlpkg {

using namespace velmara;

class ContainerWriter {
  public:
    ContainerWriter(ByteSink& sink, int level) : sink_(sink), level_(level) {}
    ~ContainerWriter();
    ContainerWriter(const ContainerWriter&) = delete;
    ContainerWriter& operator=(const ContainerWriter&) = delete;

    // Writes the part header and starts the zlib stream.
    [[nodiscard]] bool begin();
    [[nodiscard]] bool add(const FileSpec& file);
    // Ends the zlib stream and sets the part's length.
    [[nodiscard]] bool finish();

  private:
    [[nodiscard]] bool deflateBytes(const void* data, size_t size, int flush);

    static constexpr size_t kOutputSize = 64 * 1024;
    ByteSink& sink_;
    int level_;
    z_stream stream_{};
    bool started_ = false;
    uint64_t partStart_ = 0;
    std::vector<uint8_t> output_;
};

}  // namespace vlpkg

// Reads a Content (bytes in memory or a host file) in bounded chunks, checking that a host file
// delivers exactly the size it had when it was opened.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "vlpkg/package_writer.h"

namespace vlpkg {

using namespace velmara;

class ContentSource {
  public:
    ContentSource() = default;
    ~ContentSource();
    ContentSource(const ContentSource&) = delete;
    ContentSource& operator=(const ContentSource&) = delete;

    [[nodiscard]] bool open(const Content& content);
    uint64_t size() const { return size_; }
    // Hands the contents to `consume` in chunks; stops at the first chunk it refuses.
    [[nodiscard]] bool forEachChunk(const std::function<bool(const void*, size_t)>& consume);

    static constexpr size_t kChunkSize = 64 * 1024;

  private:
    const Content* content_ = nullptr;
    int fd_ = -1;
    uint64_t size_ = 0;
};

}  // namespace vlpkg

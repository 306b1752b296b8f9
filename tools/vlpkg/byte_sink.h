// Destinations for package bytes. Lengths in the format precede their data, so a writer streams
// a part first and patches its length afterwards: every sink can rewrite bytes already written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace vlpkg {

class ByteSink {
  public:
    virtual ~ByteSink();
    [[nodiscard]] virtual bool write(const void* data, size_t size) = 0;
    // Overwrites bytes already written; never extends the output.
    [[nodiscard]] virtual bool patch(uint64_t offset, const void* data, size_t size) = 0;
    virtual uint64_t position() const = 0;
    // A stream over everything written so far, for a second pass over the output (null when it
    // cannot be read back).
    virtual std::unique_ptr<std::istream> readBack() = 0;

    [[nodiscard]] bool write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }
};

// Keeps the bytes in memory; for tests and small packages.
class StringSink : public ByteSink {
  public:
    [[nodiscard]] bool write(const void* data, size_t size) override;
    [[nodiscard]] bool patch(uint64_t offset, const void* data, size_t size) override;
    uint64_t position() const override { return bytes.size(); }
    std::unique_ptr<std::istream> readBack() override;
    using ByteSink::write;

    std::string bytes;
};

// Writes a file under a temporary name beside the target and renames it over the target only
// at commit, so a failed run never leaves a truncated package where a good one is expected.
class FileSink : public ByteSink {
  public:
    FileSink() = default;
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    [[nodiscard]] bool open(const std::string& target);
    [[nodiscard]] bool write(const void* data, size_t size) override;
    [[nodiscard]] bool patch(uint64_t offset, const void* data, size_t size) override;
    uint64_t position() const override { return written_ + buffer_.size(); }
    std::unique_ptr<std::istream> readBack() override;
    using ByteSink::write;
    // Flushes, syncs and renames the file into place; the sink is closed afterwards.
    [[nodiscard]] bool commit();
    // Drops the temporary file (also done by the destructor when not committed).
    void discard();

  private:
    [[nodiscard]] bool flush();

    static constexpr size_t kBufferSize = 64 * 1024;
    int fd_ = -1;
    std::string target_;
    std::string temporary_;
    std::vector<uint8_t> buffer_;
    uint64_t written_ = 0;
};

}  // namespace vlpkg

// A package file (or standard input) opened for the package reader through a file buffer: such
// a buffer throws on a read error, which the reader catches and keeps as the error it is,
// where other sources would make a failed read look like the end of the data.
#pragma once

#include <ext/stdio_filebuf.h>
#include <istream>
#include <memory>
#include <string>

namespace velmara {

class InputFile {
  public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // False, with errno set, when the file cannot be opened.
    [[nodiscard]] bool open(const std::string& path);
    // Reads an open descriptor, which the file then owns and closes.
    void adopt(int fd);
    std::istream& stream() { return stream_; }
    // An open regular file: a directory opens too, but every read of it fails.
    [[nodiscard]] bool isRegularFile() const;

  private:
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer_;
    std::istream stream_{nullptr};
};

}  // namespace velmara

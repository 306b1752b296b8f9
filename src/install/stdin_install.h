// The standard-input mode: one package read from standard input is installed, and the copy of
// it taken while it is read becomes the package's kept image (or the boot image).
#pragma once

#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "pkgdb/installer.h"
#include "resolve/resolution.h"
#include "staging/manifest.h"

namespace velmara {

// The copy is written here while the package is read ("/flash/var/pdb/image" by another name).
constexpr const char* kStdinCopyPath = "/flash/var/pdb//image";
constexpr const char* kStdinCopySource = "/flash/var/pdb/image";
constexpr const char* kImageFileName = "image";
constexpr const char* kCopyNotOpened = "ERROR: could not open image";
// Exit status when the copy cannot even be opened.
constexpr int kStdinCopyUnavailable = -1;

// A write-only file behind a stream buffer that remembers why its first write failed, so the
// failure can be reported once, with its cause, after the reader has stopped at it.
class CopySink : public std::streambuf {
  public:
    static constexpr size_t kBufferSize = 65536;

    CopySink() = default;
    ~CopySink() override;
    CopySink(const CopySink&) = delete;
    CopySink& operator=(const CopySink&) = delete;

    // Creates or truncates the file; false (errno set) when it cannot be opened.
    [[nodiscard]] bool open(const std::string& path);
    // Writes what is buffered and closes the file; false when any write failed.
    [[nodiscard]] bool close();
    // errno of the first failed write, 0 when none failed.
    int error() const { return error_; }

  protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override;
    int_type overflow(int_type character) override;
    int sync() override;

  private:
    bool flushBuffer();
    bool writeAll(const char* bytes, size_t count);

    int fd_ = -1;
    int error_ = 0;
    std::vector<char> buffer_;
};

// Stages the empty flag file that tells the system that packages changed; false (reported)
// when it could not be staged.
[[nodiscard]] bool stagePackagesChanged(Installer& installer, Manifest& manifest);

// Runs the mode on `in` after the scheduled actions were staged in `manifest`: installs the
// package, commits on success and discards on failure, writes the postlog. Returns the exit
// status: the installation's result, or kStdinCopyUnavailable.
int installFromStdin(Installer& installer, Manifest& manifest, InstallFlags flags,
                     std::istream& in);

}  // namespace velmara

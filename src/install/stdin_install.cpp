#include "install/stdin_install.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "install/install.h"
#include "pkgdb/database.h"
#include "report/reporter.h"
#include "resolve/space.h"
#include "staging/temporaries.h"

namespace velmara {

CopySink::~CopySink() {
    (void)close();
}

bool CopySink::open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    error_ = 0;
    buffer_.resize(kBufferSize);
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return true;
}

bool CopySink::writeAll(const char* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd_, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error_ = written < 0 ? errno : EIO;
            return false;
        }
        bytes += written;
        count -= size_t(written);
    }
    return true;
}

bool CopySink::flushBuffer() {
    const size_t pending = size_t(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    if (error_ != 0 || fd_ < 0) return false;
    return pending == 0 || writeAll(buffer_.data(), pending);
}

std::streamsize CopySink::xsputn(const char* bytes, std::streamsize count) {
    if (error_ != 0 || fd_ < 0 || count <= 0) return 0;
    const size_t n = size_t(count);
    if (n > size_t(epptr() - pptr())) {
        if (!flushBuffer()) return 0;
        // Large blocks go straight to the file rather than through the buffer.
        if (n >= buffer_.size()) return writeAll(bytes, n) ? count : 0;
    }
    std::memcpy(pptr(), bytes, n);
    pbump(int(n));
    return count;
}

CopySink::int_type CopySink::overflow(int_type character) {
    if (traits_type::eq_int_type(character, traits_type::eof()))
        return sync() == 0 ? traits_type::not_eof(character) : traits_type::eof();
    if (!flushBuffer()) return traits_type::eof();
    *pptr() = traits_type::to_char_type(character);
    pbump(1);
    return character;
}

int CopySink::sync() {
    return flushBuffer() ? 0 : -1;
}

bool CopySink::close() {
    if (fd_ < 0) return error_ == 0;
    const bool flushed = flushBuffer();
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
    fd_ = -1;
    return flushed && error_ == 0;
}

bool stagePackagesChanged(Installer& installer, Manifest& manifest) {
    if (stageFile(manifest, kPackagesChangedFlag, 1, "")) return true;
    Reporter::writeFailed(installer, kPackagesChangedFlag, errno);
    return false;
}

int installFromStdin(Installer& installer, Manifest& manifest, InstallFlags flags,
                     std::istream& in) {
    CopySink copy;
    // The copy lies on flash outside the manifest: the marker must be there first, so that a
    // run cut short has it removed.
    if (!markStaging() || !copy.open(kStdinCopyPath)) {
        std::cout << kCopyNotOpened << '\n' << std::flush;
        // Nothing is carried out, and the scheduled actions' staged files are not left behind.
        manifest.discard();
        return kStdinCopyUnavailable;
    }
    std::string imageDir;
    bool bootFlag = false;
    int result =
        installFromStream(installer, manifest, in, flags, ChoiceMap{}, &copy, &imageDir, &bootFlag);
    // The installation stopped silently at a failed copy; the cause is reported here, once.
    if (!copy.close()) Reporter::writeFailed(installer, kStdinCopyPath, copy.error());
    // Whatever failed to be read or written (here, or in the scheduled actions staged before
    // or after the package) leaves the run's changes incomplete.
    if (result == kInstallDone && installer.failure != 0) result = kInstallUnreadable;
    if (result == kInstallDone && !stagePackagesChanged(installer, manifest))
        result = kInstallUnreadable;

    const bool copyKept = result == kInstallDone && (bootFlag || !imageDir.empty());
    // The copy was written outside the manifest: unless it becomes an image, nothing else
    // would ever remove it from flash. Removed before the commit, it is not synced either.
    if (!copyKept) unlink(kStdinCopyPath);
    bool unfinished = false;
    if (result != kInstallDone) {
        manifest.discard();
    } else {
        if (bootFlag) {
            manifest.addMove(kStdinCopySource, kBootImagePath);
            if (!imageDir.empty()) manifest.addLink(kBootImagePath, imageDir + kImageFileName);
        } else if (!imageDir.empty()) {
            manifest.addMove(kStdinCopySource, imageDir + kImageFileName);
        }
        // The same rules as an upgrade's: a reinstall is how a router short of space is repaired.
        if ((flags & allowReinstall) == 0 && !hasEnoughSpace(manifest)) {
            Reporter::error(installer, "not enough space for upgrade");
            manifest.discard();
            result = kNoSpaceStatus;
        } else {
            const Manifest::Result committed = commitRun(manifest);
            if (committed != Manifest::Result::Done) result = kCommitFailedStatus;
            unfinished = committed == Manifest::Result::Unfinished;
        }
    }
    // Staged to become the image, the copy goes with a refused commit; an unfinished commit's
    // journal still moves it into place.
    if (result != kInstallDone && copyKept && !unfinished) unlink(kStdinCopyPath);
    Reporter::writePostlog(installer);
    return result;
}

}  // namespace velmara

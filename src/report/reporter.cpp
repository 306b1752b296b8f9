#include "report/reporter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "package/package_reader.h"

namespace Reporter {

void message(Installer& installer, const char* prefix, const char* format, va_list args) {
    char formatted[kMessageBuffer];
    std::vsnprintf(formatted, sizeof formatted, format, args);
    std::string text = prefix ? prefix : "";
    text += formatted;
    if (installer.quiet) return;

    std::ostream& out = *installer.console;
    if (!installer.statusLine.empty()) {
        out << '\r' << std::string(kBlankWidth, ' ') << '\r';
        out.flush();
    }
    out << text << '\n';
    out.flush();
    if (!installer.statusLine.empty()) {
        // The status line moves below the message instead of scrolling away.
        out << installer.statusLine;
        out.flush();
    }
    installer.messages.push_back(std::move(text));
}

void info(Installer& installer, const char* format, ...) {
    status(installer, "");
    va_list args;
    va_start(args, format);
    message(installer, nullptr, format, args);
    va_end(args);
}

void warning(Installer& installer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    message(installer, "WARNING: ", format, args);
    va_end(args);
}

void error(Installer& installer, const char* format, ...) {
    status(installer, "");
    va_list args;
    va_start(args, format);
    message(installer, "ERROR: ", format, args);
    va_end(args);
}

void status(Installer& installer, const std::string& text) {
    if (installer.quiet) return;
    if (text == installer.statusLine) return;
    std::ostream& out = *installer.console;
    out << "\x1b[?25l\r" << text;
    if (text.size() < installer.statusLine.size())
        out << std::string(installer.statusLine.size() - text.size(), ' ');
    out << "\r\x1b[?25h";
    out.flush();
    installer.statusLine = text;
}

std::string progressLine(const InstalledPackage& record, uint64_t consumed, uint64_t whole) {
    std::string line = "installing ";
    if (record.disabled && record.bundle.name.empty()) line += " (disabled) ";
    line += displayName(record);
    line += " [";
    // A name too long for the line leaves no room for a bar; it is then drawn without one.
    if (line.size() >= kBarLineWidth) return line + "]";
    const uint64_t width = kBarLineWidth - line.size();
    uint64_t filled = whole == 0 ? 0 : consumed * width / whole;
    if (filled > width) filled = width;
    line.append(filled, '#');
    line.append(width - filled, ' ');
    line += ']';
    return line;
}

void progress(Installer& installer, const InstalledPackage& record, uint64_t consumed,
              uint64_t whole) {
    status(installer, progressLine(record, consumed, whole));
}

void progress(Installer& installer, const InstalledPackage& record, const PackageReader& reader) {
    progress(installer, record, reader.consumed(), reader.declaredSize());
}

namespace {

void markFailed(Installer& installer, int cause) {
    if (installer.failure == 0) installer.failure = cause != 0 ? cause : EIO;
}

}  // namespace

void installFailed(Installer& installer, const InstalledPackage& record, const std::string& path) {
    const int cause = errno;
    markFailed(installer, cause);
    const std::string name = displayName(record);
    if (cause == ENOSPC)
        error(installer, "installation of %s failed: disk is too small", name.c_str());
    else if (cause == EIO)
        error(installer, "installation of %s failed: disk error", name.c_str());
    else
        error(installer, "installation of %s failed: could not create %s: %s", name.c_str(),
              path.c_str(), std::strerror(cause));
}

void readFailed(Installer& installer, const std::string& what, int cause) {
    markFailed(installer, cause);
    error(installer, "could not read %s: %s", what.c_str(), std::strerror(cause));
}

void writeFailed(Installer& installer, const std::string& what, int cause) {
    markFailed(installer, cause);
    error(installer, "could not write %s: %s", what.c_str(), std::strerror(cause));
}

void brokenPackage(Installer& installer, const InstalledPackage& record) {
    error(installer, "installation of %s failed: broken package", displayName(record).c_str());
}

void brokenPackage(Installer& installer, const InstalledPackage& record, const std::string& why) {
    error(installer, "installation of %s failed: broken package: %s", displayName(record).c_str(),
          why.c_str());
}

void reservePostlog(Installer& installer) {
    {
        std::ifstream old(installer.postlogPath, std::ios::binary);
        std::string line;
        std::vector<std::string> earlier;
        // getline sets eof on a last line without "\n"; that partial line is dropped.
        while (old && std::getline(old, line) && !old.eof()) earlier.push_back(line);
        // Earlier runs' lines go before this run's, also before what it reported already.
        installer.messages.insert(installer.messages.begin(), earlier.begin(), earlier.end());
    }
    {
        std::ofstream reserve(installer.postlogPath, std::ios::binary | std::ios::trunc);
        const std::string zeros(kPostlogReserve, '\0');
        reserve.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    installer.postlogReset = true;
}

void writePostlog(Installer& installer) {
    if (!installer.postlogReset && installer.messages.empty()) return;
    const int fd =
        open(installer.postlogPath.c_str(),
             O_WRONLY | O_CREAT | O_CLOEXEC | (installer.postlogReset ? O_TRUNC : O_APPEND), 0666);
    if (fd < 0) return;
    std::string text;
    for (const auto& line : installer.messages) text += line + '\n';
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        done += size_t(written);
    }
    // The log outlasts the run: it alone is synced, not every file system of the machine.
    fsync(fd);
    close(fd);
}

}  // namespace Reporter

// Console messages, the in-place status line and progress bar, and the postlog.
#pragma once

#include <cstdint>
#include <string>

#include "pkgdb/installer.h"

class PackageReader;

namespace Reporter {

// Width of the console line that a status line may occupy; the bar line is 77 characters.
constexpr size_t kBlankWidth = 79;
constexpr size_t kBarLineWidth = 76;
// The formatted part of a message is cut to this buffer (255 characters and the terminator).
constexpr size_t kMessageBuffer = 256;
// A reserved postlog holds this many zero bytes until the run writes it.
constexpr size_t kPostlogReserve = 4096;

void message(Installer& installer, const char* prefix, const char* format, va_list args);
void info(Installer& installer, const char* format, ...) __attribute__((format(printf, 2, 3)));
void warning(Installer& installer, const char* format, ...) __attribute__((format(printf, 2, 3)));
void error(Installer& installer, const char* format, ...) __attribute__((format(printf, 2, 3)));
void status(Installer& installer, const std::string& text);

// The installing bar for a package: `consumed` of `whole` bytes read.
std::string progressLine(const InstalledPackage& record, uint64_t consumed, uint64_t whole);
void progress(Installer& installer, const InstalledPackage& record, uint64_t consumed,
              uint64_t whole);
// The bar for a package being read: the reader's consumed bytes against its declared size.
void progress(Installer& installer, const InstalledPackage& record, const PackageReader& reader);

// An error chosen by errno as it is on entry; `path` names the file that could not be made.
// Like the two below, it marks the run as failed (Installer::failure).
void installFailed(Installer& installer, const InstalledPackage& record, const std::string& path);
// "could not read WHAT: ERROR-TEXT" and "could not write WHAT: ERROR-TEXT" for the errno `cause`.
void readFailed(Installer& installer, const std::string& what, int cause);
void writeFailed(Installer& installer, const std::string& what, int cause);
void brokenPackage(Installer& installer, const InstalledPackage& record);
// The same with what is wrong with it: "installation of PKG failed: broken package: WHY".
void brokenPackage(Installer& installer, const InstalledPackage& record, const std::string& why);

void reservePostlog(Installer& installer);
void writePostlog(Installer& installer);

}  // namespace Reporter

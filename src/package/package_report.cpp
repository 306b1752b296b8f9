#include "package/package_report.h"

#include <cerrno>
#include <cstring>

namespace velmara {

namespace Reporter {

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

void progress(ReportContext& context, const InstalledPackage& record, uint64_t consumed,
              uint64_t whole) {
    status(context, progressLine(record, consumed, whole));
}

void progress(ReportContext& context, const InstalledPackage& record, const PackageReader& reader) {
    progress(context, record, reader.consumed(), reader.declaredSize());
}

void installFailed(ReportContext& context, const InstalledPackage& record,
                   const std::string& path) {
    const int cause = errno;
    markFailed(context, cause);
    const std::string name = displayName(record);
    if (cause == ENOSPC)
        error(context, "installation of %s failed: disk is too small", name.c_str());
    else if (cause == EIO)
        error(context, "installation of %s failed: disk error", name.c_str());
    else
        error(context, "installation of %s failed: could not create %s: %s", name.c_str(),
              path.c_str(), std::strerror(cause));
}

void brokenPackage(ReportContext& context, const InstalledPackage& record) {
    error(context, "installation of %s failed: broken package", displayName(record).c_str());
}

void brokenPackage(ReportContext& context, const InstalledPackage& record, const std::string& why) {
    error(context, "installation of %s failed: broken package: %s", displayName(record).c_str(),
          why.c_str());
}

}  // namespace Reporter

}  // namespace velmara

// The reporter's messages about one package: its installing bar and why its installation failed.
#pragma once

#include <cstdint>
#include <string>

#include "package/package_reader.h"
#include "record/package_record.h"
#include "report/reporter.h"

namespace velmara {

namespace Reporter {

// The installing bar for a package: `consumed` of `whole` bytes read.
std::string progressLine(const InstalledPackage& record, uint64_t consumed, uint64_t whole);
void progress(ReportContext& context, const InstalledPackage& record, uint64_t consumed,
              uint64_t whole);
// The bar for a package being read: the reader's consumed bytes against its declared size.
void progress(ReportContext& context, const InstalledPackage& record, const PackageReader& reader);

// An error chosen by errno as it is on entry; `path` names the file that could not be made.
// Like readFailed and writeFailed, it marks the run as failed (ReportContext::failure).
void installFailed(ReportContext& context, const InstalledPackage& record, const std::string& path);
void brokenPackage(ReportContext& context, const InstalledPackage& record);
// The same with what is wrong with it: "installation of PKG failed: broken package: WHY".
void brokenPackage(ReportContext& context, const InstalledPackage& record, const std::string& why);

}  // namespace Reporter

}  // namespace velmara

#include "frontend/listing.h"

#include <ctime>
#include <iomanip>

namespace velmara {

namespace {

constexpr size_t kTimeBuffer = 128;
constexpr const char* kBuiltFormat = "%b/%d/%Y %H:%M:%S";

}  // namespace

std::string builtText(uint32_t buildTime) {
    const time_t seconds = static_cast<time_t>(buildTime);
    struct tm broken;
    if (!gmtime_r(&seconds, &broken)) return {};
    char text[kTimeBuffer];
    const size_t length = strftime(text, sizeof text, kBuiltFormat, &broken);
    return std::string(text, length);
}

void showPackages(const Installer& installer, std::ostream& out) {
    out << std::setw(kNameWidth) << "Name" << std::setw(0) << "    " << std::setw(kVersionWidth)
        << "Version" << std::setw(0) << " " << std::setw(kBuiltWidth) << "Built"
        << std::setw(kNoteWidth) << "Note" << '\n';
    out << std::string(kRuleLength, '-') << '\n';
    for (const auto& record : installer.packages) {
        out << std::setw(kNameWidth) << record->name << std::setw(0) << " "
            << std::setw(kStateMarkWidth) << (record->disabled ? "X" : " ")
            << std::setw(kBundleMarkWidth) << (record->bundle.name.empty() ? "  " : "B ")
            << std::setw(kVersionWidth) << versionText(record->version) << std::setw(0) << " "
            << std::setw(kBuiltWidth) << builtText(record->buildTime) << std::setw(0) << " "
            << std::setw(kNoteWidth) << record->note << std::setw(0) << '\n';
    }
    out.flush();
}

}  // namespace velmara

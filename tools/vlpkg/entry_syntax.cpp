#include "vlpkg/entry_syntax.h"

#include <cerrno>
#include <cstdlib>

#include "record/names.h"
#include "vlpkg/package_format.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

bool parseBound(const std::string& whole, const std::string& text, PackageVersion& version) {
    if (text.empty()) return true;
    if (!parseVersion(text, version))
        return fail("entry \"%s\": \"%s\" is not a version", whole.c_str(), text.c_str());
    return true;
}

}  // namespace

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos)
        return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || parsed > max) return false;
    value = parsed;
    return true;
}

bool parseEntry(const std::string& text, DependencyEntry& entry) {
    DependencyEntry parsed;
    std::string rest = text;
    const size_t at = rest.find('@');
    if (at != std::string::npos) {
        const std::string priority = rest.substr(at + 1);
        const bool negative = !priority.empty() && priority[0] == '-';
        uint64_t magnitude;
        if (!parseUnsigned(negative ? priority.substr(1) : priority,
                           negative ? 0x80000000u : 0x7FFFFFFFu, magnitude) ||
            priority.find('x') != std::string::npos || priority.find('X') != std::string::npos)
            return fail("entry \"%s\": priority \"%s\" is not a number", text.c_str(),
                        priority.c_str());
        parsed.priority = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
        rest.resize(at);
    }
    const size_t colon = rest.find(':');
    parsed.name = rest.substr(0, colon);
    if (parsed.name.empty()) return fail("entry %s has no name", shown(text).c_str());
    if (parsed.name.size() > kNameFieldSize)
        return fail("entry %s: the name is longer than %zu bytes", shown(text).c_str(),
                    kNameFieldSize);
    // Entries name packages, and the database keeps them as words of its list files.
    if (const char* problem = packageNameProblem(parsed.name))
        return fail("entry %s: package name %s %s", shown(text).c_str(), shown(parsed.name).c_str(),
                    problem);
    if (colon != std::string::npos) {
        const std::string bounds = rest.substr(colon + 1);
        const size_t second = bounds.find(':');
        if (!parseBound(text, bounds.substr(0, second), parsed.minVersion)) return false;
        if (second != std::string::npos &&
            !parseBound(text, bounds.substr(second + 1), parsed.maxVersion))
            return false;
    }
    // A reversed range matches nothing, which is never what the author meant.
    if (parsed.maxVersion != 0 && parsed.minVersion > parsed.maxVersion)
        return fail("entry \"%s\": the lowest version is above the highest", text.c_str());
    entry = parsed;
    return true;
}

std::string entryText(const DependencyEntry& entry) {
    std::string text = entry.name;
    if (entry.minVersion != 0 || entry.maxVersion != 0) {
        text += ':';
        if (entry.minVersion != 0) text += versionText(entry.minVersion);
        if (entry.maxVersion != 0) text += ':' + versionText(entry.maxVersion);
    }
    if (entry.priority != 0) text += '@' + std::to_string(entry.priority);
    return text;
}

}  // namespace vlpkg

#include "record/names.h"

#include <cctype>

namespace velmara {

namespace {

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

}  // namespace

const char* packageNameProblem(std::string_view name) {
    if (name.empty()) return "may not be empty";
    // The database directory of a package so named would stand where the standard-input mode
    // keeps its copy of the package being installed, and no such install could run again.
    if (name == kReservedPackageName) return "is reserved for the installer";
    if (name[0] == '.') return "may not begin with \".\"";
    for (const char c : name) {
        if (c == '/') return "may not contain \"/\"";
        if (std::isspace(static_cast<unsigned char>(c))) return "may not contain white space";
        if (isControl(c)) return "may not contain control characters";
    }
    return nullptr;
}

const char* entryNameProblem(std::string_view name) {
    if (!name.empty() && name.front() == '/') name.remove_prefix(1);
    for (;;) {
        const size_t slash = name.find('/');
        const std::string_view component = name.substr(0, slash);
        if (component.empty()) return "may not have an empty component (as in \"a//b\" or \"a/\")";
        if (component == "." || component == "..")
            return "may not have a \".\" or \"..\" component";
        for (const char c : component)
            if (isControl(c)) return "may not contain control characters";
        if (slash == std::string_view::npos) return nullptr;
        name.remove_prefix(slash + 1);
    }
}

}  // namespace velmara

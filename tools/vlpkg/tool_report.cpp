#include "vlpkg/tool_report.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "report/reporter.h"

namespace vlpkg {

using namespace velmara;

bool fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Reporter::message(Reporter::runContext(), "ERROR: ", format, args);
    va_end(args);
    return false;
}

std::string shown(const std::string& name) {
    std::string text = "\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", unsigned(byte));
            text += escape;
        } else {
            text += c;
        }
    }
    return text + "\"";
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(byte));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string timeText(uint32_t seconds) {
    const std::time_t t = std::time_t(seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

}  // namespace vlpkg

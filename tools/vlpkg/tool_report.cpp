#include "vlpkg/tool_report.h"

#include <cstdarg>

#include "report/reporter.h"

namespace vlpkg {

bool fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Reporter::message(Installer::instance(), "ERROR: ", format, args);
    va_end(args);
    return false;
}

}  // namespace vlpkg

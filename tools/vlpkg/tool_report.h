// The tool reports its failures through the installer's Reporter, so a library caller (a test)
// sees them the same way, on the console stream it chose.
#pragma once

#include <cstdint>
#include <string>

namespace vlpkg {

// Reports "ERROR: ..." once and returns false, so failure paths read `return fail(...)`.
bool fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A name for a message: quoted, with bytes that would garble a console line (control
// characters, quotes, backslashes) written as escapes.
std::string shown(const std::string& name);
// A JSON string: control characters, and bytes outside ASCII (names need not be UTF-8), as
// \u escapes.
std::string jsonString(const std::string& text);
// A build or record time (seconds since 1970) as "YYYY-MM-DD HH:MM:SS UTC".
std::string timeText(uint32_t seconds);

}  // namespace vlpkg

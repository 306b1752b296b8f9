// The tool reports its failures through the installer's Reporter, so a library caller (a test)
// sees them the same way, on the console stream it chose.
#pragma once

namespace vlpkg {

// Reports "ERROR: ..." once and returns false, so failure paths read `return fail(...)`.
bool fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vlpkg

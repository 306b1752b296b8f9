// The command-line form of a list entry: NAME[:MIN[:MAX]][@PRIORITY]. MIN and MAX are version
// texts ("6.48", "7.1beta3"); an empty or missing bound means none, so "foo::7.1" has only an
// upper bound. PRIORITY is a signed decimal number.
#pragma once

#include <string>

#include "record/package_record.h"

namespace vlpkg {

using namespace velmara;

// Reports what is wrong with the text and returns false.
[[nodiscard]] bool parseEntry(const std::string& text, DependencyEntry& entry);
// The same form, with only the fields that are set.
std::string entryText(const DependencyEntry& entry);

// A number in decimal or with a 0x prefix in hexadecimal, within [0, max].
[[nodiscard]] bool parseUnsigned(const std::string& text, uint64_t max, uint64_t& value);

}  // namespace vlpkg

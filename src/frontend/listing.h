// The table of installed packages that "--show" prints.
#pragma once

#include <cstddef>
#include <iostream>
#include <string>

#include "pkgdb/installer.h"

namespace velmara {

// Column widths of the table; the header adds up to 94 characters, a row to 95.
constexpr int kNameWidth = 16;
constexpr int kStateMarkWidth = 1;
constexpr int kBundleMarkWidth = 2;
constexpr int kVersionWidth = 13;
constexpr int kBuiltWidth = 20;
constexpr int kNoteWidth = 40;
constexpr size_t kRuleLength = 94;

// The build time as UTC in the "Built" column, e.g. "Mar/07/2019 10:22:05"; empty when it
// cannot be converted.
std::string builtText(uint32_t buildTime);

// Writes the header, the rule and one row per record of `packages`, in their loaded order.
// It goes straight to the stream, not through the reporter: it prints under "-q" too and is
// no part of the postlog.
void showPackages(const Installer& installer, std::ostream& out = std::cout);

}  // namespace velmara

#include <fstream>

#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/package_inspector.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kInspectHelp =
    "usage: vlpkg inspect [--json] FILE\n"
    "Shows every part of a package file with its type, offset and length, and what it holds:\n"
    "header fields, texts, lists, file entries (mode, board variant, size, name) and which\n"
    "signature schemes are present, with the digest the installer checks them against.\n"
    "Exits 1 when the file is damaged (after showing what could be read).\n"
    "\n"
    "  --json                 one JSON object instead of text\n"
    "  -h, --help             show this help\n";

}  // namespace

int inspectCommand(const std::vector<std::string>& args, std::ostream& out) {
    bool json = false;
    std::string path;
    OptionCursor cursor(args);
    while (!cursor.atEnd()) {
        const std::string arg = cursor.next();
        if (arg == "-h" || arg == "--help") {
            out << kInspectHelp;
            return kStatusOk;
        }
        if (arg == "--json") {
            if (!cursor.noValue(arg)) return kStatusUsage;
            json = true;
        } else if (isOption(arg) || !path.empty()) {
            fail("unexpected argument %s (see vlpkg inspect --help)", arg.c_str());
            return kStatusUsage;
        } else {
            path = arg;
        }
    }
    if (path.empty()) {
        fail("no file given (see vlpkg inspect --help)");
        return kStatusUsage;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot read %s", path.c_str());
        return kStatusFailed;
    }
    Inspection inspection;
    std::string problem;
    if (!inspectPackage(in, inspection, problem)) {
        fail("%s %s", path.c_str(), problem.c_str());
        return kStatusFailed;
    }
    if (json)
        printInspectionJson(inspection, path, out);
    else
        printInspection(inspection, path, out);
    if (isDamaged(inspection)) {
        fail("%s is damaged", path.c_str());
        return kStatusFailed;
    }
    return kStatusOk;
}

}  // namespace vlpkg

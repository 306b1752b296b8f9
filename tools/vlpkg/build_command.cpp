#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record/names.h"
#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/entry_syntax.h"
#include "vlpkg/tool_report.h"
#include "vlpkg/tree_scan.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kBuildHelpHead =
    "usage: vlpkg build [options] -o OUT DIR\n"
    "Builds one package from the files below DIR; each file is installed at its path\n"
    "below /flash, with the mode it has in DIR. Symbolic links are recorded with their\n"
    "target. Without --key the package is left unsigned: see \"vlpkg sign\".\n"
    "\n"
    "  -o, --output OUT       the package file to write\n";
const char* const kBuildHelpTail =
    "  --depends ENTRY        a package this one needs (repeatable)\n"
    "  --provides ENTRY       a name this package provides (repeatable)\n"
    "  --conflicts ENTRY      a package that may not be installed beside this one (repeatable)\n"
    "                         ENTRY is NAME[:MIN[:MAX]][@PRIORITY]: MIN and MAX are versions,\n"
    "                         empty for no bound (\"base::7.2\"); PRIORITY a signed number,\n"
    "                         used in provides entries (\"webui:7.1@-1\")\n"
    "  --image FILE           embed FILE as the package's image part\n"
    "  --empty-image          embed an empty image part\n"
    "  --variant PATH=N       the file PATH of DIR is only for boards of variant N (1-255)\n"
    "  --variant-file N:PATH=FILE\n"
    "                         add FILE as PATH for boards of variant N, besides DIR's files;\n"
    "                         several variants of one PATH may be given this way\n"
    "  --no-files             no file container part at all (DIR is then not read)\n"
    "  --alternative-magic    write the alternative file magic (never kept in the database)\n"
    "  --level N              compression level 0-9 (default 6)\n"
    "  -h, --help             show this help\n";

bool parseVariant(const std::string& option, const std::string& text, uint8_t& variant) {
    uint64_t number;
    if (!parseUnsigned(text, 0xFF, number) || number == 0)
        return fail("%s: variant \"%s\" is not a number from 1 to 255", option.c_str(),
                    text.c_str());
    variant = uint8_t(number);
    return true;
}

// The installer refuses a package with a file name that could leave "/flash" or split a line
// of its file list; a name given on the command line is checked where it is given.
bool checkFileName(const char* given, const std::string& name) {
    if (const char* problem = entryNameProblem(name))
        return fail("%sfile name %s %s", given, shown(name).c_str(), problem);
    return true;
}

struct BuildRequest {
    PackageSpec description;
    std::string output;
    std::string directory;
    std::string keyPath;
    bool buildTimeGiven = false;
    std::vector<std::pair<std::string, uint8_t>> variants;
    std::vector<FileSpec> extraFiles;
};

OptionUse applyBuildOption(const std::string& option, OptionCursor& cursor, BuildRequest& request) {
    PackageSpec& description = request.description;
    std::string value;
    auto entry = [&](std::vector<DependencyEntry>& list) {
        DependencyEntry parsed;
        if (!cursor.value(option, value) || !parseEntry(value, parsed)) return OptionUse::Failed;
        list.push_back(parsed);
        return OptionUse::Used;
    };
    if (option == "-o" || option == "--output")
        return cursor.value(option, request.output) ? OptionUse::Used : OptionUse::Failed;
    if (option == "--key")
        return cursor.value(option, request.keyPath) ? OptionUse::Used : OptionUse::Failed;
    if (option == "--depends") return entry(description.depends);
    if (option == "--provides") return entry(description.provides);
    if (option == "--conflicts") return entry(description.conflicts);
    if (option == "--image") {
        if (!cursor.value(option, value)) return OptionUse::Failed;
        description.image = Content{.bytes = {}, .hostPath = value};
        return OptionUse::Used;
    }
    if (option == "--empty-image" || option == "--no-files" || option == "--alternative-magic") {
        if (!cursor.noValue(option)) return OptionUse::Failed;
        if (option == "--empty-image") description.image = Content{};
        if (option == "--no-files") description.withFiles = false;
        if (option == "--alternative-magic") description.alternativeMagic = true;
        return OptionUse::Used;
    }
    if (option == "--level") {
        uint64_t level;
        if (!cursor.value(option, value)) return OptionUse::Failed;
        if (!parseUnsigned(value, 9, level)) {
            fail("--level: \"%s\" is not a number from 0 to 9", value.c_str());
            return OptionUse::Failed;
        }
        description.compressionLevel = int(level);
        return OptionUse::Used;
    }
    if (option == "--variant") {
        if (!cursor.value(option, value)) return OptionUse::Failed;
        const size_t equals = value.rfind('=');
        uint8_t variant = 0;
        if (equals == std::string::npos) {
            fail("--variant: expected PATH=N, got \"%s\"", value.c_str());
            return OptionUse::Failed;
        }
        if (!parseVariant(option, value.substr(equals + 1), variant)) return OptionUse::Failed;
        request.variants.emplace_back(value.substr(0, equals), variant);
        return OptionUse::Used;
    }
    if (option == "--variant-file") {
        if (!cursor.value(option, value)) return OptionUse::Failed;
        const size_t colon = value.find(':');
        const size_t equals = value.find('=', colon == std::string::npos ? 0 : colon);
        if (colon == std::string::npos || equals == std::string::npos) {
            fail("--variant-file: expected N:PATH=FILE, got \"%s\"", value.c_str());
            return OptionUse::Failed;
        }
        FileSpec file;
        file.name = value.substr(colon + 1, equals - colon - 1);
        file.content.hostPath = value.substr(equals + 1);
        if (!parseVariant(option, value.substr(0, colon), file.variant) ||
            !checkFileName("--variant-file: ", file.name))
            return OptionUse::Failed;
        request.extraFiles.push_back(std::move(file));
        return OptionUse::Used;
    }
    return applyHeaderOption(option, cursor, description, request.buildTimeGiven);
}

// Files added with --variant-file take their mode from the host file, like DIR's files.
bool completeExtraFile(FileSpec& file) {
    struct stat info {};
    const char* path = file.content.hostPath.c_str();
    if (stat(path, &info) != 0) return fail("cannot read %s: %s", path, std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return fail("%s is not a regular file", path);
    file.mode = uint16_t(kModeRegular | (info.st_mode & 07777));
    return true;
}

}  // namespace

int buildCommand(const std::vector<std::string>& args, std::ostream& out) {
    BuildRequest request;
    OptionCursor cursor(args);
    while (!cursor.atEnd()) {
        const std::string arg = cursor.next();
        if (arg == "-h" || arg == "--help") {
            out << kBuildHelpHead << kHeaderOptionsHelp << kBuildHelpTail;
            return kStatusOk;
        }
        if (!isOption(arg)) {
            if (!request.directory.empty()) {
                fail("only one directory can be given (see vlpkg build --help)");
                return kStatusUsage;
            }
            request.directory = arg;
            continue;
        }
        switch (applyBuildOption(arg, cursor, request)) {
            case OptionUse::Used:
                continue;
            case OptionUse::Failed:
                return kStatusUsage;
            case OptionUse::NotMine:
                fail("unknown option %s (see vlpkg build --help)", arg.c_str());
                return kStatusUsage;
        }
    }
    PackageSpec& description = request.description;
    if (request.output.empty()) {
        fail("no output file given (-o OUT)");
        return kStatusUsage;
    }
    if (request.directory.empty() && description.withFiles) {
        fail("no directory given (see vlpkg build --help)");
        return kStatusUsage;
    }
    if (!completeHeader(description, request.buildTimeGiven)) return kStatusUsage;

    if (description.withFiles && !scanTree(request.directory, description.files)) return kStatusFailed;
    for (const auto& marked : request.variants) {
        const std::string& path = marked.first;
        auto file = std::find_if(description.files.begin(), description.files.end(),
                                 [&](const FileSpec& f) { return f.name == path; });
        if (file == description.files.end()) {
            fail("--variant: %s is not a file below %s", path.c_str(), request.directory.c_str());
            return kStatusUsage;
        }
        file->variant = marked.second;
    }
    for (FileSpec& file : request.extraFiles) {
        if (!completeExtraFile(file)) return kStatusFailed;
        description.files.push_back(std::move(file));
    }
    for (const FileSpec& file : description.files)
        if (!checkFileName("", file.name)) return kStatusFailed;

    const bool written = writeOutputFile(request.output, request.keyPath,
                                         [&](ByteSink& sink) { return writePackage(sink, description); });
    return written ? kStatusOk : kStatusFailed;
}

}  // namespace vlpkg

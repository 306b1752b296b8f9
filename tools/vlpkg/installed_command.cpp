// "vlpkg installed": what the database of a router root holds, read offline below that root
// without changing into it, by the loader's rules: a record from the package's kept image (or
// its bundle's) when one can be read, else from the metadata files, then the state files and
// the schedule file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "package/package_reader.h"
#include "pkgdb/database.h"
#include "pkgdb/schedule.h"
#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/entry_syntax.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kInstalledHelp =
    "usage: vlpkg installed --root DIR [--json] [NAME]\n"
    "Lists the packages installed in the router root DIR (the directory that holds its\n"
    "/flash, /ram and /rw) as the installer would load them: name, version, state and\n"
    "remarks. With NAME, one package in detail: its lists and its installed files.\n"
    "Nothing below DIR is changed.\n"
    "\n"
    "  --root DIR             the router root (required)\n"
    "  --json                 one JSON object instead of text\n"
    "  -h, --help             show this help\n";

// One record as the installer would load it, with what the listing says about it.
struct Installed {
    InstalledPackage record;
    std::string recordedBy;  // "image", "image-store", "bundle-image" or "metadata"
    std::string scheduled;   // the word of its schedule file, when the installer knows it
    std::string problem;     // why the installer uninstalls it at its next run
};

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// A kept image may be a link to "/flash/bootimage": absolute inside the router root.
std::string resolvedInRoot(const std::string& root, const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0 || target[0] != '/') return path;
    return root + std::string(target, size_t(n));
}

// The record and, for a bundle, its members, from one kept image; false when the image names
// no usable package (the entry is then read from its metadata files).
bool readImage(const std::string& path, const std::string& recordedBy,
               std::vector<Installed>& out) {
    // A file stream over a directory throws at its first read.
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    std::ifstream image(path, std::ios::binary);
    if (!image.is_open()) return false;
    PackageReader reader(image, false);
    reader.wantedTypes = {PartType::BundleHeader, PartType::Header,  PartType::Text24,
                          PartType::Note,         PartType::Depends, PartType::Provides,
                          PartType::Conflicts};
    const bool bundle = reader.nextPart() == PartType::BundleHeader;
    Installed top;
    top.recordedBy = recordedBy;
    if (!readPackageHeader(top.record, reader) || !isPackageName(top.record.name)) return false;
    const DependencyEntry bundleEntry{top.record.name, top.record.version, top.record.version, 0};
    for (int32_t type = reader.partType(); bundle && type != PartType::None;) {
        if (type != PartType::Header) {
            type = reader.nextPart();
            continue;
        }
        Installed member;
        member.recordedBy = "bundle-image";
        if (!readPackageHeader(member.record, reader) || !isPackageName(member.record.name)) break;
        member.record.bundle = bundleEntry;
        out.push_back(std::move(member));
        type = reader.partType();
    }
    out.push_back(std::move(top));
    return true;
}

bool readNumbers(const std::string& path, uint32_t& first, uint32_t& second) {
    std::ifstream in(path);
    std::string words[2];
    uint64_t values[2];
    for (int i = 0; i < 2; ++i) {
        // Whole decimal words, as the installer reads them.
        if (!(in >> words[i]) || words[i].find_first_not_of("0123456789") != std::string::npos ||
            !parseUnsigned(words[i], 0xFFFFFFFFu, values[i]))
            return false;
    }
    first = uint32_t(values[0]);
    second = uint32_t(values[1]);
    return true;
}

void readMetadata(const std::string& dir, Installed& entry) {
    InstalledPackage& record = entry.record;
    entry.recordedBy = "metadata";
    if (!readNumbers(dir + "version", record.version, record.buildTime))
        entry.problem = "its version file is missing or malformed";
    const std::pair<const char*, std::vector<DependencyEntry>*> lists[] = {
        {"deps", &record.depends},
        {"provides", &record.provides},
        {"conflicts", &record.conflicts}};
    for (const auto& [file, list] : lists) {
        std::string text;
        ReadFailure failure;
        const ReadResult read = readTextFile(dir + file, text, failure);
        if (!entry.problem.empty()) continue;
        if (read == ReadResult::Unreadable)
            entry.problem = std::string("its ") + file + " file cannot be read: " +
                            std::strerror(failure.error);
        else if (read == ReadResult::Read && !parseEntries(text, *list, list == &record.provides))
            entry.problem = std::string("its ") + file + " file is malformed";
    }
    std::ifstream bundle(dir + "bundle");
    if (bundle >> record.bundle.name && entry.problem.empty())
        entry.problem = "its bundle's image is gone";
    record.isBundle = !exists(dir + "files");
}

void readState(const std::string& root, Installed& entry) {
    InstalledPackage& record = entry.record;
    const std::string dir = root + databaseDir(record);
    if (!record.isBundle) {
        std::ifstream in(dir + "files");
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) record.files.insert(line[0] == '/' ? line : "/" + line);
    }
    std::ifstream disabled(dir + "disabled");
    record.disabled = disabled.is_open();
    std::string firstLine;
    if (record.disabled) std::getline(disabled, firstLine);
    record.userChoice = record.disabled ? firstLine != "auto" : exists(dir + "enabled");
    std::ifstream schedule(root + schedulePath(record.name));
    std::string word;
    if (schedule >> word && (word == "uninstall" || word == "enable" || word == "disable"))
        entry.scheduled = word;
}

bool loadRoot(const std::string& root, std::vector<Installed>& packages) {
    const std::string database = root + kDatabaseRoot;
    std::vector<std::string> names;
    ReadFailure failure;
    if (databaseEntryNames(database, names, failure) != ReadResult::Read)
        return fail("%s holds no package database (%s cannot be read)", root.c_str(),
                    database.c_str());
    std::sort(names.begin(), names.end());
    std::set<std::string> loaded;
    for (const std::string& name : names) {
        const std::string image = database + name + "/image";
        std::vector<Installed> read;
        if (readImage(resolvedInRoot(root, image), "image", read) ||
            readImage(root + kImageStore + name, "image-store", read)) {
            for (Installed& entry : read) loaded.insert(entry.record.name);
            std::move(read.begin(), read.end(), std::back_inserter(packages));
        }
    }
    for (const std::string& name : names) {
        if (loaded.count(name) != 0) continue;
        Installed entry;
        entry.record.name = name;
        readMetadata(database + name + "/", entry);
        packages.push_back(std::move(entry));
    }
    for (Installed& entry : packages) readState(root, entry);
    std::stable_sort(packages.begin(), packages.end(), [](const Installed& a, const Installed& b) {
        return a.record.name < b.record.name;
    });
    return true;
}

std::string stateText(const InstalledPackage& record) {
    std::string state = record.disabled ? "disabled" : "enabled";
    if (record.disabled || record.userChoice) state += record.userChoice ? " (user)" : " (auto)";
    return state;
}

std::string remarks(const Installed& entry) {
    std::vector<std::string> said;
    if (entry.record.isBundle) said.push_back("bundle");
    if (!entry.record.bundle.name.empty())
        said.push_back("from bundle " + entry.record.bundle.name);
    if (!entry.scheduled.empty()) said.push_back("scheduled: " + entry.scheduled);
    if (!entry.problem.empty()) said.push_back("to be uninstalled: " + entry.problem);
    std::string text;
    for (const std::string& s : said) text += (text.empty() ? "" : ", ") + s;
    return text;
}

std::string recordedText(const std::string& recordedBy) {
    if (recordedBy == "image") return "its image";
    if (recordedBy == "image-store") return std::string("its image in ") + kImageStore;
    if (recordedBy == "bundle-image") return "its bundle's image";
    return "metadata files";
}

// One row: name, version and state in columns, a longer value pushing the rest along.
std::string row(const std::string& name, const std::string& version, const std::string& state,
                const std::string& rest) {
    const auto column = [](const std::string& text, size_t width) {
        return text + std::string(text.size() < width ? width - text.size() : 0, ' ') + ' ';
    };
    const std::string text = column(name, 16) + column(version, 13) + column(state, 16) + rest;
    return text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
}

void printText(const std::vector<Installed>& packages, bool detailed, std::ostream& out) {
    if (!detailed) out << row("NAME", "VERSION", "STATE", "REMARKS");
    for (const Installed& entry : packages) {
        const InstalledPackage& r = entry.record;
        out << row(r.name, versionText(r.version), stateText(r), remarks(entry));
        if (!detailed) continue;
        out << "  built " << timeText(r.buildTime) << "\n  recorded through "
            << recordedText(entry.recordedBy) << "\n";
        if (!r.note.empty()) out << "  note " << shown(r.note) << "\n";
        const std::pair<const char*, const std::vector<DependencyEntry>*> lists[] = {
            {"depends", &r.depends}, {"provides", &r.provides}, {"conflicts", &r.conflicts}};
        for (const auto& [label, list] : lists)
            for (const DependencyEntry& e : *list)
                out << "  " << label << " " << entryText(e) << "\n";
        for (const std::string& file : r.files) out << "  file " << file << "\n";
    }
}

std::string jsonOrNull(const std::string& text) {
    return text.empty() ? "null" : jsonString(text);
}

void printJson(const std::string& root, const std::vector<Installed>& packages, bool detailed,
               std::ostream& out) {
    out << "{\"root\":" << jsonString(root) << ",\"packages\":[";
    for (size_t i = 0; i < packages.size(); ++i) {
        const Installed& entry = packages[i];
        const InstalledPackage& r = entry.record;
        out << (i ? "," : "") << "{\"name\":" << jsonString(r.name)
            << ",\"version\":" << (r.version ? jsonString(versionText(r.version)) : "null")
            << ",\"versionCode\":" << r.version << ",\"buildTime\":" << r.buildTime
            << ",\"state\":\"" << (r.disabled ? "disabled" : "enabled") << "\",\"chosenBy\":"
            << (r.disabled || r.userChoice ? (r.userChoice ? "\"user\"" : "\"auto\"") : "null")
            << ",\"bundle\":" << (r.isBundle ? "true" : "false")
            << ",\"memberOf\":" << jsonOrNull(r.bundle.name) << ",\"recordedBy\":\""
            << entry.recordedBy << "\",\"note\":" << jsonOrNull(r.note)
            << ",\"scheduled\":" << jsonOrNull(entry.scheduled)
            << ",\"problem\":" << jsonOrNull(entry.problem);
        if (detailed) {
            const std::pair<const char*, const std::vector<DependencyEntry>*> lists[] = {
                {"depends", &r.depends}, {"provides", &r.provides}, {"conflicts", &r.conflicts}};
            for (const auto& [label, list] : lists) {
                out << ",\"" << label << "\":[";
                for (size_t k = 0; k < list->size(); ++k)
                    out << (k ? "," : "") << jsonString(entryText((*list)[k]));
                out << "]";
            }
            out << ",\"files\":[";
            size_t k = 0;
            for (const std::string& file : r.files) out << (k++ ? "," : "") << jsonString(file);
            out << "]";
        }
        out << "}";
    }
    out << "]}\n";
}

}  // namespace

int installedCommand(const std::vector<std::string>& args, std::ostream& out) {
    std::string root, name;
    bool asJson = false;
    OptionCursor cursor(args);
    while (!cursor.atEnd()) {
        const std::string arg = cursor.next();
        if (arg == "-h" || arg == "--help") {
            out << kInstalledHelp;
            return kStatusOk;
        }
        if (arg == "--root") {
            if (!cursor.value(arg, root)) return kStatusUsage;
        } else if (arg == "--json") {
            if (!cursor.noValue(arg)) return kStatusUsage;
            asJson = true;
        } else if (isOption(arg) || !name.empty()) {
            fail("unexpected argument %s (see vlpkg installed --help)", arg.c_str());
            return kStatusUsage;
        } else {
            name = arg;
        }
    }
    if (root.empty()) {
        fail("no router root given (--root DIR)");
        return kStatusUsage;
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    std::vector<Installed> packages;
    if (!loadRoot(root == "/" ? "" : root, packages)) return kStatusFailed;
    if (!name.empty()) {
        packages.erase(std::remove_if(packages.begin(), packages.end(),
                                      [&](const Installed& e) { return e.record.name != name; }),
                       packages.end());
        if (packages.empty()) {
            fail("no package %s is installed in %s", shown(name).c_str(), root.c_str());
            return kStatusFailed;
        }
    }
    if (asJson)
        printJson(root, packages, !name.empty(), out);
    else
        printText(packages, !name.empty(), out);
    return kStatusOk;
}

}  // namespace vlpkg

#include <algorithm>
#include <fstream>
#include <set>

#include "record/names.h"
#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/entry_syntax.h"
#include "vlpkg/package_layout.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kBundleHelpHead =
    "usage: vlpkg bundle [options] -o OUT MEMBER...\n"
    "Makes a bundle of the given package files, which become its members in the order given.\n"
    "Members keep their signatures. With --key every member is signed and the bundle gets\n"
    "its own signature over its header, lists, image and its members' digests; without, the\n"
    "bundle's own parts are unsigned (refused where /ram/SECURE exists) until vlpkg sign.\n"
    "A member signed over SHA-1 (older scheme, no marker part) cannot follow a member with a\n"
    "marker.\n"
    "By default the bundle has an empty image part, which the installer needs to keep it.\n"
    "\n"
    "  -o, --output OUT       the bundle file to write\n";
const char* const kBundleHelpTail =
    "  --disabled NAME        install member NAME disabled unless the user chose otherwise\n"
    "                         (repeatable)\n"
    "  --image FILE           the bundle's image part holds FILE\n"
    "  --no-image             no image part\n"
    "  -h, --help             show this help\n";

struct BundleRequest {
    BundleSpec description;
    std::string output;
    std::vector<std::string> members;
    std::string keyPath;
    bool buildTimeGiven = false;
};

OptionUse applyBundleOption(const std::string& option, OptionCursor& cursor,
                            BundleRequest& request) {
    std::string value;
    if (option == "-o" || option == "--output")
        return cursor.value(option, request.output) ? OptionUse::Used : OptionUse::Failed;
    if (option == "--key")
        return cursor.value(option, request.keyPath) ? OptionUse::Used : OptionUse::Failed;
    if (option == "--disabled") {
        DependencyEntry entry;
        if (!cursor.value(option, value) || !parseEntry(value, entry)) return OptionUse::Failed;
        request.description.disabledMembers.push_back(entry);
        return OptionUse::Used;
    }
    if (option == "--image") {
        if (!cursor.value(option, value)) return OptionUse::Failed;
        request.description.image = Content{.bytes = {}, .hostPath = value};
        return OptionUse::Used;
    }
    if (option == "--no-image") {
        if (!cursor.noValue(option)) return OptionUse::Failed;
        request.description.image.reset();
        return OptionUse::Used;
    }
    return applyHeaderOption(option, cursor, request.description, request.buildTimeGiven);
}

// The parts of a member that a bundle carries: everything up to its signature. Parts a single
// package may have after its signature (an architecture part, an empty dependency part) are
// left out: inside a bundle they would end the list of members early.
bool memberRange(const std::string& path, const PackageLayout& layout, size_t& first, size_t& end) {
    const MemberLayout& member = layout.members.front();
    first = member.first;
    end = member.signature == kNoPart ? member.signatureAt : member.signature + 1;
    for (size_t i = end; i < layout.parts.size(); ++i) {
        const PartInfo& part = layout.parts[i];
        const bool trailer =
            part.type == kPartArchitecture || (part.type == kPartDepends && part.length == 0);
        if (!trailer)
            return fail("%s has a part of type %u after its signature, which a bundle cannot carry",
                        path.c_str(), unsigned(part.type));
    }
    return true;
}

// What the members added so far mean for the next one.
struct BundleState {
    std::set<std::string> names;
    // A marker before a member makes the digest SHA-256 for the rest of the file.
    bool sha256 = false;
    // The bundle is signed as it is written, which puts a marker before every member.
    bool signing = false;
};

bool addMember(const std::string& path, const BundleSpec& bundle, BundleState& state,
               ByteSink& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot read %s", path.c_str());
    PackageLayout layout;
    std::string problem;
    if (!readLayout(in, layout, problem)) return fail("%s %s", path.c_str(), problem.c_str());
    if (!layout.damage.empty())
        return fail("%s is damaged: %s", path.c_str(), layout.damage.c_str());
    if (layout.isBundle) return fail("%s is a bundle; bundles do not nest", path.c_str());
    if (layout.magic != kPackageMagic)
        return fail("%s has the alternative magic, which a bundle member cannot keep",
                    path.c_str());
    if (layout.members.size() != 1)
        return fail("%s holds %zu package headers, not one", path.c_str(), layout.members.size());
    const MemberLayout& member = layout.members.front();
    const std::string& name = member.name;
    if (const char* problem = packageNameProblem(name))
        return fail("%s: package name %s %s", path.c_str(), shown(name).c_str(), problem);
    if (name == bundle.name)
        return fail("%s: a member cannot have the bundle's name %s", path.c_str(), name.c_str());
    if (!state.names.insert(name).second)
        return fail("%s: a member named %s is already in the bundle", path.c_str(), name.c_str());
    // Signed over SHA-1, it would be checked against a SHA-256 digest here and never verify.
    if (state.sha256 && !state.signing && !member.hasMarker && member.signature != kNoPart)
        return fail(
            "%s is signed over a SHA-1 digest, but after a member with a marker part its "
            "digest is SHA-256: put it first, or sign the bundle",
            path.c_str());
    state.sha256 = state.sha256 || member.hasMarker;
    size_t first, end;
    if (!memberRange(path, layout, first, end)) return false;
    if (!copyParts(in, layout, first, end, out)) return fail("cannot read %s", path.c_str());
    return true;
}

}  // namespace

int bundleCommand(const std::vector<std::string>& args, std::ostream& out) {
    BundleRequest request;
    OptionCursor cursor(args);
    while (!cursor.atEnd()) {
        const std::string arg = cursor.next();
        if (arg == "-h" || arg == "--help") {
            out << kBundleHelpHead << kHeaderOptionsHelp << kBundleHelpTail;
            return kStatusOk;
        }
        if (!isOption(arg)) {
            request.members.push_back(arg);
            continue;
        }
        switch (applyBundleOption(arg, cursor, request)) {
            case OptionUse::Used:
                continue;
            case OptionUse::Failed:
                return kStatusUsage;
            case OptionUse::NotMine:
                fail("unknown option %s (see vlpkg bundle --help)", arg.c_str());
                return kStatusUsage;
        }
    }
    if (request.output.empty()) {
        fail("no output file given (-o OUT)");
        return kStatusUsage;
    }
    if (request.members.empty()) {
        fail("no member packages given (see vlpkg bundle --help)");
        return kStatusUsage;
    }
    if (!completeHeader(request.description, request.buildTimeGiven)) return kStatusUsage;

    BundleState state;
    state.signing = !request.keyPath.empty();
    bool namesDisabledMember = true;
    const bool written = writeOutputFile(request.output, request.keyPath, [&](ByteSink& sink) {
        uint64_t start;
        if (!beginOuterHeader(sink, kPackageMagic, start) || !writeBundleHead(sink, request.description))
            return false;
        for (const std::string& member : request.members) {
            if (!addMember(member, request.description, state, sink)) return false;
        }
        // A disabled-members entry that names no member would silently do nothing.
        for (const DependencyEntry& disabled : request.description.disabledMembers) {
            if (!state.names.count(disabled.name)) {
                namesDisabledMember = false;
                return fail("--disabled %s names no member of the bundle", disabled.name.c_str());
            }
        }
        return finishOuterHeader(sink, start);
    });
    if (!written) return namesDisabledMember ? kStatusFailed : kStatusUsage;
    return kStatusOk;
}

}  // namespace vlpkg

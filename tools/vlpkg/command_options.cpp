#include "vlpkg/command_options.h"

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "record/names.h"
#include "vlpkg/entry_syntax.h"
#include "vlpkg/package_signer.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

const char* const kHeaderOptionsHelp =
    "  --name NAME            package name, at most 16 bytes (required)\n"
    "  --version VERSION      version text: 6.48, 6.48.2, 7.1beta3, 7.1rc1, 7.1alpha2 (required)\n"
    "  --build-time SECONDS   build time; default SOURCE_DATE_EPOCH when set, else now\n"
    "  --flags N              flags word (decimal or 0x hex); without it the header has none\n"
    "  --boot-image           set flag bit 0: the package carries the boot image\n"
    "  --no-metadata          set flag bit 1: no metadata files in the database\n"
    "  --architecture ARCH    architecture part; the router's installer takes only packages\n"
    "                         whose ARCH equals its \"arch\" variable (i386 when unset), and\n"
    "                         a package without this part counts as i386\n"
    "  --note TEXT            note; \"installer --show\" shows it for packages kept through an\n"
    "                         image and for bundle members\n"
    "  --text2 TEXT           text of part 2, carried as given\n"
    "  --text24 TEXT          text of part 24, carried as given\n"
    "  --key FILE             sign the result with this Ed25519 private key (see vlpkg sign)\n"
    "  --metadata FILE        read options from FILE: one \"key = value\" or \"key\" per line,\n"
    "                         the key being an option name without \"--\"\n";

bool isOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

std::optional<int> parseKeyArguments(const std::vector<std::string>& args, const char* command,
                                     const char* help, std::ostream& out, KeyArguments& parsed) {
    OptionCursor cursor(args);
    while (!cursor.atEnd()) {
        const std::string arg = cursor.next();
        if (arg == "-h" || arg == "--help") {
            out << help;
            return kStatusOk;
        }
        if (arg == "--key") {
            if (!cursor.value(arg, parsed.keyPath)) return kStatusUsage;
        } else if (arg == "--legacy-key") {
            if (!cursor.value(arg, parsed.legacyKeyPath)) return kStatusUsage;
        } else if (isOption(arg)) {
            fail("unknown option %s (see vlpkg %s --help)", arg.c_str(), command);
            return kStatusUsage;
        } else {
            parsed.files.push_back(arg);
        }
    }
    return std::nullopt;
}

std::string OptionCursor::next() {
    inlineValue_.reset();
    std::string arg = args_[at_++];
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
        inlineValue_ = arg.substr(equals + 1);
        arg.resize(equals);
    }
    return arg;
}

bool OptionCursor::value(const std::string& option, std::string& text) {
    if (inlineValue_) {
        text = *inlineValue_;
        inlineValue_.reset();
        return true;
    }
    if (atEnd()) return fail("option %s needs a value", option.c_str());
    text = args_[at_++];
    return true;
}

bool OptionCursor::noValue(const std::string& option) {
    if (inlineValue_) return fail("option %s takes no value", option.c_str());
    return true;
}

bool OptionCursor::insertFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return fail("cannot read %s", path.c_str());
    std::vector<std::string> inserted;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t equals = line.find('=');
        const std::string key = trim(line.substr(0, equals));
        if (key.empty() || key[0] == '-')
            return fail("%s:%u: expected \"key = value\"", path.c_str(), number);
        inserted.push_back("--" + key);
        if (equals != std::string::npos) inserted.push_back(trim(line.substr(equals + 1)));
    }
    if (in.bad()) return fail("cannot read %s", path.c_str());
    args_.insert(args_.begin() + std::ptrdiff_t(at_), inserted.begin(), inserted.end());
    return true;
}

OptionUse applyHeaderOption(const std::string& option, OptionCursor& cursor, HeaderSpec& description,
                            bool& buildTimeGiven) {
    auto text = [&](std::string& field) {
        return cursor.value(option, field) ? OptionUse::Used : OptionUse::Failed;
    };
    auto flagBit = [&](uint32_t bit) {
        if (!cursor.noValue(option)) return OptionUse::Failed;
        description.flags = description.flags.value_or(0) | bit;
        return OptionUse::Used;
    };
    if (option == "--name") return text(description.name);
    if (option == "--architecture" || option == "--arch") return text(description.architecture);
    if (option == "--note") return text(description.note);
    if (option == "--text2") return text(description.text2);
    if (option == "--text24") return text(description.text24);
    if (option == "--boot-image") return flagBit(kFlagBootImage);
    if (option == "--no-metadata") return flagBit(kFlagNoMetadata);
    if (option == "--version") {
        std::string value;
        if (!cursor.value(option, value)) return OptionUse::Failed;
        if (!parseVersion(value, description.version)) {
            fail("\"%s\" is not a version (examples: 6.48, 6.48.2, 7.1beta3, 7.1rc1)",
                 value.c_str());
            return OptionUse::Failed;
        }
        return OptionUse::Used;
    }
    if (option == "--build-time" || option == "--flags") {
        std::string value;
        uint64_t number;
        if (!cursor.value(option, value)) return OptionUse::Failed;
        if (!parseUnsigned(value, kMaxLength, number)) {
            fail("%s: \"%s\" is not a 32-bit number", option.c_str(), value.c_str());
            return OptionUse::Failed;
        }
        if (option == "--flags") {
            description.flags = description.flags.value_or(0) | uint32_t(number);
        } else {
            description.buildTime = uint32_t(number);
            buildTimeGiven = true;
        }
        return OptionUse::Used;
    }
    if (option == "--metadata") {
        std::string path;
        if (!cursor.value(option, path) || !cursor.insertFile(path)) return OptionUse::Failed;
        return OptionUse::Used;
    }
    return OptionUse::NotMine;
}

bool completeHeader(HeaderSpec& description, bool buildTimeGiven) {
    if (description.name.empty()) return fail("no package name given (--name)");
    if (description.name.size() > kNameFieldSize)
        return fail("package name %s is longer than %zu bytes", shown(description.name).c_str(),
                    kNameFieldSize);
    if (const char* problem = packageNameProblem(description.name))
        return fail("package name %s %s", shown(description.name).c_str(), problem);
    // Every version text has a release kind letter, so a given version is never 0.
    if (description.version == 0) return fail("no version given (--version)");
    if (buildTimeGiven) return true;
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        uint64_t seconds;
        if (!parseUnsigned(epoch, kMaxLength, seconds))
            return fail("SOURCE_DATE_EPOCH \"%s\" is not a 32-bit number of seconds", epoch);
        description.buildTime = uint32_t(seconds);
        return true;
    }
    const std::time_t now = std::time(nullptr);
    if (now < 0 || uint64_t(now) > kMaxLength)
        return fail("the clock is outside the build time range");
    description.buildTime = uint32_t(now);
    return true;
}

}  // namespace vlpkg

namespace vlpkg {

bool writeOutputFile(const std::string& path, const std::string& keyPath,
                     const std::function<bool(ByteSink&)>& produce) {
    KeyHandle key;
    // The key is checked before any work is done.
    if (!keyPath.empty() && !(key = loadPrivateKey(keyPath))) return false;
    FileSink plain;
    if (!plain.open(path) || !produce(plain)) return false;
    if (!key) return plain.commit();
    std::unique_ptr<std::istream> written = plain.readBack();
    if (!written) return fail("cannot read back %s", path.c_str());
    FileSink signedFile;
    return signedFile.open(path) && signPackageFile(*written, path, signedFile, key.get()) &&
           signedFile.commit();
}

}  // namespace vlpkg

#include <map>

#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kToolHelp =
    "usage: vlpkg COMMAND [options] [arguments]\n"
    "Builds, signs and inspects package files of the router's installer, and lists what a\n"
    "router root has installed.\n"
    "\n"
    "commands:\n"
    "  build      build a package from a directory tree: build [options] -o OUT DIR\n"
    "  bundle     make a bundle of packages: bundle [options] -o OUT MEMBER...\n"
    "  sign       sign each package: sign [--key KEY] [--legacy-key KEY] IN OUT\n"
    "  verify     check signatures as the installer does: verify FILE\n"
    "  inspect    show the parts and contents of a file: inspect [--json] FILE\n"
    "  keygen     make a new key pair: keygen [-o DIR] [--force] [--legacy]\n"
    "  installed  list what a router root has installed: installed --root DIR [NAME]\n"
    "\n"
    "\"vlpkg COMMAND --help\" describes each command's options.\n";

using Command = int (*)(const std::vector<std::string>&, std::ostream&);

}  // namespace

int runTool(const std::vector<std::string>& args, std::ostream& out) {
    static const std::map<std::string, Command> kCommands = {
        {"build", buildCommand},         {"bundle", bundleCommand}, {"sign", signCommand},
        {"inspect", inspectCommand},     {"keygen", keygenCommand}, {"verify", verifyCommand},
        {"installed", installedCommand},
    };
    if (args.empty()) {
        fail("no command given (see vlpkg --help)");
        return kStatusUsage;
    }
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        out << kToolHelp;
        return kStatusOk;
    }
    const auto command = kCommands.find(args[0]);
    if (command == kCommands.end()) {
        fail("unknown command %s (see vlpkg --help)", args[0].c_str());
        return kStatusUsage;
    }
    return command->second(std::vector<std::string>(args.begin() + 1, args.end()), out);
}

}  // namespace vlpkg

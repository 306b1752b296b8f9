// The commands of the packaging tool. Each takes its arguments after the command word, writes
// its normal output to `out`, reports failures through the Reporter and returns the exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vlpkg {

using namespace velmara;

int buildCommand(const std::vector<std::string>& args, std::ostream& out);
int bundleCommand(const std::vector<std::string>& args, std::ostream& out);
int signCommand(const std::vector<std::string>& args, std::ostream& out);
int inspectCommand(const std::vector<std::string>& args, std::ostream& out);
int keygenCommand(const std::vector<std::string>& args, std::ostream& out);
int verifyCommand(const std::vector<std::string>& args, std::ostream& out);
int installedCommand(const std::vector<std::string>& args, std::ostream& out);
// The whole tool: args[0] is the command word.
int runTool(const std::vector<std::string>& args, std::ostream& out);

}  // namespace vlpkg

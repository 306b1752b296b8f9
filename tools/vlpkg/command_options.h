// Argument handling shared by the commands: options as "--name value" or "--name=value", a
// metadata file whose lines stand for options, and the header fields every package has.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "vlpkg/package_writer.h"

namespace vlpkg {

using namespace velmara;

// Exit statuses of the commands.
constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;
constexpr int kStatusUsage = 2;

class OptionCursor {
  public:
    explicit OptionCursor(std::vector<std::string> args) : args_(std::move(args)) {}

    bool atEnd() const { return at_ >= args_.size(); }
    // The next argument; of "--name=value" only "--name", the value being kept for value().
    std::string next();
    // The option's value, inline or the following argument; reports a missing one.
    [[nodiscard]] bool value(const std::string& option, std::string& text);
    // False (reported) when a value was given inline to an option that takes none.
    [[nodiscard]] bool noValue(const std::string& option);
    // Puts the options written in a metadata file right after the current argument. Each
    // line is "key = value" or a lone "key" and stands for "--key value" or "--key"; blank
    // lines and lines starting with "#" are skipped.
    [[nodiscard]] bool insertFile(const std::string& path);

  private:
    std::vector<std::string> args_;
    size_t at_ = 0;
    std::optional<std::string> inlineValue_;
};

bool isOption(const std::string& arg);

// The arguments of the commands that take keys and files: "--key FILE", "--legacy-key FILE",
// "-h"/"--help", and file names.
struct KeyArguments {
    std::string keyPath;
    std::string legacyKeyPath;
    std::vector<std::string> files;
};
// Parses into `parsed`. Returns the status to end the command with ("-h" prints `help` to
// `out`; an unknown option or a missing value is reported), or nothing to go on.
std::optional<int> parseKeyArguments(const std::vector<std::string>& args, const char* command,
                                     const char* help, std::ostream& out, KeyArguments& parsed);

enum class OptionUse { NotMine, Used, Failed };

// The header fields shared by packages and bundles: --name, --version, --build-time,
// --flags, --boot-image, --no-metadata, --architecture, --note, --text2, --text24.
OptionUse applyHeaderOption(const std::string& option, OptionCursor& cursor, HeaderSpec& description,
                            bool& buildTimeGiven);
// Checks that name and version were given and fills in the default build time: SOURCE_DATE_EPOCH
// when set (reproducible builds), else the current time.
[[nodiscard]] bool completeHeader(HeaderSpec& description, bool buildTimeGiven);

// Writes the command's output file through `produce`; with a key file, the produced bytes are
// signed on their way into the file. Nothing is left at `path` unless everything succeeded.
[[nodiscard]] bool writeOutputFile(const std::string& path, const std::string& keyPath,
                                   const std::function<bool(ByteSink&)>& produce);

extern const char* const kHeaderOptionsHelp;

}  // namespace vlpkg

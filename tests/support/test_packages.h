// Package files made in code for tests, through the packaging tool's own writer, plus a small
// independent view of the container (parts, inflated file entries) for checking bytes.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "pkgdb/installer.h"
#include "vlpkg/package_writer.h"

using namespace velmara;

namespace testsupport {

// The development key pair of the repository.
std::string developmentPrivateKey();
std::string developmentPublicKey();

// A package with the given files (name -> contents, mode 0644) and a file container.
vlpkg::PackageSpec simplePackage(
    const std::string& name, const std::string& version,
    const std::vector<std::pair<std::string, std::string>>& files = {});

// The bytes of a package or bundle; the test fails (and the result is empty) when the writer
// refuses the description.
std::string packageBytes(const vlpkg::PackageSpec& description);
std::string bundleBytes(const vlpkg::BundleSpec& description);

// The package (or bundle) signed with the key file: the development key by default. The test
// fails, and the result is empty, when signing fails.
std::string signedBytes(const std::string& package,
                        const std::string& privateKey = developmentPrivateKey());

// Checks the Ed25519 signature of every package in the file the way the format defines it,
// independently of the tool: SHA-256 over each header part's part header up to and including
// its signature part's part header. Returns one entry per package: whether it verified.
std::vector<bool> verifyEd25519(const std::string& package,
                                const std::string& publicKey = developmentPublicKey());

// Checks a bundle's own Ed25519 signature (part 26) the way the format defines it, independently
// of the tool: SHA-256 over the bundle's own parts, each member's digest as 32 bytes (SHA-1
// digests zero-padded), and the bundle signature's part header. False without one.
bool bundleSignatureValid(const std::string& bundle,
                          const std::string& publicKey = developmentPublicKey());

// Whether the 64-byte signature is valid for SHA-256(message) under the public key file.
bool ed25519ValidOverSha256(const std::string& message, const std::string& signature,
                            const std::string& publicKey = developmentPublicKey());

// Appends a raw part and corrects the outer length: for layouts the writer never makes.
void appendPart(std::string& package, uint16_t type, const std::string& payload);

std::string little16(uint16_t value);
std::string little32(uint32_t value);

struct RawPart {
    uint16_t type = 0;
    uint64_t offset = 0;  // of the 6-byte part header in the file
    std::string payload;
};

// Splits a package file into its parts without the product's reader; false when the bytes do
// not form whole parts after an 8-byte outer header.
bool splitParts(const std::string& package, std::vector<RawPart>& parts);
std::vector<uint16_t> partTypes(const std::vector<RawPart>& parts);
// The parts of a package file; the test fails when the bytes do not split.
std::vector<RawPart> parts(const std::string& package);

// Inflates a complete zlib stream; false when it is not one.
bool inflateAll(const std::string& compressed, std::string& inflated);

struct RawFileEntry {
    uint16_t mode = 0;
    uint8_t variant = 0;
    std::string name;
    std::string data;
    std::string header;  // the 30 header bytes as stored
};

// The entries of an inflated file container; false when one is cut short.
bool splitFileEntries(const std::string& inflated, std::vector<RawFileEntry>& entries);

// The packaging tool run in-process: its exit status, standard output and console messages.
struct ToolRun {
    int status;
    std::string out;
    std::string errors;
};
ToolRun runTool(const std::vector<std::string>& args);

// Sends the Reporter's console output to a string for the life of the object.
class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string text() const { return stream_.str(); }

  private:
    std::ostringstream stream_;
    std::ostream* previous_;
};

// A temporary directory on the host, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }
    void write(const std::string& relative, const std::string& contents,
               unsigned mode = 0644) const;
    std::string read(const std::string& relative) const;

  private:
    std::string path_;
};

}  // namespace testsupport

// Runs extraction over arbitrary container bytes inside a temporary router root. The first
// byte chooses how the rest is used: bit 0 set, the rest is the inflated container and is
// deflated here (so entry headers, names and sizes are explored directly); clear, it is the
// part's raw payload (so damaged zlib streams are explored too). Bit 1 installs the package
// disabled; bits 2..4 give the board variant (0: none). Everything staged is discarded again,
// so each input starts from the same empty flash.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "package/extract.h"
#include "package/little_endian.h"
#include "package/package_reader.h"
#include "pkgdb/installer.h"
#include "staging/manifest.h"

using namespace velmara;

namespace {

constexpr uint8_t kDeflateFlag = 0x01;
constexpr uint8_t kDisabledFlag = 0x02;
constexpr unsigned kVariantShift = 2;
constexpr uint8_t kVariantMask = 0x07;
// Larger inputs only repeat what smaller ones explore and would fill the temporary root.
constexpr size_t kMaxInput = 1 << 20;

// A temporary router root holding /flash, /ram and /tmp. Each input runs with the root
// changed to it and changes back afterwards (through a descriptor of the real root), so the
// fuzzer's own files and /proc stay reachable between inputs.
struct RouterRoot {
    std::string path;
    int directory = -1;
    int realRoot = -1;
    int workingDirectory = -1;
};

RouterRoot routerRoot;

void writeAll(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) return;
    (void)!write(fd, text.data(), text.size());
    close(fd);
}

void removeRoot() {
    for (const char* inside : {"/flash", "/ram", "/tmp"}) rmdir((routerRoot.path + inside).c_str());
    rmdir(routerRoot.path.c_str());
}

bool setUpRoot() {
    // Without root, a user namespace gives the right to change roots (before any thread).
    if (geteuid() != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER) != 0) return false;
        writeAll("/proc/self/setgroups", "deny");
        writeAll("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        writeAll("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    char path[] = "/tmp/extract-fuzz-XXXXXX";
    if (mkdtemp(path) == nullptr) return false;
    routerRoot.path = path;
    std::atexit(removeRoot);
    for (const char* inside : {"/flash", "/ram", "/tmp"})
        mkdir((routerRoot.path + inside).c_str(), 0755);
    routerRoot.directory = open(path, O_RDONLY | O_DIRECTORY);
    routerRoot.realRoot = open("/", O_RDONLY | O_DIRECTORY);
    routerRoot.workingDirectory = open(".", O_RDONLY | O_DIRECTORY);
    return routerRoot.directory >= 0 && routerRoot.realRoot >= 0 &&
           routerRoot.workingDirectory >= 0;
}

bool readyRoot() {
    static const bool ready = [] {
        if (setUpRoot()) return true;
        std::fprintf(stderr,
                     "extract_fuzz: cannot change root (needs root or a user "
                     "namespace); nothing was run\n");
        std::exit(0);
    }();
    return ready;
}

bool enterRoot() {
    return fchdir(routerRoot.directory) == 0 && chroot(".") == 0 && chdir("/") == 0;
}

void leaveRoot() {
    if (fchdir(routerRoot.realRoot) != 0 || chroot(".") != 0 ||
        fchdir(routerRoot.workingDirectory) != 0)
        std::abort();
}

std::string deflateAll(const std::string& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 1) != Z_OK)
        return {};
    out.resize(size);
    return out;
}

void appendPart(std::string& out, uint16_t type, const std::string& payload) {
    appendLittle16(out, type);
    appendLittle32(out, uint32_t(payload.size()));
    out += payload;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    readyRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    readyRoot();
    static std::ostringstream console;
    if (size == 0 || size > kMaxInput) return 0;

    const uint8_t flags = data[0];
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string payload = (flags & kDeflateFlag) ? deflateAll(rest) : rest;
    std::string package;
    appendLittle32(package, PackageMagic);
    appendLittle32(package, 0);
    std::string header(kHeaderBlockSize, '\0');
    std::memcpy(header.data(), "fuzz", 4);
    appendPart(package, PartType::Header, header);
    appendPart(package, PartType::Files, payload);
    appendPart(package, PartType::Signature, std::string(68, 's'));

    Installer& installer = Installer::instance();
    installer.console = &console;
    installer.quiet = 1;
    std::istringstream source(package);
    PackageReader reader(source, true);
    reader.wantedTypes = {1, 4, 9};
    reader.nextPart();
    if (reader.nextPart() != PartType::Files) std::abort();
    InstalledPackage record("fuzz");
    record.disabled = (flags & kDisabledFlag) != 0;
    const uint8_t variant = (flags >> kVariantShift) & kVariantMask;
    Manifest manifest;
    if (!enterRoot()) std::abort();
    const bool ok = extractFiles(record, manifest, reader,
                                 variant == 0 ? BoardVariant() : BoardVariant(variant));
    // Every recorded file is staged, and every staged target stays below the flash root.
    for (const std::string& file : record.files) {
        if (manifest.find(file) == manifest.end()) std::abort();
        if (file.rfind("/flash/", 0) != 0 || file.find("/../") != std::string::npos ||
            file.find('\n') != std::string::npos)
            std::abort();
    }
    (void)ok;
    // The reader goes on behind the container whatever happened inside it.
    if (reader.nextPart() != PartType::Signature) std::abort();
    manifest.discard();
    leaveRoot();
    return 0;
}

// Extraction of a package's file container into staged files below "/flash", run inside a
// sandbox root: what is staged where, with which bytes and modes, and how damage and a full
// flash end it.
#include "package/extract.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "pkgdb/database.h"
#include "pkgdb/installer.h"
#include "support/container_bytes.h"
#include "support/package_bytes.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::ContainerEntry;
using testsupport::deflated;
using testsupport::inflatedContainer;
using testsupport::randomBytes;
using testsupport::RunResult;
using testsupport::Sandbox;

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Short contents are shown as they are; long ones by size and a digest prefix.
std::string shown(const std::string& data) {
    if (data.size() <= 40 && data.find('\n') == std::string::npos) return "\"" + data + "\"";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
    return std::to_string(data.size()) + " bytes " + hex;
}

std::string packageWith(const std::string& filesPayload, const std::string& name = "pkg") {
    return testsupport::PackageBytes()
        .header(name, 0x07016600)
        .part(4, filesPayload)
        .part(9, std::string(68, 's'))
        .bytes();
}

struct Extraction {
    std::string name = "pkg";
    bool disabled = false;
    BoardVariant variant;
    std::vector<std::string> onFlash;  // written (768 KiB each) before the extraction
    std::vector<std::string> removed;  // their removal staged before the extraction
    std::vector<std::string> directories;  // made before the extraction
    bool where = false;                    // print where each file is staged, not its data
};

// In the sandbox child: extracts the container of `bytes` and prints the result, the record's
// files, each staged target with its mode and contents, the recorded messages, and the part
// the reader reaches next.
int extractAndPrint(const std::string& bytes, const Extraction& how) {
    Installer& installer = Installer::instance();
    std::ostringstream console;
    installer.console = &console;
    std::istringstream source(bytes);
    PackageReader reader(source, true);
    reader.wantedTypes = {1, 4, 9};
    if (reader.nextPart() != 1 || reader.nextPart() != 4) return 3;
    InstalledPackage record(how.name);
    record.version = 0x07016600;
    record.disabled = how.disabled;
    for (const std::string& path : how.onFlash)
        std::ofstream(path, std::ios::binary) << std::string(768 * 1024, 'o');
    for (const std::string& path : how.directories) mkdir(path.c_str(), 0755);
    Manifest manifest;
    for (const std::string& path : how.removed) scheduleRemoval(manifest, path);
    const bool ok = extractFiles(record, manifest, reader, how.variant);
    std::cout << "result " << ok << '\n';
    for (const std::string& file : record.files) std::cout << "file " << file << '\n';
    for (const auto& [target, entry] : manifest) {
        struct stat info {};
        stat(entry.source.c_str(), &info);
        std::cout << "staged " << target << ' ';
        if (how.where) {
            std::cout << "in " << parentDirectory(entry.source) << '\n';
            continue;
        }
        std::cout << std::oct << (info.st_mode & 07777) << std::dec << ' '
                  << shown(readWhole(entry.source)) << '\n';
    }
    for (const std::string& message : installer.messages) std::cout << message << '\n';
    // The bar is drawn after each staged file (an error message wipes it again).
    std::cout << "progress " << (console.str().find("installing ") != std::string::npos) << '\n';
    std::cout << "next " << reader.nextPart() << '\n';
    return 0;
}

RunResult extractInSandbox(const Sandbox& sandbox, const std::string& bytes,
                           const Extraction& how = {}, const testsupport::RunSetup& setup = {}) {
    return testsupport::runInRoot(
        sandbox, [&] { return extractAndPrint(bytes, how); }, setup);
}

TEST(ExtractFiles, EntryHeaderLayout) {
    // Mode 0100755, 21 uninterpreted bytes, variant 3, size 5, name length 3, name, data.
    const std::string expected = testsupport::fromHex(
        "ed 81 a5a5a5a5a5 a5a5a5a5a5 a5a5a5a5a5 a5a5a5a5a5 a5 03 05000000 0300 612f62"
        "68656c6c6f");
    EXPECT_EQ(testsupport::containerEntry({"a/b", "hello", 0100755, 3}), expected);
}

TEST(ExtractFiles, StagesRegularFilesWithTheirModes) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string big = randomBytes(40000, 1) + std::string(30000, 'z');
    const std::string container = inflatedContainer({
        {"bin/tool", "#!/bin/sh", testsupport::kExecutableMode},
        // Directories and links carry data that must be passed over exactly.
        {"etc", "directory data", testsupport::kDirectoryMode},
        {"etc/link", "../target", testsupport::kSymlinkMode},
        {"/etc/conf", "key=value", 0100600},
        {"var/empty", ""},
        {"lib/big", big},
        {"odd", "fifo", 010644},
        // Modes the umask would cut, special bits that open() may drop, and none at all.
        {"sbin/su", "set-user-ID", 0104755},
        {"tmp/open", "for all", 0100777},
        {"locked", "", 0100000},
    });
    const RunResult run = extractInSandbox(sandbox, packageWith(deflated(container)));
    EXPECT_EQ(run.out,
              "result 1\n"
              "file /flash/bin/tool\nfile /flash/etc/conf\nfile /flash/lib/big\n"
              "file /flash/locked\nfile /flash/sbin/su\nfile /flash/tmp/open\n"
              "file /flash/var/empty\n"
              "staged /flash/bin/tool 755 \"#!/bin/sh\"\n"
              "staged /flash/etc/conf 600 \"key=value\"\n"
              "staged /flash/lib/big 644 " +
                  shown(big) +
                  "\n"
                  "staged /flash/locked 0 \"\"\n"
                  "staged /flash/sbin/su 4755 \"set-user-ID\"\n"
                  "staged /flash/tmp/open 777 \"for all\"\n"
                  "staged /flash/var/empty 644 \"\"\n"
                  "progress 1\nnext 9\n")
        << run.err;
    // Nothing reached the targets: they appear only when the run commits.
    EXPECT_FALSE(sandbox.exists("/flash/bin/tool"));
    EXPECT_FALSE(sandbox.exists("/flash/etc"));
}

TEST(ExtractFiles, EmptyContainersStageNothing) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string nothing = "result 1\nprogress 0\nnext 9\n";
    // An empty zlib stream, and a part without any stream at all.
    EXPECT_EQ(extractInSandbox(sandbox, packageWith(deflated(""))).out, nothing);
    EXPECT_EQ(extractInSandbox(sandbox, packageWith("")).out, nothing);
    // Only entries that are passed over.
    EXPECT_EQ(extractInSandbox(sandbox, packageWith(deflated(inflatedContainer(
                                            {{"d", "", testsupport::kDirectoryMode}}))))
                  .out,
              nothing);
}

TEST(ExtractFiles, TargetsOfNamesAndDisabledPackages) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string container =
        deflated(inflatedContainer({{"/bin/tool", "first"}, {"bin/tool", "second"}}));
    // With and without the leading "/" the target is the same: the later entry wins.
    EXPECT_EQ(extractInSandbox(sandbox, packageWith(container)).out,
              "result 1\nfile /flash/bin/tool\nstaged /flash/bin/tool 644 \"second\"\n"
              "progress 1\nnext 9\n");
    Extraction disabled;
    disabled.name = "web-proxy";
    disabled.disabled = true;
    EXPECT_EQ(extractInSandbox(sandbox, packageWith(container, "web-proxy"), disabled).out,
              "result 1\nfile /flash/x/web-proxy/bin/tool\n"
              "staged /flash/x/web-proxy/bin/tool 644 \"second\"\nprogress 1\nnext 9\n");
}

TEST(ExtractFiles, BoardVariantsChooseFiles) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string package = packageWith(deflated(inflatedContainer({
        {"all", "every board"},
        {"three", "variant 3 only", testsupport::kRegularMode, 3},
        {"one", "variant 1 only", testsupport::kRegularMode, 1},
        {"tail", "after them"},
    })));
    const auto filesFor = [&](BoardVariant variant) {
        Extraction how;
        how.variant = variant;
        std::string files;
        std::istringstream lines(extractInSandbox(sandbox, package, how).out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("file ", 0) == 0) files += line.substr(12) + " ";
        return files;
    };
    EXPECT_EQ(filesFor(3), "all tail three ");
    EXPECT_EQ(filesFor(1), "all one tail ");
    EXPECT_EQ(filesFor(2), "all tail ");
    // A board without a variant code installs only what is meant for every board.
    EXPECT_EQ(filesFor(std::nullopt), "all tail ");
}

TEST(ExtractFiles, BytesAfterTheStreamAreIgnored) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string stream = deflated(inflatedContainer({{"a", "data"}}));
    const RunResult run =
        extractInSandbox(sandbox, packageWith(stream + deflated(inflatedContainer({{"b", "x"}}))));
    EXPECT_EQ(run.out,
              "result 1\nfile /flash/a\nstaged /flash/a 644 \"data\"\nprogress 1\nnext 9\n");
}

TEST(ExtractFiles, EveryTruncationOfTheContainer) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::vector<ContainerEntry> entries = {
        {"first", "one"}, {"dir", "xy", testsupport::kDirectoryMode}, {"second", "two!"}};
    const std::string whole = inflatedContainer(entries);
    // Each entry's extent, to tell where a cut lands.
    std::vector<size_t> starts;
    size_t offset = 0;
    for (const ContainerEntry& entry : entries) {
        starts.push_back(offset);
        offset += testsupport::containerEntry(entry).size();
    }
    starts.push_back(offset);

    std::string expected;
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        size_t complete = 0;
        while (complete < entries.size() && starts[complete + 1] <= cut) ++complete;
        std::string files;
        for (size_t j = 0; j < complete; ++j)
            if (entries[j].mode != testsupport::kDirectoryMode) files += entries[j].name + " ";
        bool broken = false;
        if (complete < entries.size()) {
            const ContainerEntry& cutEntry = entries[complete];
            const size_t into = cut - starts[complete];
            const size_t nameEnd = 30 + cutEntry.name.size();
            // Inside an entry header the container just ends; a cut name is always damage; a
            // cut in the data of a passed-over entry ends it too, in a regular file's data it
            // is damage after the file was recorded.
            if (into >= 30 && into < nameEnd) {
                broken = true;
            } else if (into >= nameEnd && cutEntry.mode != testsupport::kDirectoryMode) {
                broken = true;
                files += cutEntry.name + " ";
            }
        }
        expected += (broken ? "0 " : "1 ") + files + (broken ? "broken" : "") + "\n";
    }
    const RunResult run = testsupport::runInRoot(sandbox, [&] {
        Installer& installer = Installer::instance();
        std::ostringstream console;
        installer.console = &console;
        for (size_t cut = 0; cut <= whole.size(); ++cut) {
            std::istringstream source(packageWith(deflated(whole.substr(0, cut))));
            PackageReader reader(source, true);
            reader.wantedTypes = {1, 4};
            reader.nextPart();
            reader.nextPart();
            InstalledPackage record("pkg");
            Manifest manifest;
            installer.messages.clear();
            std::cout << extractFiles(record, manifest, reader, std::nullopt) << ' ';
            for (const std::string& file : record.files) std::cout << file.substr(7) << ' ';
            if (!installer.messages.empty())
                std::cout << (installer.messages.back().find("failed: broken package") !=
                                      std::string::npos
                                  ? "broken"
                                  : installer.messages.back());
            std::cout << '\n';
            manifest.discard();
        }
        return 0;
    });
    EXPECT_EQ(run.out, expected) << run.err;
}

// All that zlib can inflate from a stream cut short.
std::string inflatedPrefix(const std::string& cut) {
    z_stream stream{};
    std::string out(1 << 20, '\0');
    inflateInit(&stream);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(cut.data()));
    stream.avail_in = uInt(cut.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    inflate(&stream, Z_SYNC_FLUSH);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

TEST(ExtractFiles, DamagedStreamIsABrokenPackage) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string data = randomBytes(60000, 5);
    const std::string before = inflatedContainer({{"early", "kept"}, {"late", ""}});
    const std::string stream = deflated(inflatedContainer({{"early", "kept"}, {"late", data}}));
    // The stream cut inside the second file's data: the first stays staged and recorded, the
    // second holds what could be inflated of it.
    const RunResult run = extractInSandbox(sandbox, packageWith(stream.substr(0, 20000)));
    const std::string lateStaged = inflatedPrefix(stream.substr(0, 20000)).substr(before.size());
    ASSERT_LT(lateStaged.size(), data.size());
    EXPECT_EQ(run.out,
              "result 0\nfile /flash/early\nfile /flash/late\n"
              "staged /flash/early 644 \"kept\"\n"
              "staged /flash/late 644 " +
                  shown(data.substr(0, lateStaged.size())) +
                  "\n"
                  "ERROR: installation of pkg-7.1 failed: broken package\n"
                  "progress 1\nnext 9\n")
        << run.err;
    // A wrong checksum at the end of the stream is left to the signature, which covers the same
    // bytes and is checked before anything staged is committed.
    std::string badSum = stream;
    badSum.back() ^= 0x01;
    EXPECT_EQ(extractInSandbox(sandbox, packageWith(badSum)).out.substr(0, 9), "result 1\n");
}

TEST(ExtractFiles, UnsafeNamesAreRefusedBeforeStaging) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const char* unsafe[] = {"../etc/passwd",
                            "bin/../../etc/passwd",
                            "..",
                            "/",
                            "",
                            "a//b",
                            "a/",
                            "./a",
                            "a/.",
                            "//a",
                            "a\nb",
                            "a\x01",
                            "tab\tname",
                            "del\x7f"};
    for (const char* name : unsafe) {
        const std::string package = packageWith(deflated(inflatedContainer({
            {"fine", "ok"},
            // The same name on an entry that is passed over is harmless.
            {name, "", testsupport::kDirectoryMode},
            {name, "payload"},
            {"never", "reached"},
        })));
        EXPECT_EQ(extractInSandbox(sandbox, package).out,
                  "result 0\nfile /flash/fine\nstaged /flash/fine 644 \"ok\"\n"
                  "ERROR: installation of pkg-7.1 failed: broken package\nprogress 1\nnext 9\n")
            << testing::PrintToString(std::string(name));
    }
    // Names that look odd but stay below the flash root.
    EXPECT_TRUE(isSafeEntryName("/a/b.c/..d/...e/f g"));
    EXPECT_TRUE(isSafeEntryName(".hidden"));

    // A disabled package's own name becomes a directory too.
    Extraction disabled;
    disabled.name = "..";
    disabled.disabled = true;
    EXPECT_EQ(
        extractInSandbox(sandbox, packageWith(deflated(inflatedContainer({{"f", "x"}}))), disabled)
            .out,
        "result 0\nERROR: installation of ..-7.1 failed: broken package\nprogress 0\n"
        "next 9\n");
}

TEST(ExtractFiles, WriteFailuresNameTheEntry) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // No room beside the targets on a small flash, and no RAM to stage in instead.
    ASSERT_EQ(rmdir(sandbox.path("/ram").c_str()), 0);
    const RunResult run =
        extractInSandbox(sandbox, packageWith(deflated(inflatedContainer({{"/etc/conf", "2"}}))),
                         {}, {.mounts = {{"/flash", 64 * 1024}}});
    EXPECT_EQ(run.out,
              "result 0\nERROR: installation of pkg-7.1 failed: could not create /etc/conf: No "
              "such file or directory\nprogress 0\nnext 9\n")
        << run.err;
}

TEST(ExtractFiles, StagingStopsAtWhatFlashCanKeep) {
    REQUIRE_ROOT_CHANGE();
    // A flash of 1 MiB, and RAM enough for all: the flash alone bounds what is staged, wherever
    // it is staged. A replaced file, or one the run removes, gives its room back.
    constexpr size_t kKiB = 1024;
    const std::string threeQuarters(768 * kKiB, 'z');
    std::vector<ContainerEntry> bomb;  // 16 MiB inflated from a few KiB
    // Appended, not inserted before: GCC 12 at -O3 reports a false overlap for "f" + string.
    for (int i = 0; i < 16; ++i)
        bomb.push_back({std::string("f") + std::to_string(i), std::string(1024 * kKiB, 'z')});
    const struct {
        const char* what;
        std::vector<ContainerEntry> entries;
        Extraction how;
        const char* stagedLast;  // the last file staged, or none
    } cases[] = {
        {"a container far larger than the flash", bomb, {}, "f0"},
        {"a file replacing one as large",
         {{"f0", threeQuarters}},
         {.onFlash = {"/flash/f0"}},
         "f0"},
        {"a file where the run removes one",
         {{"new", threeQuarters}},
         {.onFlash = {"/flash/old"}, .removed = {"/flash/old"}},
         "new"},
        {"a file beside one that stays",
         {{"new", threeQuarters}},
         {.onFlash = {"/flash/old"}},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sandbox sandbox;
        const RunResult run =
            extractInSandbox(sandbox, packageWith(deflated(inflatedContainer(c.entries))), c.how,
                             {.mounts = {{"/flash", 1024 * kKiB}, {"/ram", 32 * 1024 * kKiB}}});
        const bool whole = c.stagedLast && c.entries.back().name == c.stagedLast;
        EXPECT_EQ(run.out.find("disk is too small\n") == std::string::npos, whole) << run.out;
        size_t staged = 0;
        for (size_t at = 0; (at = run.out.find("staged /flash/", at)) != std::string::npos; ++at)
            ++staged;
        EXPECT_EQ(staged, c.how.removed.size() + (c.stagedLast ? 1 : 0)) << run.out;
        if (c.stagedLast) {
            EXPECT_NE(run.out.find(std::string("file /flash/") + c.stagedLast + "\n"),
                      std::string::npos);
        }
    }
}

TEST(ExtractFiles, StagesBesideTheTargetsWhileTheirFlashHasRoom) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // A flash of 1 MiB: each file goes to the nearest existing directory above its target while
    // the files staged there so far, this one and a margin of 64 KiB fit; then to RAM.
    const std::string quarter(256 * 1024, 'q');
    const RunResult run = extractInSandbox(
        sandbox,
        packageWith(deflated(inflatedContainer(
            {{"a", quarter}, {"new/b", quarter}, {"old/c", quarter}, {"new/d", quarter}}))),
        {.directories = {"/flash/old"}, .where = true},
        {.mounts = {{"/flash", 1024 * 1024}}});
    EXPECT_EQ(run.out,
              "result 1\nfile /flash/a\nfile /flash/new/b\nfile /flash/new/d\nfile /flash/old/c\n"
              "staged /flash/a in /flash\nstaged /flash/new/b in /flash\n"
              "staged /flash/new/d in /ram\nstaged /flash/old/c in /flash/old\n"
              "progress 1\nnext 9\n")
        << run.err;
}

}  // namespace

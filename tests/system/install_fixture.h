// Shared by the tests that install packages through the built binary's "-" mode.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "record/package_record.h"
#include "support/console_text.h"
#include "support/sandbox.h"
#include "support/test_packages.h"

using namespace velmara;

namespace installtest {

using testsupport::RunResult;
using testsupport::RunSetup;
using testsupport::Sandbox;

inline PackageVersion version(const std::string& text) {
    PackageVersion v = 0;
    EXPECT_TRUE(parseVersion(text, v)) << text;
    return v;
}

inline vlpkg::PackageSpec package(
    const std::string& name, const std::string& versionText,
    const std::vector<std::pair<std::string, std::string>>& files = {}) {
    return testsupport::simplePackage(name, versionText, files);
}

inline std::string signedPackage(const vlpkg::PackageSpec& description) {
    return testsupport::signedBytes(testsupport::packageBytes(description));
}

inline std::string signedBundle(const vlpkg::BundleSpec& description) {
    return testsupport::signedBytes(testsupport::bundleBytes(description));
}

using testsupport::messagesOf;

class InstallFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_ROOT_CHANGE();
        sandbox.makeDirectory("/flash/var/pdb");
    }

    // Runs "installer -r ROOT [options] -" with the package on standard input.
    RunResult install(const std::string& packageBytes, const std::vector<std::string>& options = {},
                      RunSetup setup = {}) {
        std::vector<std::string> args = {"-r", sandbox.root()};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("-");
        setup.input = packageBytes;
        // The leak checker reads /proc at exit, which the changed root lacks.
        const char* asan = getenv("ASAN_OPTIONS");
        setup.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":detect_leaks=0";
        return testsupport::runInstaller(sandbox, args, setup);
    }

    // Installs and expects success; for setting up an installed set.
    void installed(const std::string& packageBytes, const std::vector<std::string>& options = {}) {
        const RunResult run = install(packageBytes, options);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
    }

    std::string entry(const std::string& name, const std::string& file) {
        return sandbox.readFile("/flash/var/pdb/" + name + "/" + file);
    }

    // Expects a failed run that left the router root exactly as it was, with the messages in
    // the postlog; the postlog is taken out of the comparison.
    void expectUntouched(const RunResult& run, const std::string& before, int status,
                         const std::string& messages) {
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_EQ(messagesOf(run.out), messages);
        EXPECT_EQ(sandbox.readFile("/flash/postlog"), messages);
        removePostlog();
        EXPECT_EQ(sandbox.listing(), before);
    }

    // The router root before a run that must change nothing (the postlog is compared apart).
    std::string snapshot() {
        removePostlog();
        return sandbox.listing();
    }

    void removePostlog() { std::remove(sandbox.path("/flash/postlog").c_str()); }

    Sandbox sandbox;
};

}  // namespace installtest

#include "report/reporter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "package/package_report.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

class ReporterTest : public ::testing::Test {
protected:
    void SetUp() override { installer.console = &console; }

    InstalledPackage package(const std::string& name, PackageVersion version) {
        InstalledPackage record(name);
        record.version = version;
        return record;
    }

    ReportContext installer;
    std::ostringstream console;
};

const std::string kBlank = "\r" + std::string(79, ' ') + "\r";

TEST_F(ReporterTest, MessagesCarryTheirPrefixesAndAreRecorded) {
    Reporter::info(installer, "installed %s", "a-1.0");
    Reporter::warning(installer, "could not open repo");
    Reporter::error(installer, "broken package %s", "x.vlp");
    EXPECT_EQ(console.str(),
              "installed a-1.0\nWARNING: could not open repo\nERROR: broken package x.vlp\n");
    EXPECT_EQ(installer.messages,
              (std::vector<std::string>{"installed a-1.0", "WARNING: could not open repo",
                                        "ERROR: broken package x.vlp"}));
}

TEST_F(ReporterTest, WarningUnderStatusLineRedrawsTheLineBelow) {
    Reporter::status(installer, "installing x");
    console.str("");
    Reporter::warning(installer, "w");
    EXPECT_EQ(console.str(), kBlank + "WARNING: w\ninstalling x");
    EXPECT_EQ(installer.statusLine, "installing x");
}

TEST_F(ReporterTest, ErrorWipesStatusLineFirstAndDoesNotRedrawIt) {
    Reporter::status(installer, "abc");
    console.str("");
    Reporter::error(installer, "e");
    EXPECT_EQ(console.str(), "\x1b[?25l\r   \r\x1b[?25hERROR: e\n");
    EXPECT_TRUE(installer.statusLine.empty());
}

TEST_F(ReporterTest, ShorterStatusBlanksTheRestAndSameStatusWritesNothing) {
    Reporter::status(installer, "longer text");
    EXPECT_EQ(console.str(), "\x1b[?25l\rlonger text\r\x1b[?25h");
    console.str("");
    Reporter::status(installer, "short");
    EXPECT_EQ(console.str(), "\x1b[?25l\rshort      \r\x1b[?25h");
    console.str("");
    Reporter::status(installer, "short");
    EXPECT_EQ(console.str(), "");
    Reporter::status(installer, "");
    EXPECT_EQ(console.str(), "\x1b[?25l\r     \r\x1b[?25h");
    console.str("");
    Reporter::status(installer, "");
    EXPECT_EQ(console.str(), "");
}

TEST_F(ReporterTest, LongMessageIsCutTo255CharactersBehindThePrefix) {
    const std::string text(300, 'x');
    Reporter::warning(installer, "%s", text.c_str());
    const std::string expected = "WARNING: " + std::string(255, 'x');
    EXPECT_EQ(console.str(), expected + "\n");
    EXPECT_EQ(installer.messages.back(), expected);
}

TEST_F(ReporterTest, QuietPrintsAndRecordsNothing) {
    installer.quiet = 1;
    Reporter::status(installer, "bar");
    Reporter::info(installer, "i");
    Reporter::warning(installer, "w");
    Reporter::error(installer, "e");
    EXPECT_EQ(console.str(), "");
    EXPECT_TRUE(installer.messages.empty());
    EXPECT_TRUE(installer.statusLine.empty());
}

TEST_F(ReporterTest, ProgressBarFillsByConsumedShare) {
    const InstalledPackage record = package("wisp", makeVersion(7, 1, 'f', 0));
    const std::string empty = Reporter::progressLine(record, 0, 1000);
    // "installing wisp-7.1 [" is 21 characters, leaving 55 for the bar.
    EXPECT_EQ(empty, "installing wisp-7.1 [" + std::string(55, ' ') + "]");
    EXPECT_EQ(empty.size(), 77u);
    EXPECT_EQ(Reporter::progressLine(record, 1000, 1000),
              "installing wisp-7.1 [" + std::string(55, '#') + "]");
    // 999 * 55 / 1000 = 54.945, truncated.
    EXPECT_EQ(Reporter::progressLine(record, 999, 1000),
              "installing wisp-7.1 [" + std::string(54, '#') + " ]");
    // The product is 64-bit: a 4 GiB package does not overflow.
    EXPECT_EQ(Reporter::progressLine(record, 0xFFFFFFFFull, 0xFFFFFFFFull).find(' ', 21),
              std::string::npos);
}

TEST_F(ReporterTest, ProgressNamesDisabledAndBundledPackages) {
    InstalledPackage record = package("dhcp", makeVersion(7, 1, 'f', 0));
    record.disabled = true;
    EXPECT_EQ(Reporter::progressLine(record, 0, 1).rfind("installing  (disabled) dhcp-7.1 [", 0),
              0u);
    record.bundle = {"velmara", makeVersion(7, 2, 'f', 0), makeVersion(7, 2, 'f', 0), 0};
    EXPECT_EQ(Reporter::progressLine(record, 0, 1).rfind("installing velmara-7.2 [", 0), 0u);
    // A name that leaves no room for the bar is drawn without one rather than overrunning.
    InstalledPackage longName = package(std::string(70, 'n'), 0);
    EXPECT_EQ(Reporter::progressLine(longName, 1, 2), "installing " + longName.name + "-0.0 []");
}

TEST_F(ReporterTest, ProgressRedrawsOnlyWhenTheBarChanges) {
    const InstalledPackage record = package("a", makeVersion(1, 0, 'f', 0));
    Reporter::progress(installer, record, 0, 1000);
    const std::string first = console.str();
    Reporter::progress(installer, record, 1, 1000);
    EXPECT_EQ(console.str(), first);
}

TEST_F(ReporterTest, InstallFailedChoosesTheMessageByErrno) {
    const InstalledPackage record = package("a", makeVersion(1, 0, 'f', 0));
    errno = ENOSPC;
    Reporter::installFailed(installer, record, "/flash/a");
    errno = EIO;
    Reporter::installFailed(installer, record, "/flash/a");
    errno = EACCES;
    Reporter::installFailed(installer, record, "/flash/a");
    Reporter::brokenPackage(installer, record);
    EXPECT_EQ(installer.messages,
              (std::vector<std::string>{
                  "ERROR: installation of a-1.0 failed: disk is too small",
                  "ERROR: installation of a-1.0 failed: disk error",
                  "ERROR: installation of a-1.0 failed: could not create /flash/a: Permission "
                  "denied",
                  "ERROR: installation of a-1.0 failed: broken package"}));
}

class PostlogTest : public ReporterTest {
protected:
    void SetUp() override {
        ReporterTest::SetUp();
        installer.postlogPath = sandbox.path("/flash/postlog");
    }
    testsupport::Sandbox sandbox;
};

TEST_F(PostlogTest, UnreservedRunAppendsAndSilentRunTouchesNothing) {
    Reporter::writePostlog(installer);
    EXPECT_FALSE(sandbox.exists("/flash/postlog"));
    sandbox.writeFile("/flash/postlog", "old\n");
    Reporter::info(installer, "new");
    Reporter::writePostlog(installer);
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), "old\nnew\n");
}

TEST_F(PostlogTest, ReserveHoldsZerosThenRewritesOldLinesFirst) {
    sandbox.writeFile("/flash/postlog", "one\ntwo\npartial");
    Reporter::reservePostlog(installer);
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), std::string(4096, '\0'));
    Reporter::error(installer, "three");
    Reporter::writePostlog(installer);
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), "one\ntwo\nERROR: three\n");
}

TEST_F(PostlogTest, EarlierRunsStayFirstWhenTheRunReportedBeforeReserving) {
    sandbox.writeFile("/flash/postlog", "earlier run\n");
    Reporter::info(installer, "disabled x-1.0");
    Reporter::reservePostlog(installer);
    Reporter::info(installer, "installed y-1.0");
    Reporter::writePostlog(installer);
    EXPECT_EQ(sandbox.readFile("/flash/postlog"),
              "earlier run\ndisabled x-1.0\ninstalled y-1.0\n");
}

TEST_F(PostlogTest, ReservedLogOfAnInterruptedRunReadsAsEmpty) {
    sandbox.writeFile("/flash/postlog", std::string(4096, '\0'));
    installer.quiet = 1;
    Reporter::reservePostlog(installer);
    Reporter::info(installer, "not recorded when quiet");
    Reporter::writePostlog(installer);
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), "");
}

}  // namespace

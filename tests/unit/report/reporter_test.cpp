#include "report/reporter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "support/sandbox.h"

using namespace velmara;

namespace {

class ReporterTest : public ::testing::Test {
protected:
    void SetUp() override { installer.console = &console; }

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

#include "package/package_report.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

using namespace velmara;

namespace {

class PackageReportTest : public ::testing::Test {
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

}  // namespace

TEST_F(PackageReportTest, ProgressBarFillsByConsumedShare) {
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

TEST_F(PackageReportTest, ProgressNamesDisabledAndBundledPackages) {
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

TEST_F(PackageReportTest, ProgressRedrawsOnlyWhenTheBarChanges) {
    const InstalledPackage record = package("a", makeVersion(1, 0, 'f', 0));
    Reporter::progress(installer, record, 0, 1000);
    const std::string first = console.str();
    Reporter::progress(installer, record, 1, 1000);
    EXPECT_EQ(console.str(), first);
}

TEST_F(PackageReportTest, InstallFailedChoosesTheMessageByErrno) {
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

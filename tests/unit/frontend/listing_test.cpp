// The "--show" table, byte for byte.
#include "frontend/listing.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace velmara;

namespace {

const std::string kHeader =
    "            Name          Version                Built                                    "
    "Note\n" +
    std::string(94, '-') + "\n";

std::unique_ptr<InstalledPackage> package(const std::string& name, PackageVersion version,
                                          uint32_t buildTime) {
    auto p = std::make_unique<InstalledPackage>(name);
    p->version = version;
    p->buildTime = buildTime;
    return p;
}

std::string show(const Installer& installer) {
    std::ostringstream out;
    showPackages(installer, out);
    return out.str();
}

TEST(ListingTest, EmptyDatabaseGivesHeaderAndRuleOnly) {
    Installer installer;
    const std::string text = show(installer);
    EXPECT_EQ(text, kHeader);
    EXPECT_EQ(text.find('\n'), 94u);
}

TEST(ListingTest, RowsCarryMarksTimeAndNoteInLoadedOrder) {
    Installer installer;
    auto member = package("wifi", makeVersion(7, 1, kReleaseBeta, 3), 1551954125);
    member->disabled = true;
    member->bundle.name = "suite";
    member->note = "radio driver";
    installer.packages.push_back(std::move(member));
    installer.packages.push_back(package("suite", makeVersion(7, 1, kReleaseFinal, 0), 0));
    auto plain = package("dhcp", makeVersion(6, 45, kReleaseFinal, 1), 4294967295u);
    installer.packages.push_back(std::move(plain));
    const std::string text = show(installer);
    EXPECT_EQ(text, kHeader +
                        "            wifi XB      7.1beta3 Mar/07/2019 10:22:05"
                        "                             radio driver\n"
                        "           suite              7.1 Jan/01/1970 00:00:00"
                        "                                         \n"
                        "            dhcp           6.45.1 Feb/07/2106 06:28:15"
                        "                                         \n");
    for (size_t start = kHeader.size(); start < text.size();) {
        const size_t end = text.find('\n', start);
        EXPECT_EQ(end - start, 95u);
        start = end + 1;
    }
}

TEST(ListingTest, LongValuesAreWrittenWholeAndPushTheLineRight) {
    Installer installer;
    auto p = package("a-twenty-char-name-x", makeVersion(1, 0, kReleaseAlpha, 0), 86400);
    p->note = std::string(45, 'n');
    installer.packages.push_back(std::move(p));
    EXPECT_EQ(show(installer), kHeader +
                                   "a-twenty-char-name-x         1.0alpha Jan/02/1970 00:00:00 " +
                                   std::string(45, 'n') + "\n");
}

TEST(ListingTest, BuiltTextIsUtc) {
    EXPECT_EQ(builtText(0), "Jan/01/1970 00:00:00");
    EXPECT_EQ(builtText(951782400), "Feb/29/2000 00:00:00");
    EXPECT_EQ(builtText(1700000000), "Nov/14/2023 22:13:20");
}

}  // namespace

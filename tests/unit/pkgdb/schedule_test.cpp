// Schedule files left by other programs, and what pending actions leave of a dependency.
#include "pkgdb/schedule.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "pkgdb/database.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::RunResult;
using testsupport::Sandbox;

TEST(ScheduleTest, PathKeepsOnlyLettersDigitsAndDashes) {
    EXPECT_EQ(schedulePath("wifi-ac_2"), "/ram/pdb/wifi-ac2/schedule");
    EXPECT_EQ(schedulePath("a.b/../c d\te"), "/ram/pdb/abcde/schedule");
    EXPECT_EQ(schedulePath("caf\xc3\xa9"), "/ram/pdb/caf/schedule");
    EXPECT_EQ(schedulePath("Up-2"), "/ram/pdb/Up-2/schedule");
}

// In a child rooted in the sandbox: a record in the given state reads its schedule; prints
// the action and the user's choice afterwards.
std::string applySchedule(const Sandbox& sandbox, const std::string& name, bool disabled,
                          bool userChoice, int32_t action) {
    const RunResult run = testsupport::runInRoot(sandbox, [&] {
        InstalledPackage record(name);
        record.disabled = disabled;
        record.userChoice = userChoice;
        record.scheduledAction = action;
        ReadFailure failure;
        if (!readSchedule(record, failure)) return 1;
        std::cout << record.scheduledAction << ' ' << record.userChoice << ' ' << record.disabled;
        return 0;
    });
    return run.out;
}

TEST(ScheduleTest, OnlyTheFirstWordCountsAndOnlyExactWords) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/ram/pdb/wifi-ac2/schedule", "enable now please\n");
    EXPECT_EQ(applySchedule(sandbox, "wifi-ac_2", false, false, ActionNone), "2 1 0");

    sandbox.writeFile("/ram/pdb/wifi-ac2/schedule", "Enable\n");
    EXPECT_EQ(applySchedule(sandbox, "wifi-ac_2", false, false, ActionNone), "0 0 0");

    // An unrecognised word leaves the loader's own verdict on a broken entry.
    EXPECT_EQ(applySchedule(sandbox, "wifi-ac_2", false, false, ActionUninstall), "1 0 0");

    sandbox.writeFile("/ram/pdb/wifi-ac2/schedule", "  \n\tuninstall");
    EXPECT_EQ(applySchedule(sandbox, "wifi-ac_2", false, false, ActionNone), "1 0 0");

    sandbox.writeFile("/ram/pdb/wifi-ac2/schedule", "");
    EXPECT_EQ(applySchedule(sandbox, "wifi-ac_2", true, true, ActionNone), "0 1 1");
    // No schedule file at all.
    EXPECT_EQ(applySchedule(sandbox, "other", false, true, ActionNone), "0 1 0");
}

TEST(ScheduleTest, DisableOfADisabledPackageBecomesTheUsersChoice) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/ram/pdb/vpn/schedule", "disable\n");
    EXPECT_EQ(applySchedule(sandbox, "vpn", true, false, ActionNone), "3 1 1");
    // Names that reduce alike read the same file.
    EXPECT_EQ(applySchedule(sandbox, "v.p.n", false, false, ActionNone), "3 1 0");
}

TEST(ScheduleTest, LoaderAppliesTheScheduleAfterTheStateFiles) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/flash/var/pdb/vpn/version", "1 2\n");
    sandbox.writeFile("/flash/var/pdb/vpn/files", "");
    sandbox.writeFile("/flash/var/pdb/vpn/disabled", "auto\n");
    sandbox.writeFile("/ram/pdb/vpn/schedule", "enable");
    // A placeholder record never reads its schedule.
    sandbox.writeFile("/ram/pdb/hold/schedule", "uninstall");
    const RunResult run = testsupport::runInRoot(sandbox, [] {
        ReadFailure failure;
        InstalledPackage vpn("vpn");
        InstalledPackage hold("hold");
        hold.version = hold.buildTime = kPlaceholderMark;
        if (!readDatabaseEntry(vpn, failure) || !readDatabaseEntry(hold, failure)) return 1;
        std::cout << vpn.disabled << vpn.userChoice << vpn.scheduledAction << ' '
                  << hold.scheduledAction;
        return 0;
    });
    EXPECT_EQ(run.out, "112 0");
}

InstalledPackage provider(bool disabled, int32_t action) {
    InstalledPackage p("p");
    p.disabled = disabled;
    p.scheduledAction = action;
    return p;
}

TEST(ScheduleTest, ProviderStateFollowsItsTable) {
    struct Case {
        std::vector<std::pair<bool, int32_t>> providers;  // disabled, action
        int32_t expected;
    } cases[] = {
        {{}, ActionUninstall},
        {{{false, ActionNone}}, ActionNone},
        {{{true, ActionNone}}, ActionDisable},
        {{{false, ActionUninstall}}, ActionUninstall},
        {{{false, ActionEnable}}, ActionNone},  // a redundant request: it stays enabled
        {{{false, ActionDisable}}, ActionDisable},
        {{{true, ActionEnable}}, ActionNone},
        {{{true, ActionUninstall}}, ActionUninstall},  // disabled now, gone afterwards
        {{{true, ActionDisable}}, ActionDisable},
        {{{false, ActionUninstall}, {true, ActionUninstall}}, ActionUninstall},
        {{{false, ActionUninstall}, {false, ActionEnable}}, ActionNone},
        {{{false, ActionUninstall}, {true, ActionNone}}, ActionDisable},
        // The first provider that stays enabled decides, whatever comes after.
        {{{true, ActionNone}, {false, ActionNone}}, ActionNone},
        {{{false, ActionDisable}, {true, ActionEnable}, {false, ActionUninstall}}, ActionNone},
    };
    for (const Case& c : cases) {
        std::vector<InstalledPackage> records;
        std::ostringstream label;
        for (const auto& [disabled, action] : c.providers) {
            records.push_back(provider(disabled, action));
            label << (disabled ? "D" : "E") << action << ' ';
        }
        std::vector<InstalledPackage*> pointers;
        for (auto& r : records) pointers.push_back(&r);
        EXPECT_EQ(providerState(pointers), c.expected) << label.str();
    }
}

}  // namespace

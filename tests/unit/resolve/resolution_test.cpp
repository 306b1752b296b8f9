#include "resolve/resolution.h"

#include <gtest/gtest.h>

#include "pkgdb/schedule.h"
#include "resolve_fixture.h"

using namespace velmara;

namespace {

using namespace resolvetest;

PackageVersion boardMinimum = 0;
uint32_t testBoardMinimum() { return boardMinimum; }

class CheckCandidateTest : public ::testing::Test, protected TestInstaller {
protected:
    void SetUp() override {
        saved = boardMinimumSource;
        boardMinimum = 0;
        boardMinimumSource = testBoardMinimum;
    }
    void TearDown() override { boardMinimumSource = saved; }
    BoardMinimumSource saved = nullptr;
};

TEST_F(CheckCandidateTest, FreshCandidateWithEverythingProvidedPassesSilently) {
    add("lib", v(1, 0));
    EXPECT_EQ(checkCandidate(installer, candidate("app", v(1, 0), {entry("lib")}), 0), 0u);
    PackageRecord noArch = candidate("tool", v(1, 0));
    noArch.architecture.clear();
    EXPECT_EQ(checkCandidate(installer, noArch, 0), 0u);
    add("app", v(0, 9));
    EXPECT_EQ(checkCandidate(installer, candidate("app", v(1, 0)), 0), 0u);  // an upgrade
    EXPECT_EQ(console.str(), "");
}

TEST_F(CheckCandidateTest, SameVersionAndBuildIsAReinstall) {
    add("app", v(1, 0)).buildTime = 5;
    PackageRecord same = candidate("app", v(1, 0));
    same.buildTime = 5;
    EXPECT_EQ(checkCandidate(installer, same, 0), Reinstall);
    EXPECT_EQ(console.str(), "WARNING: omitting package app-1.0: it is already installed\n");
    console.str("");
    EXPECT_EQ(checkCandidate(installer, same, allowReinstall), Reinstall);
    EXPECT_EQ(console.str(), "");
    // A newer build of the same version is an upgrade.
    same.buildTime = 6;
    EXPECT_EQ(checkCandidate(installer, same, 0), 0u);
}

TEST_F(CheckCandidateTest, OnlyTheFirstFindingIsReported) {
    add("app", v(2, 0));
    const PackageRecord older = candidate("app", v(1, 0), {entry("missing"), entry("gone")});
    EXPECT_EQ(checkCandidate(installer, older, 0), Downgrade | Uninstallable);
    EXPECT_EQ(console.str(),
              "WARNING: omitting package app-1.0: newer package app-2.0 is already installed\n");
    console.str("");
    EXPECT_EQ(checkCandidate(installer, older, allowDowngrade), Downgrade | Uninstallable);
    EXPECT_EQ(console.str(),
              "ERROR: can not install app-1.0: missing is not installed, but is required\n");
}

TEST_F(CheckCandidateTest, BrandingIsNeverADowngradeOrReinstall) {
    add("branding", v(2, 0));
    EXPECT_EQ(checkCandidate(installer, candidate("branding", v(1, 0)), 0), 0u);
    EXPECT_EQ(checkCandidate(installer, candidate("branding", v(2, 0)), 0), 0u);
    EXPECT_EQ(console.str(), "");
}

TEST_F(CheckCandidateTest, BoardMinimumGuardsOnlyTheSystem) {
    boardMinimum = v(7, 1);
    EXPECT_EQ(checkCandidate(installer, candidate("system", v(7, 0)), 0), Uninstallable);
    EXPECT_EQ(console.str(), "ERROR: omitting package system-7.0: min Velmara version is 7.1\n");
    EXPECT_EQ(checkCandidate(installer, candidate("velmara-bundle", v(7, 0)), 0), Uninstallable);
    EXPECT_EQ(checkCandidate(installer, candidate("system", v(7, 1)), 0), 0u);
    EXPECT_EQ(checkCandidate(installer, candidate("mysystem", v(1, 0)), 0), 0u);
    EXPECT_EQ(checkCandidate(installer, candidate("avelmara", v(1, 0)), 0), 0u);
    console.str("");
    EXPECT_EQ(checkCandidate(installer, candidate("system", v(7, 0)), Uninstallable), Uninstallable);
    EXPECT_EQ(console.str(), "");
}

TEST_F(CheckCandidateTest, ArchitectureMustMatchExactly) {
    installer.arch = "powerpc";
    EXPECT_EQ(checkCandidate(installer, candidate("app", v(1, 0)), 0), Uninstallable);
    EXPECT_EQ(console.str(), "ERROR: can not install app-1.0: it is not made for powerpc, but for i386\n");
    installer.arch = "";
    EXPECT_EQ(checkCandidate(installer, candidate("app", v(1, 0)), 0), Uninstallable);
}

TEST_F(CheckCandidateTest, DependencyOnlyADisabledPackageProvidesIsMissing) {
    add("lib", v(1, 0)).disabled = true;
    EXPECT_EQ(checkCandidate(installer, candidate("app", v(1, 0), {entry("lib", v(1, 0))}), 0),
              Uninstallable);
    EXPECT_EQ(console.str(),
              "ERROR: can not install app-1.0: lib-1.0 is not installed, but is required\n");
    // Provided by another name, within the range.
    add("impl", v(3, 0)).provides = {entry("lib", v(1, 0), v(2, 0))};
    console.str("");
    EXPECT_EQ(checkCandidate(installer, candidate("app", v(1, 0), {entry("lib", v(1, 5))}), 0), 0u);
    EXPECT_EQ(checkCandidate(installer, candidate("app", v(1, 0), {entry("lib", v(2, 1))}), 0),
              Uninstallable);
}

TEST_F(CheckCandidateTest, ConflictWithEnabledPackagesOnly) {
    InstalledPackage& old = add("old-dhcp", v(1, 0));
    old.conflicts = {entry("dhcp")};
    EXPECT_EQ(checkCandidate(installer, candidate("dhcp", v(1, 0)), 0), Conflict);
    EXPECT_EQ(console.str(), "ERROR: can not install dhcp-1.0: it conflicts with old-dhcp-1.0\n");
    console.str("");
    EXPECT_EQ(checkCandidate(installer, candidate("dhcp", v(1, 0)), Conflict), Conflict);
    EXPECT_EQ(console.str(), "");
    old.disabled = true;
    EXPECT_EQ(checkCandidate(installer, candidate("dhcp", v(1, 0)), 0), 0u);
}

class SelectCandidatesTest : public ::testing::Test, protected TestInstaller {
protected:
    std::vector<std::string> names(const std::vector<PackageRecord*>& list) {
        std::vector<std::string> out;
        for (auto* r : list) out.push_back(recordName(*r));
        return out;
    }
};

TEST_F(SelectCandidatesTest, IndependentCandidatesComeOutReversedAndDependentsFollow) {
    PackageRecord a = candidate("A", v(1, 0)), b = candidate("B", v(1, 0)),
                  c = candidate("C", v(1, 0));
    std::vector<PackageRecord*> list{&a, &b, &c};
    selectCandidates(installer, list, kNoFloor, true);
    EXPECT_EQ(names(list), (std::vector<std::string>{"C-1.0", "B-1.0", "A-1.0"}));
    b.depends = {entry("A")};
    list = {&a, &b, &c};
    selectCandidates(installer, list, kNoFloor, true);
    EXPECT_EQ(names(list), (std::vector<std::string>{"C-1.0", "A-1.0", "B-1.0"}));
    EXPECT_EQ(console.str(), "");
}

TEST_F(SelectCandidatesTest, NewestOfOnePackageWinsAndEqualPlainOnesBothVanish) {
    PackageRecord a1 = candidate("A", v(1, 0)), a2 = candidate("A", v(2, 0));
    std::vector<PackageRecord*> list{&a1, &a2};
    selectCandidates(installer, list, kNoFloor, true);
    EXPECT_EQ(names(list), (std::vector<std::string>{"A-2.0"}));
    EXPECT_EQ(console.str(), "WARNING: omitting package A-1.0: newer package is already provided\n");
    PackageRecord twin = candidate("A", v(2, 0));
    list = {&a2, &twin};
    selectCandidates(installer, list, kNoFloor, true);
    EXPECT_TRUE(list.empty());
}

TEST_F(SelectCandidatesTest, BundleWinsOverItsEqualMember) {
    PackageRecord bundle = candidate("velmara", v(7, 1));
    bundle.isBundle = true;
    auto member = std::make_unique<PackageRecord>(candidate("dhcp", v(7, 1)));
    bundle.members.push_back(std::move(member));
    PackageRecord plain = candidate("dhcp", v(7, 1));
    std::vector<PackageRecord*> list{&plain, &bundle};
    selectCandidates(installer, list, kNoFloor, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"velmara-7.1"}));
    // A newer plain package beats the bundle's older member, and the bundle drops out.
    PackageRecord newer = candidate("dhcp", v(7, 2));
    list = {&newer, &bundle};
    selectCandidates(installer, list, kNoFloor, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"dhcp-7.2"}));
}

TEST_F(SelectCandidatesTest, FloorRefusesOlderAndPrefersTheOlderRelatedCandidate) {
    PackageRecord low = candidate("A", v(6, 0)), mid = candidate("A", v(6, 5)),
                  high = candidate("A", v(7, 0)), other = candidate("B", v(5, 0));
    std::vector<PackageRecord*> list{&low, &mid, &high, &other};
    selectCandidates(installer, list, v(6, 1), false);  // reporting off: "not allowed" still shown
    // low is below the floor and dropped, but still beats mid and high as the older one.
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(console.str(),
              "WARNING: ommitting package A-6.0: not allowed\n"
              "WARNING: ommitting package B-5.0: not allowed\n");
    console.str("");
    list = {&mid, &high};
    selectCandidates(installer, list, v(6, 1), true);
    EXPECT_EQ(names(list), (std::vector<std::string>{"A-6.5"}));
    EXPECT_EQ(console.str(), "WARNING: omitting package A-7.0: older package is already provided\n");
}

TEST(ProviderActivation, DisabledProviderOfAnEnabledPackageGetsEnabled) {
    TestInstaller t;
    InstalledPackage& lib = t.add("lib");
    lib.disabled = true;
    InstalledPackage& app = t.add("app", v(1, 0), {entry("lib")});
    activateDependencies(t.installer, app, true);
    EXPECT_EQ(lib.scheduledAction, ActionEnable);
    EXPECT_EQ(t.console.str(), "");
}

TEST(ProviderActivation, UninstallOfANeededProviderIsCancelledWithAWarning) {
    TestInstaller t;
    InstalledPackage& base = t.add("base");
    base.scheduledAction = ActionUninstall;
    InstalledPackage& lib = t.add("lib", v(1, 0), {entry("base")});
    lib.scheduledAction = ActionDisable;
    InstalledPackage& app = t.add("app", v(1, 0), {entry("lib")});
    activateDependencies(t.installer, app, true);
    EXPECT_EQ(lib.scheduledAction, ActionNone);
    EXPECT_EQ(base.scheduledAction, ActionNone);  // the chain is kept as well
    EXPECT_EQ(t.console.str(),
              "WARNING: can not disable lib-1.0: app depends on it\n"
              "WARNING: can not uninstall base-1.0: lib depends on it\n");
}

TEST(ProviderActivation, CyclesEnd) {
    TestInstaller t;
    InstalledPackage& a = t.add("a", v(1, 0), {entry("b")});
    InstalledPackage& b = t.add("b", v(1, 0), {entry("a")});
    a.disabled = b.disabled = true;
    InstalledPackage& app = t.add("app", v(1, 0), {entry("a")});
    activateDependencies(t.installer, app, false);
    EXPECT_EQ(a.scheduledAction, ActionEnable);
    EXPECT_EQ(b.scheduledAction, ActionEnable);
}

}  // namespace

// Scheduled actions run in a child rooted in a sandbox (their staged writes use the router's
// fixed paths); the child prints what it printed, the installed set and the staged operations.
#include "resolve/package_operations.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>

#include "pkgdb/schedule.h"
#include "resolve_fixture.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using namespace resolvetest;
using testsupport::Sandbox;

const char* const kActionWords[] = {"-", "uninstall", "enable", "disable"};

// "name state action" per package, then the staged operations with the contents of new files.
std::string dump(const Installer& installer, const Manifest& manifest) {
    std::ostringstream out;
    out << "--\n";
    for (const auto& p : installer.packages) {
        out << p->name << (p->disabled ? " disabled " : " enabled ")
            << kActionWords[p->scheduledAction & 3] << '\n';
    }
    out << "--\n";
    for (const auto& [target, entry] : manifest) {
        if (entry.kind == Remove) {
            out << "remove " << target << '\n';
        } else {
            std::ifstream in(entry.source);
            std::string word;
            in >> word;
            out << "write " << target << ' ' << word << '\n';
        }
    }
    return out.str();
}

using Scenario = std::function<void(TestInstaller&, Manifest&)>;

// Builds the installed set in the child, runs the operation and returns everything printed.
std::string run(Sandbox& sandbox, const std::function<void(TestInstaller&)>& build,
                const Scenario& operation) {
    const auto result = testsupport::runInRoot(sandbox, [&] {
        TestInstaller t;
        t.installer.console = &std::cout;
        build(t);
        Manifest manifest;
        operation(t, manifest);
        std::cout << dump(t.installer, manifest);
        return 0;
    });
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
}

Scenario apply(int level) {
    return [level](TestInstaller& t, Manifest& m) { applyScheduledActions(t.installer, m, level); };
}

class ScheduledActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ROOT_CHANGE();
        for (const char* name : {"a", "b", "c", "lib", "app", "suite", "m1", "m2", "x", "y"})
            sandbox.writeFile(std::string("/flash/var/pdb/") + name + "/version", "1.0\n");
    }
    Sandbox sandbox;
};

TEST_F(ScheduledActionsTest, ConsistentSetStagesAndPrintsNothing) {
    EXPECT_EQ(run(sandbox, [](TestInstaller& t) { t.add("a"); t.add("b").disabled = true; }, apply(1)),
              "--\na enabled -\nb disabled -\n--\n");
}

TEST_F(ScheduledActionsTest, DisableWritesStateFilesAndReportsAtLevelOne) {
    const std::string out = run(
        sandbox,
        [](TestInstaller& t) {
            t.add("a");
            t.add("b").scheduledAction = ActionDisable;
            InstalledPackage& c = t.add("c");
            c.disabled = true;
            c.userChoice = true;
            c.scheduledAction = ActionEnable;
        },
        apply(1));
    EXPECT_EQ(out,
              "\x1b[?25l\rdisabling b-1.0...\r\x1b[?25h"
              "\x1b[?25l\r                  \r\x1b[?25hdisabled b-1.0\n"
              "\x1b[?25l\renabling c-1.0...\r\x1b[?25h"
              "\x1b[?25l\r                 \r\x1b[?25henabled c-1.0\n"
              "--\na enabled -\nb disabled -\nc enabled -\n--\n"
              "write /flash/var/pdb/b/disabled auto\n"
              "write /flash/var/pdb/c/enabled user\n");
}

TEST_F(ScheduledActionsTest, UninstallIsSilentAtLevelOneAndRemovesTheEntry) {
    sandbox.writeFile("/flash/var/pdb/b/files", "/flash/bin/b\n");
    sandbox.writeFile("/flash/bin/b", "program");
    const std::string out = run(
        sandbox, [](TestInstaller& t) {
            t.add("a");
            InstalledPackage& b = t.add("b");
            b.files = {"/flash/bin/b"};
            b.scheduledAction = ActionUninstall;
        },
        apply(1));
    EXPECT_EQ(out.substr(0, out.find("--\n")), "");
    EXPECT_NE(out.find("--\na enabled -\n--\n"), std::string::npos) << out;
    EXPECT_NE(out.find("remove /flash/bin/b\n"), std::string::npos) << out;
    EXPECT_NE(out.find("remove /flash/var/pdb/b"), std::string::npos) << out;
    const std::string loud = run(
        sandbox, [](TestInstaller& t) { t.add("a"); t.add("b").scheduledAction = ActionUninstall; },
        apply(2));
    EXPECT_EQ(loud.rfind("\x1b[?25l\runinstalling b-1.0...", 0), 0u) << loud;
    EXPECT_NE(loud.find("uninstalled b-1.0\n"), std::string::npos);
}

TEST_F(ScheduledActionsTest, BundleRequestsDragTheirMembers) {
    auto build = [](int32_t bundleAction, bool membersDisabled) {
        return [=](TestInstaller& t) {
            t.add("a");
            InstalledPackage& suite = t.add("suite");
            suite.isBundle = true;
            suite.disabled = membersDisabled;
            suite.scheduledAction = bundleAction;
            for (const char* name : {"m1", "m2"}) {
                InstalledPackage& m = t.add(name);
                m.bundle = entry("suite", v(1, 0), v(1, 0));
                m.disabled = membersDisabled;
            }
        };
    };
    std::string out = run(sandbox, build(ActionDisable, false), apply(0));
    EXPECT_NE(out.find("suite disabled -\nm1 disabled -\nm2 disabled -\n"), std::string::npos) << out;
    out = run(sandbox, build(ActionEnable, true), apply(0));
    EXPECT_NE(out.find("suite enabled -\nm1 enabled -\nm2 enabled -\n"), std::string::npos) << out;
    out = run(sandbox, build(ActionUninstall, false), apply(0));
    EXPECT_NE(out.find("--\na enabled -\n--\n"), std::string::npos) << out;
}

TEST_F(ScheduledActionsTest, WhatAnEnabledPackageNeedsStays) {
    const std::string out = run(
        sandbox,
        [](TestInstaller& t) {
            t.add("lib").scheduledAction = ActionUninstall;
            t.add("app", v(1, 0), {entry("lib")});
        },
        apply(1));
    EXPECT_EQ(out,
              "WARNING: can not uninstall lib-1.0: app depends on it\n"
              "--\nlib enabled -\napp enabled -\n--\n");
}

TEST_F(ScheduledActionsTest, LosingAProviderTakesTheDependentAlong) {
    // A disabled dependent follows its only provider out.
    std::string out = run(
        sandbox,
        [](TestInstaller& t) {
            t.add("a");
            t.add("lib").scheduledAction = ActionUninstall;
            t.add("app", v(1, 0), {entry("lib")}).disabled = true;
            t.add("x", v(1, 0), {entry("nothing-provides-this")});
        },
        apply(0));
    EXPECT_NE(out.find("--\na enabled -\n--\n"), std::string::npos) << out;
    // The conflict step disables the only provider, so its dependent is disabled too.
    out = run(
        sandbox,
        [](TestInstaller& t) {
            InstalledPackage& x = t.add("x");
            x.disabled = true;
            x.scheduledAction = ActionEnable;
            x.conflicts = {entry("lib")};
            t.add("lib");
            t.add("app", v(1, 0), {entry("lib")});
        },
        apply(0));
    EXPECT_NE(out.find("x enabled -\nlib disabled -\napp disabled -\n"), std::string::npos) << out;
}

// Only the installed set is compared: what the requests leave standing.
TEST_F(ScheduledActionsTest, RequestsReachOnlyWhatTheyMust) {
    const struct Case {
        const char* what;
        std::function<void(TestInstaller&)> build;
        const char* after;
    } cases[] = {
        {"a redundant enable keeps the provider's dependents",
         [](TestInstaller& t) {
             t.add("lib").scheduledAction = ActionEnable;
             t.add("app", v(1, 0), {entry("lib")});
         },
         "lib enabled -\napp enabled -\n"},
        {"a redundant enable of a member keeps its bundle",
         [](TestInstaller& t) {
             t.add("a");
             t.add("suite").isBundle = true;
             InstalledPackage& m = t.add("m1");
             m.bundle = entry("suite", v(1, 0), v(1, 0));
             m.scheduledAction = ActionEnable;
         },
         "a enabled -\nsuite enabled -\nm1 enabled -\n"},
        // x pushes lib out, so b and then a are disabled; c, needing a, follows into disabled
        // rather than out: a's redundant enable counted it as staying.
        {"a dependent of a provider that is disabled later is disabled too",
         [](TestInstaller& t) {
             t.add("a", v(1, 0), {entry("b")}).scheduledAction = ActionEnable;
             t.add("b", v(1, 0), {entry("lib")});
             t.add("c", v(1, 0), {entry("a")});
             t.add("lib");
             t.add("x").conflicts = {entry("lib")};
         },
         "a disabled -\nb disabled -\nc disabled -\nlib disabled -\nx enabled -\n"},
    };
    for (const Case& c : cases) {
        const std::string out = run(sandbox, c.build, apply(1));
        const size_t start = out.find("--\n") + 3;
        EXPECT_EQ(out.substr(start, out.find("--\n", start) - start), c.after) << c.what << '\n' << out;
    }
}

TEST_F(ScheduledActionsTest, UninstallDropsWritesStagedIntoTheEntryAndTheStoredImage) {
    sandbox.writeFile("/rw/pckg/.images/b", "image");
    const std::string out = run(
        sandbox, [](TestInstaller& t) { t.add("a"); t.add("b").scheduledAction = ActionDisable; },
        [](TestInstaller& t, Manifest& m) {
            // The run's first pass stages b's "disabled"; a later pass uninstalls b.
            applyScheduledActions(t.installer, m, 0);
            findPackage(t.installer.packages, "b")->scheduledAction = ActionUninstall;
            applyScheduledActions(t.installer, m, 0);
        });
    EXPECT_EQ(out, "--\na enabled -\n--\nremove /flash/var/pdb/b/\nremove /rw/pckg/.images/b\n");
}

// The lost-dependency step against the plain walk that starts again at the first package after
// every change, on generated sets: every state and request, ranges, provides and missing names.
// (Conflicts are settled before this step and do not enter it.)
int referenceProviderState(const Installer& installer, const DependencyEntry& needed) {
    bool someStay = false;
    for (const auto& q : installer.packages) {
        if (!satisfies(*q, needed) && !providesFor(*q, needed)) continue;
        const int32_t action = q->scheduledAction;
        if (action == ActionEnable || (!q->disabled && action == ActionNone)) return ActionNone;
        someStay = someStay || action != ActionUninstall;
    }
    return someStay ? ActionDisable : ActionUninstall;
}

void restartingWalk(Installer& installer) {
    const auto changeOne = [&] {
        for (const auto& p : installer.packages) {
            for (const DependencyEntry& needed : p->depends) {
                const int state = referenceProviderState(installer, needed);
                const bool active = p->scheduledAction == ActionEnable ||
                                    (!p->disabled && p->scheduledAction == ActionNone);
                if (state == ActionUninstall && p->scheduledAction != ActionUninstall) {
                    p->scheduledAction = ActionUninstall;
                    return true;
                }
                if (state == ActionDisable && active) {
                    p->scheduledAction = ActionDisable;
                    return true;
                }
            }
        }
        return false;
    };
    while (changeOne()) {
    }
}

TEST(LostDependencies, AgreeWithTheRestartingWalk) {
    std::mt19937 random(14);
    const auto pick = [&](int n) { return int(random() % unsigned(n)); };
    const char* const names[] = {"p0", "p1", "p2", "p3", "p4", "svc", "none"};
    const PackageVersion bounds[] = {0, v(1, 0), v(2, 0)};
    const auto someEntry = [&] {
        return entry(names[pick(7)], bounds[pick(3)], bounds[pick(3)], pick(3) - 1);
    };
    for (int set = 0; set < 4000; ++set) {
        Installer real, reference;
        std::ostringstream shown;
        for (int i = 0, count = 1 + pick(6); i < count; ++i) {
            InstalledPackage p(names[pick(5)]);
            p.version = v(1 + pick(2), 0);
            p.disabled = pick(2) == 1;
            p.scheduledAction = pick(4);
            for (int d = pick(3); d > 0; --d) p.depends.push_back(someEntry());
            for (int d = pick(3); d > 0; --d) p.provides.push_back(someEntry());
            shown << p.name << (p.disabled ? " D" : " E") << p.scheduledAction << " needs";
            for (const auto& d : p.depends) shown << ' ' << entryDisplayName(d);
            shown << " provides";
            for (const auto& d : p.provides) shown << ' ' << entryDisplayName(d);
            shown << '\n';
            real.packages.push_back(std::make_unique<InstalledPackage>(p));
            reference.packages.push_back(std::make_unique<InstalledPackage>(p));
        }
        followLostDependencies(real);
        restartingWalk(reference);
        std::string got, expected;
        for (const auto& p : real.packages) got += char('0' + p->scheduledAction);
        for (const auto& p : reference.packages) expected += char('0' + p->scheduledAction);
        ASSERT_EQ(got, expected) << "set " << set << ":\n" << shown.str();
    }
}

TEST_F(ScheduledActionsTest, OfTwoPackagesToEnableTheConflictingOneGivesWay) {
    const std::string out = run(
        sandbox,
        [](TestInstaller& t) {
            t.add("a");
            InstalledPackage& x = t.add("x");
            InstalledPackage& y = t.add("y");
            x.disabled = y.disabled = true;
            x.scheduledAction = y.scheduledAction = ActionEnable;
            x.conflicts = {entry("y")};
        },
        apply(1));
    EXPECT_EQ(out.substr(0, out.find("\x1b")),
              "WARNING: can not enable y: x-1.0 conflicts with it\n");
    EXPECT_NE(out.find("x enabled -\ny disabled -\n"), std::string::npos) << out;
}

TEST_F(ScheduledActionsTest, EverythingGoingIsRefused) {
    const std::string out = run(
        sandbox,
        [](TestInstaller& t) {
            t.add("a").scheduledAction = ActionUninstall;
            t.add("b").scheduledAction = ActionDisable;
        },
        apply(1));
    EXPECT_EQ(out, "ERROR: can not uninstall or disable all packages\n"
                   "--\na enabled -\nb enabled -\n--\n");
}

TEST_F(ScheduledActionsTest, BundleWithOnlyDisabledMembersIsDisabledAndEmptyOneGoes) {
    const std::string out = run(
        sandbox,
        [](TestInstaller& t) {
            t.add("a");
            t.add("suite").isBundle = true;
            InstalledPackage& m = t.add("m1");
            m.bundle = entry("suite", v(1, 0), v(1, 0));
            m.disabled = true;
            InstalledPackage& empty = t.add("b");
            empty.isBundle = true;  // a bundle without members goes
        },
        apply(0));
    // Uninstalled, the bundle would take its members' only record (its image) with it.
    EXPECT_NE(out.find("--\na enabled -\nsuite disabled -\nm1 disabled -\n--\n"),
              std::string::npos)
        << out;
}

TEST_F(ScheduledActionsTest, CleanupKeepsEssentialsBundlesAndRecentPackages) {
    for (const char* name : {"wisp", "system", "disk-drivers", "new", "old", "none"})
        sandbox.writeFile(std::string("/flash/var/pdb/") + name + "/version", "1.0\n");
    const std::string out = run(
        sandbox,
        [](TestInstaller& t) {
            t.add("system", v(7, 1));
            t.add("wisp");
            t.add("disk-drivers");
            t.add("suite").isBundle = true;
            // A member made for a recent system stays, and so keeps its bundle.
            t.add("m1", v(1, 0), {entry("system", makeVersion(3, 22, 'f', 0))}).bundle =
                entry("suite", v(1, 0), v(1, 0));
            t.add("new", v(1, 0), {entry("system", makeVersion(3, 22, 'f', 0))});
            t.add("old", v(1, 0), {entry("system", makeVersion(3, 21, 'f', 0))});
            t.add("none");
        },
        [](TestInstaller& t, Manifest& m) { cleanupPackages(t.installer, m); });
    EXPECT_NE(out.find("--\nsystem enabled -\nwisp enabled -\ndisk-drivers enabled -\n"
                       "suite enabled -\nm1 enabled -\nnew enabled -\n--\n"),
              std::string::npos)
        << out;
}

}  // namespace

#include "record/package_record.h"

#include <gtest/gtest.h>

using namespace velmara;

namespace {

const PackageVersion v6_45beta3 = makeVersion(6, 45, kReleaseBeta, 3);
const PackageVersion v6_45rc1 = makeVersion(6, 45, kReleaseCandidate, 1);
const PackageVersion v6_45 = makeVersion(6, 45, kReleaseFinal, 0);
const PackageVersion v6_45_1 = makeVersion(6, 45, kReleaseFinal, 1);
const PackageVersion v7_1 = makeVersion(7, 1, kReleaseFinal, 0);

DependencyEntry entry(const std::string& name, PackageVersion min = 0, PackageVersion max = 0,
                      int32_t priority = 0) {
    DependencyEntry e;
    e.name = name;
    e.minVersion = min;
    e.maxVersion = max;
    e.priority = priority;
    return e;
}

std::unique_ptr<PackageRecord> record(const std::string& name, PackageVersion version = 0) {
    auto r = std::make_unique<PackageRecord>(name);
    r->version = version;
    return r;
}

TEST(Versions, OrderAsPlainNumbers) {
    EXPECT_LT(v6_45beta3, v6_45rc1);
    EXPECT_LT(v6_45rc1, v6_45);
    EXPECT_LT(v6_45, v6_45_1);
    EXPECT_EQ(v6_45beta3, 0x062D6203u);
    EXPECT_EQ(v6_45_1, 0x062D6601u);
}

TEST(Versions, TextForEveryReleaseKind) {
    EXPECT_EQ(versionText(0x06306600), "6.48");
    EXPECT_EQ(versionText(0x06306602), "6.48.2");
    EXPECT_EQ(versionText(0x07016203), "7.1beta3");
    EXPECT_EQ(versionText(0x07016300), "7.1rc");
    EXPECT_EQ(versionText(0x07016301), "7.1rc1");
    EXPECT_EQ(versionText(0x07016102), "7.1alpha2");
    EXPECT_EQ(versionText(0x070C6600), "7.12");
    // Kind 0 is not final: no word, and patch 0 drops the last number.
    EXPECT_EQ(versionText(0), "0.0");
    EXPECT_EQ(versionText(0x01020005), "1.25");
    // An unknown letter prints no word either.
    EXPECT_EQ(versionText(0x01027A07), "1.27");
    EXPECT_EQ(versionText(0xFFFFFFFF), "255.255255");
}

TEST(Versions, DisplayNames) {
    auto r = record("base", 0);
    EXPECT_EQ(recordName(*r), "base-0.0");
    EXPECT_EQ(entryDisplayName(entry("dhcp")), "dhcp");
    EXPECT_EQ(entryDisplayName(entry("dhcp", v6_45rc1)), "dhcp-6.45rc1");
    InstalledPackage member("ppp");
    member.version = v6_45_1;
    EXPECT_EQ(displayName(member), "ppp-6.45.1");
    member.bundle = entry("velmara", v7_1, v7_1);
    EXPECT_EQ(displayName(member), "velmara-7.1");
}

TEST(Versions, ParseIsTheInverseOfTextForEveryKind) {
    for (uint8_t kind : {kReleaseAlpha, kReleaseBeta, kReleaseCandidate, kReleaseFinal}) {
        for (unsigned patch : {0u, 1u, 9u, 10u, 255u}) {
            for (auto [major, minor] : {std::pair{0u, 0u}, {7u, 1u}, {6u, 48u}, {255u, 255u}}) {
                const PackageVersion version = makeVersion(major, minor, kind, patch);
                const std::string text = versionText(version);
                PackageVersion parsed = 0x12345678;
                ASSERT_TRUE(parseVersion(text, parsed)) << text;
                EXPECT_EQ(parsed, version) << text;
            }
        }
    }
    // A final release may also spell out its zero patch.
    PackageVersion parsed = 0;
    ASSERT_TRUE(parseVersion("7.1.0", parsed));
    EXPECT_EQ(parsed, 0x07016600u);
}

TEST(Versions, ParseRefusesMalformedText) {
    for (const char* text :
         {"",      "7",     "7.",         ".1",        "7..1",    "7.1.",    "7.1.2.3",
          "256.1", "7.256", "7.1rc256",   "7.1gamma2", "7.1rc-1", "7.1rc1x", "7.1 ",
          " 7.1",  "a.b",   "7.1beta3.2", "-7.1",      "7,1",     "7.1.x"}) {
        PackageVersion parsed = 0;
        EXPECT_FALSE(parseVersion(text, parsed)) << '"' << text << '"';
    }
}

TEST(Relations, SatisfiesChecksNameAndInclusiveRange) {
    auto r = record("dhcp", v6_45);
    EXPECT_TRUE(satisfies(*r, entry("dhcp")));
    EXPECT_TRUE(satisfies(*r, entry("dhcp", v6_45, v6_45)));
    EXPECT_FALSE(satisfies(*r, entry("dhcp", v6_45_1, v6_45_1)));
    EXPECT_FALSE(satisfies(*r, entry("dhcp", v6_45rc1, v6_45rc1)));
    EXPECT_TRUE(satisfies(*r, entry("dhcp", v6_45rc1)));      // no upper bound
    EXPECT_FALSE(satisfies(*r, entry("dhcp", 0, v6_45rc1)));  // above the upper bound
    EXPECT_FALSE(satisfies(*r, entry("DHCP")));               // names are case-sensitive
    EXPECT_FALSE(satisfies(*r, entry("dhc")));
}

TEST(Relations, ProvidesForMatchesOverlappingRanges) {
    auto r = record("wireless");
    r->provides = {entry("wifi")};
    // A provided entry without bounds meets every range under its name.
    EXPECT_TRUE(providesFor(*r, entry("wifi", v6_45, v6_45)));
    EXPECT_TRUE(providesFor(*r, entry("wifi", 0, v6_45rc1)));
    EXPECT_FALSE(providesFor(*r, entry("wireless")));  // its own name is not provided

    r->provides = {entry("wifi", v6_45, v6_45_1)};
    EXPECT_TRUE(providesFor(*r, entry("wifi", v6_45_1)));
    EXPECT_TRUE(providesFor(*r, entry("wifi", 0, v6_45)));
    EXPECT_FALSE(providesFor(*r, entry("wifi", 0, v6_45rc1)));  // provided lies wholly above
    EXPECT_FALSE(providesFor(*r, entry("wifi", v7_1)));         // provided lies wholly below
    EXPECT_TRUE(providesFor(*r, entry("wifi")));

    // A skipped entry does not end the walk: a later one of the same name may match.
    r->provides = {entry("wifi", v7_1, v7_1), entry("wifi", 0, v6_45)};
    EXPECT_TRUE(providesFor(*r, entry("wifi", v6_45rc1, v6_45rc1)));
}

TEST(Relations, DependsOnIsDirectedAndSeesThroughBundles) {
    auto app = record("app");
    app->depends = {entry("lib", v6_45)};
    auto lib = record("lib", v6_45_1);
    EXPECT_TRUE(dependsOn(*app, *lib));
    EXPECT_FALSE(dependsOn(*lib, *app));
    lib->version = v6_45rc1;
    EXPECT_FALSE(dependsOn(*app, *lib));

    // A provider meets the need as well.
    auto alt = record("altlib", 1);
    alt->provides = {entry("lib")};
    EXPECT_TRUE(dependsOn(*app, *alt));

    // Needing a member of a bundle is needing the bundle.
    auto bundle = record("suite");
    bundle->isBundle = true;
    bundle->members.push_back(record("other", 1));
    EXPECT_FALSE(dependsOn(*app, *bundle));
    bundle->members.push_back(record("lib", v7_1));
    EXPECT_TRUE(dependsOn(*app, *bundle));

    // A bundle needs what its members need.
    auto holder = record("pack");
    holder->members.push_back(std::move(app));
    EXPECT_TRUE(dependsOn(*holder, *record("lib", v7_1)));
    EXPECT_FALSE(dependsOn(*record("lib", v7_1), *holder));
}

TEST(Relations, PlaceholdersNeverConflict) {
    auto a = record("a", 1);
    a->conflicts = {entry("b")};
    auto b = record("b", kPlaceholderMark);
    b->buildTime = kPlaceholderMark;
    EXPECT_TRUE(isPlaceholder(*b));
    EXPECT_FALSE(conflictsWith(*a, *b));
    b->conflicts = {entry("a")};
    EXPECT_FALSE(conflictsWith(*b, *a));
    // Both marks are needed.
    b->buildTime = 0;
    EXPECT_FALSE(isPlaceholder(*b));
    EXPECT_TRUE(conflictsWith(*a, *b));
}

TEST(Relations, ExplicitConflictsAreOneSided) {
    auto a = record("a", 1);
    a->conflicts = {entry("b", 0, v6_45)};
    auto b = record("b", v6_45);
    EXPECT_TRUE(conflictsWith(*a, *b));
    EXPECT_FALSE(conflictsWith(*b, *a));
    b->version = v6_45_1;
    EXPECT_FALSE(conflictsWith(*a, *b));
}

TEST(Relations, ProvidingTheOtherNameConflictsByPriority) {
    auto a = record("dns");
    auto b = record("resolver");
    b->provides = {entry("dns", 0, 0, -1)};
    EXPECT_TRUE(conflictsWith(*a, *b));
    b->provides[0].priority = 0;
    EXPECT_FALSE(conflictsWith(*a, *b));

    // The other way round: a provides b's name; a non-negative priority holds its place.
    EXPECT_TRUE(conflictsWith(*b, *a));
    b->provides[0].priority = 5;
    EXPECT_TRUE(conflictsWith(*b, *a));
    b->provides[0].priority = -1;
    EXPECT_FALSE(conflictsWith(*b, *a));
}

TEST(Relations, SharedProvidedNameGoesToTheHigherPriority) {
    auto a = record("x");
    auto b = record("y");
    a->provides = {entry("web", 0, 0, 10)};
    b->provides = {entry("web", 0, 0, 5)};
    EXPECT_TRUE(conflictsWith(*a, *b));   // the candidate ranks lower
    EXPECT_FALSE(conflictsWith(*b, *a));  // the candidate ranks higher
    b->provides[0].priority = 10;
    EXPECT_FALSE(conflictsWith(*a, *b));  // equal priorities live side by side
    b->provides[0].priority = -20;
    EXPECT_TRUE(conflictsWith(*a, *b));  // compared signed
}

TEST(Relations, ConflictStepsDecideInOrder) {
    // b provides a's name with priority 0: that decides false before a's conflict list is
    // compared with b's provided names.
    auto a = record("a");
    a->conflicts = {entry("feature")};
    auto b = record("b");
    b->provides = {entry("a", 0, 0, 0), entry("feature")};
    EXPECT_FALSE(conflictsWith(*a, *b));
    b->provides = {entry("feature")};
    EXPECT_TRUE(conflictsWith(*a, *b));

    // a's first provided entry decides even when a later one would say otherwise.
    auto c = record("c");
    c->provides = {entry("shared", 0, 0, 1), entry("d", 0, 0, 0)};
    auto d = record("d");
    d->provides = {entry("shared", 0, 0, 3)};
    EXPECT_FALSE(conflictsWith(*c, *d));
    c->provides = {entry("d", 0, 0, 0), entry("shared", 0, 0, 1)};
    EXPECT_TRUE(conflictsWith(*c, *d));
}

TEST(Relations, BundlesConflictThroughTheirMembers) {
    auto installed = record("ppp", 1);
    auto bundle = record("suite", 1);
    bundle->members.push_back(record("other", 1));
    EXPECT_FALSE(conflictsWith(*installed, *bundle));
    bundle->members.push_back(record("ppp", 2));
    EXPECT_TRUE(conflictsWith(*installed, *bundle));
    // A bundle as a: one of its members conflicts with b.
    auto holder = record("holder");
    auto member = record("m");
    member->conflicts = {entry("victim")};
    holder->members.push_back(std::move(member));
    EXPECT_TRUE(conflictsWith(*holder, *record("victim")));
    EXPECT_FALSE(conflictsWith(*record("victim"), *holder));
}

TEST(Relations, CompareRecordsByVersionThenBuildTime) {
    auto a = record("p", v6_45);
    auto b = record("p", v6_45_1);
    EXPECT_EQ(compareRecords(*a, *b), -1);
    EXPECT_EQ(compareRecords(*b, *a), 1);
    b->version = v6_45;
    EXPECT_EQ(compareRecords(*a, *b), 0);
    a->buildTime = 200;
    b->buildTime = 100;
    EXPECT_EQ(compareRecords(*a, *b), 1);
    EXPECT_EQ(compareRecords(*b, *a), -1);
    // The version decides before the build time, compared unsigned.
    a->version = 0xF0000000;
    EXPECT_EQ(compareRecords(*b, *a), -1);
    EXPECT_EQ(compareRecords(*record("p"), *record("q", 9)), 0);
}

TEST(Relations, CompareRecordsGoesThroughTheBundleMember) {
    auto bundle = record("suite", 1);
    bundle->members.push_back(record("other", 99));
    bundle->members.push_back(record("ppp", v6_45_1));
    auto installed = record("ppp", v6_45);
    EXPECT_EQ(compareRecords(*bundle, *installed), 1);
    EXPECT_EQ(compareRecords(*installed, *bundle), -1);
    installed->version = v7_1;
    EXPECT_EQ(compareRecords(*bundle, *installed), -1);
    EXPECT_EQ(compareRecords(*installed, *bundle), 1);
    EXPECT_EQ(compareRecords(*bundle, *record("absent", 1)), 0);
}

TEST(Relations, IsOrContains) {
    auto bundle = record("suite");
    bundle->members.push_back(record("ppp"));
    EXPECT_TRUE(isOrContains(*bundle, "suite"));
    EXPECT_TRUE(isOrContains(*bundle, "ppp"));
    EXPECT_FALSE(isOrContains(*bundle, "pp"));
    EXPECT_FALSE(isOrContains(*record("ppp"), "suite"));
}

TEST(Relations, FindConflictingSkipsDisabledAndKeepsOrder) {
    std::vector<std::unique_ptr<InstalledPackage>> packages;
    auto add = [&](const std::string& name, bool disabled, const std::string& conflict) {
        auto p = std::make_unique<InstalledPackage>(name);
        p->disabled = disabled;
        if (!conflict.empty()) p->conflicts = {entry(conflict)};
        packages.push_back(std::move(p));
    };
    add("quiet", false, "");
    add("off", true, "cand");
    add("first", false, "cand");
    add("second", false, "cand");
    auto candidate = record("cand", 1);
    EXPECT_EQ(findConflicting(packages, *candidate), packages[2].get());
    packages[2]->disabled = true;
    EXPECT_EQ(findConflicting(packages, *candidate), packages[3].get());
    packages[3]->disabled = true;
    EXPECT_EQ(findConflicting(packages, *candidate), nullptr);
}

TEST(Relations, LookUpByNameFindsTheFirst) {
    std::vector<std::unique_ptr<InstalledPackage>> packages;
    packages.push_back(std::make_unique<InstalledPackage>("a"));
    packages.push_back(std::make_unique<InstalledPackage>("b"));
    packages.push_back(std::make_unique<InstalledPackage>("b"));
    EXPECT_EQ(indexOfPackage(packages, "b"), 1);
    EXPECT_EQ(findPackage(packages, "b"), packages[1].get());
    EXPECT_EQ(indexOfPackage(packages, "c"), -1);
    EXPECT_EQ(findPackage(packages, "c"), nullptr);
}

}  // namespace

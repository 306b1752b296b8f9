// What interrupted runs leave on flash, settled by the next run before anything else: a journal
// is carried out to its end and said so, leftover temporary files are deleted when the marker
// says there may be some, and a saved set awaiting "--commit" keeps its own.
#include <gtest/gtest.h>

#include "frontend/command_line.h"
#include "install_fixture.h"

using namespace velmara;

namespace {

using namespace installtest;

const std::string kJournal = "/flash/.installer-journal";
const std::string kMarker = "/flash/.installer-staged";
const std::string kFinished = "finished an interrupted commit\n";

struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // written before the run
    const char* mode;                                        // "--show" or "--cancel"
    int status;
    std::string messages;  // printed before the listing, and kept in the postlog
    std::vector<std::pair<std::string, std::string>> after;  // path and contents
    std::vector<std::string> absent;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const Case kCases[] = {
    {"JournalIsFinishedBeforeAnythingElse",
     {{kJournal,
       "installer journal 1\nU /flash/old\nR /flash/bin/tool /flash/.installer-tmp-A1b2C3\n"
       "R /flash/etc/tool.conf /flash/etc/.installer-tmp-D4e5F6\nend\n"},
      {"/flash/old", "old"},
      {"/flash/.installer-tmp-A1b2C3", "new tool"},
      {"/flash/bin/tool", "old tool"},
      {"/flash/etc/.installer-tmp-D4e5F6", "conf"}},
     "--show",
     0,
     kFinished,
     {{"/flash/bin/tool", "new tool"}, {"/flash/etc/tool.conf", "conf"}},
     {"/flash/old", kJournal, "/flash/.installer-tmp-A1b2C3"}},
    // Half carried out already: what is done is recognised, the rest is done.
    {"JournalIsFinishedAgainAfterAnInterruption",
     {{kJournal,
       "installer journal 1\nU /flash/old\nR /flash/a /flash/.installer-tmp-Aaaaaa\n"
       "R /flash/b /flash/.installer-tmp-Bbbbbb\nend\n"},
      {"/flash/a", "new a"},
      {"/flash/.installer-tmp-Bbbbbb", "new b"}},
     "--show",
     0,
     kFinished,
     {{"/flash/a", "new a"}, {"/flash/b", "new b"}},
     {kJournal}},
    {"DamagedJournalStopsTheRun",
     {{kJournal, "installer journal 1\nU /flash/old\n"}, {"/flash/old", "old"}},
     "--show",
     1,
     "ERROR: commit not finished: /flash/.installer-journal is damaged\n",
     {{"/flash/old", "old"}},
     {}},
    {"CancelCannotUndoAStartedCommit",
     {{kJournal,
       "installer journal 1\nC /ram/MANIFEST\nR /flash/data /flash/.installer-tmp-B2c3D4\nend\n"},
      {"/ram/MANIFEST", "M /flash/data /flash/.installer-tmp-B2c3D4\n"},
      {"/flash/.installer-tmp-B2c3D4", "new"}},
     "--cancel",
     1,
     kFinished + "WARNING: can not cancel a commit that has started; it was finished\n",
     {{"/flash/data", "new"}},
     {"/ram/MANIFEST", kJournal}},
    {"LeftoversGoWhenMarked",
     {{kMarker, ""},
      {"/flash/lib/deep/.installer-tmp-C3d4E5", "x"},
      {"/ram/.installer-tmp-D4e5F6", "x"},
      {"/flash/var/pdb/image", "copy of a package"},
      {"/flash/tmpAbCdEf", "not the installer's"}},
     "--show",
     0,
     "",
     {{"/flash/tmpAbCdEf", "not the installer's"}},
     {kMarker, "/flash/lib/deep/.installer-tmp-C3d4E5", "/ram/.installer-tmp-D4e5F6",
      "/flash/var/pdb/image"}},
    // Without the marker, flash is not walked at all.
    {"UnmarkedFlashIsLeftAlone",
     {{"/flash/lib/.installer-tmp-E5f6G7", "x"}},
     "--show",
     0,
     "",
     {{"/flash/lib/.installer-tmp-E5f6G7", "x"}},
     {}},
    {"SavedSetKeepsItsFiles",
     {{kMarker, ""},
      {"/ram/MANIFEST", "M /flash/a /flash/.installer-tmp-F6g7H8\n"},
      {"/flash/.installer-tmp-F6g7H8", "kept"},
      {"/flash/.installer-tmp-G7h8I9", "stray"}},
     "--show",
     0,
     "",
     {{"/flash/.installer-tmp-F6g7H8", "kept"}, {kMarker, ""}},
     {"/flash/.installer-tmp-G7h8I9"}},
    {"CancelDeletesTheSetsOwnFiles",
     {{kMarker, ""},
      {"/ram/MANIFEST",
       "M /flash/a /flash/.installer-tmp-H8i9J0\nM /flash/b /ram/.installer-tmp-I9j0K1\n"
       "M /flash/c /rw/pckg/c.vlp\n"},
      {"/flash/.installer-tmp-H8i9J0", "a"},
      {"/ram/.installer-tmp-I9j0K1", "b"},
      {"/rw/pckg/c.vlp", "c"}},
     "--cancel",
     0,
     "",
     {{"/rw/pckg/c.vlp", "c"}},
     {kMarker, "/ram/MANIFEST", "/flash/.installer-tmp-H8i9J0", "/ram/.installer-tmp-I9j0K1"}},
};

class InterruptedRuns : public ::testing::TestWithParam<Case> {};

RunResult run(const Sandbox& sandbox, const std::string& mode) {
    if (mode == "--cancel")
        return testsupport::runInRoot(sandbox, [] {
            char name[] = "installer", option[] = "--cancel";
            char* argv[] = {name, option, nullptr};
            return installerMain(2, argv);
        });
    const char* asan = getenv("ASAN_OPTIONS");
    return testsupport::runInstaller(
        sandbox, {"-r", sandbox.root(), mode},
        {.env = {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}}});
}

TEST_P(InterruptedRuns, AreSettledFirst) {
    REQUIRE_ROOT_CHANGE();
    const Case& c = GetParam();
    Sandbox sandbox;
    sandbox.makeDirectory("/flash/var/pdb");
    // The listing of the empty database, which "--show" prints after any message.
    const std::string table = std::string(c.mode) == "--show" ? run(sandbox, "--show").out : "";
    for (const auto& [path, contents] : c.files) sandbox.writeFile(path, contents);
    const RunResult result = run(sandbox, c.mode);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.out, c.messages + (c.status == 0 ? table : ""));
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), c.messages);
    for (const auto& [path, contents] : c.after) {
        EXPECT_TRUE(sandbox.exists(path)) << path;
        EXPECT_EQ(sandbox.readFile(path), contents) << path;
    }
    for (const std::string& path : c.absent) EXPECT_FALSE(sandbox.exists(path)) << path;
}

INSTANTIATE_TEST_SUITE_P(Start, InterruptedRuns, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

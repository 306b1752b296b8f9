// The journal's text form: what is written reads back as the same steps, and anything that is
// not a whole journal is refused rather than carried out in part.
#include "staging/journal.h"

#include <gtest/gtest.h>

using namespace velmara;

namespace {

const std::string kWhole =
    "installer journal 1\n"
    "C /ram/MANIFEST\n"
    "U /flash/lib/old\\040one.so\n"
    "D /flash/var/pdb/gone\n"
    "R /flash/bin/tool /flash/bin/.installer-tmp-A1b2C3\n"
    "end\n";

TEST(JournalText, RoundTripsEveryKindOfStep) {
    Journal journal;
    ASSERT_TRUE(parseJournal(kWhole, journal));
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[1].kind, JournalStep::Remove);
    EXPECT_EQ(journal[1].path, "/flash/lib/old one.so");
    EXPECT_EQ(journal[3].kind, JournalStep::Rename);
    EXPECT_EQ(journal[3].source, "/flash/bin/.installer-tmp-A1b2C3");
    EXPECT_EQ(journalText(journal), kWhole);
}

TEST(JournalText, RefusesWhatIsNotAWholeJournal) {
    const char* const broken[] = {
        "",
        "end\n",                                            // no header
        "installer journal 2\nend\n",                       // another format
        "installer journal 1\nU /flash/a\n",                // cut before its end
        "installer journal 1\nU /flash/a\nend",             // end without its newline
        "installer journal 1\nend\nU /flash/a\n",           // more after the end
        "installer journal 1\nX /flash/a\nend\n",           // unknown step
        "installer journal 1\nR /flash/a\nend\n",           // rename without a source
        "installer journal 1\nU /flash/a /flash/b\nend\n",  // removal with one
        "installer journal 1\nU \nend\n",                   // no path
        "installer journal 1\nU/flash/a\nend\n",
    };
    for (const char* text : broken) {
        Journal journal;
        EXPECT_FALSE(parseJournal(text, journal)) << text;
    }
}

}  // namespace

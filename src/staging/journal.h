// The journal of a commit: the renames and removals still to be carried out once everything they
// need is on flash, kept on flash so that a run cut short is finished by the next one. Every
// step may be carried out again after it was done, with the same result.
#pragma once

#include <string>
#include <vector>

#include "staging/temporaries.h"

namespace velmara {

struct JournalStep {
    enum Kind : char {
        Remove = 'U',           // delete a file or link; one that is gone, or is a directory now
                                // (a later step made it one), is done
        RemoveDirectory = 'D',  // delete an empty directory; gone or not empty is done
        Rename = 'R',   // `source` becomes `path`; without a source, `path` in place is done
        Discard = 'C',  // delete a staging file (temporary or saved set): not synced
    };
    Kind kind;
    std::string path;
    std::string source;  // Rename only
};
using Journal = std::vector<JournalStep>;

// The text form: a header line, one line per step ("R PATH SOURCE" for renames, "K PATH"
// otherwise, paths escaped as in the saved operations), and "end".
std::string journalText(const Journal& journal);
// False when the text is not a whole journal (a missing header or end, an unknown line).
[[nodiscard]] bool parseJournal(const std::string& text, Journal& journal);

enum class JournalPlaced { No, Yes, NotDurable };
// Writes the journal to a temporary file, syncs it and renames it into place, then syncs its
// directory. Once it is in place (Yes or NotDurable) the commit can only go forward. Failures
// are reported.
JournalPlaced placeJournal(const Journal& journal);

// Carries out every step, syncs the file systems they changed and removes the journal. False at
// the first failure, reported; the journal then stays for the next run.
[[nodiscard]] bool finishJournal(const Journal& journal);

enum class Recovery { NoJournal, Finished, Failed };
// Finishes the journal an interrupted run left, saying so in one line; Failed (reported) when
// it cannot be read or carried out.
Recovery recoverJournal();

}  // namespace velmara

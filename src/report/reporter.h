// Console messages, the in-place status line and progress bar, and the postlog.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

namespace velmara {

// Where the message log is kept.
constexpr const char* kPostlogPath = "/flash/postlog";

// What the reporter keeps for one run: the console, the status line now shown, the messages for
// the postlog and the run's first failure.
struct ReportContext {
    std::string statusLine;             // the status line now shown; empty when none
    std::vector<std::string> messages;  // recorded for the postlog, without line ends
    uint8_t quiet = 0;
    // errno of the first failure to read or write a file that this run reported (0: none). It
    // sticks: whatever the run staged after it is incomplete, so the run commits nothing.
    int failure = 0;
    // Set once the postlog was read back and reserved; it then gets rewritten, not appended.
    bool postlogReset = false;
    // Console and postlog location; tests point these elsewhere.
    std::ostream* console = &std::cout;
    std::string postlogPath = kPostlogPath;
};

namespace Reporter {

// The context of the process's run, for code that is handed none. The run-wide context above
// this layer names itself as its source when the program starts; a program without one gets a
// context of its own.
ReportContext& runContext();
void setRunContextSource(ReportContext& (*source)());

// Width of the console line that a status line may occupy; the bar line is 77 characters.
constexpr size_t kBlankWidth = 79;
constexpr size_t kBarLineWidth = 76;
// The formatted part of a message is cut to this buffer (255 characters and the terminator).
constexpr size_t kMessageBuffer = 256;
// A reserved postlog holds this many zero bytes until the run writes it.
constexpr size_t kPostlogReserve = 4096;

void message(ReportContext& context, const char* prefix, const char* format, va_list args);
void info(ReportContext& context, const char* format, ...) __attribute__((format(printf, 2, 3)));
void warning(ReportContext& context, const char* format, ...) __attribute__((format(printf, 2, 3)));
void error(ReportContext& context, const char* format, ...) __attribute__((format(printf, 2, 3)));
void status(ReportContext& context, const std::string& text);

// "could not read WHAT: ERROR-TEXT" and "could not write WHAT: ERROR-TEXT" for the errno `cause`.
void readFailed(ReportContext& context, const std::string& what, int cause);
void writeFailed(ReportContext& context, const std::string& what, int cause);
// Records `cause` (EIO for 0) as the run's failure unless one is recorded already.
void markFailed(ReportContext& context, int cause);

void reservePostlog(ReportContext& context);
void writePostlog(ReportContext& context);

}  // namespace Reporter

}  // namespace velmara

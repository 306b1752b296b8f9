#include "report/reporter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace velmara {

namespace Reporter {

namespace {

ReportContext& (*runContextSource)() = nullptr;

}  // namespace

void setRunContextSource(ReportContext& (*source)()) {
    runContextSource = source;
}

ReportContext& runContext() {
    // A program without the run-wide context (the packaging tool) reports through this one.
    static ReportContext* const standalone = new ReportContext();
    return runContextSource ? runContextSource() : *standalone;
}

void message(ReportContext& context, const char* prefix, const char* format, va_list args) {
    char formatted[kMessageBuffer];
    std::vsnprintf(formatted, sizeof formatted, format, args);
    std::string text = prefix ? prefix : "";
    text += formatted;
    if (context.quiet) return;

    std::ostream& out = *context.console;
    if (!context.statusLine.empty()) {
        out << '\r' << std::string(kBlankWidth, ' ') << '\r';
        out.flush();
    }
    out << text << '\n';
    out.flush();
    if (!context.statusLine.empty()) {
        // The status line moves below the message instead of scrolling away.
        out << context.statusLine;
        out.flush();
    }
    context.messages.push_back(std::move(text));
}

void info(ReportContext& context, const char* format, ...) {
    status(context, "");
    va_list args;
    va_start(args, format);
    message(context, nullptr, format, args);
    va_end(args);
}

void warning(ReportContext& context, const char* format, ...) {
    va_list args;
    va_start(args, format);
    message(context, "WARNING: ", format, args);
    va_end(args);
}

void error(ReportContext& context, const char* format, ...) {
    status(context, "");
    va_list args;
    va_start(args, format);
    message(context, "ERROR: ", format, args);
    va_end(args);
}

void status(ReportContext& context, const std::string& text) {
    if (context.quiet) return;
    if (text == context.statusLine) return;
    std::ostream& out = *context.console;
    out << "\x1b[?25l\r" << text;
    if (text.size() < context.statusLine.size())
        out << std::string(context.statusLine.size() - text.size(), ' ');
    out << "\r\x1b[?25h";
    out.flush();
    context.statusLine = text;
}

void markFailed(ReportContext& context, int cause) {
    if (context.failure == 0) context.failure = cause != 0 ? cause : EIO;
}

void readFailed(ReportContext& context, const std::string& what, int cause) {
    markFailed(context, cause);
    error(context, "could not read %s: %s", what.c_str(), std::strerror(cause));
}

void writeFailed(ReportContext& context, const std::string& what, int cause) {
    markFailed(context, cause);
    error(context, "could not write %s: %s", what.c_str(), std::strerror(cause));
}

void reservePostlog(ReportContext& context) {
    {
        std::ifstream old(context.postlogPath, std::ios::binary);
        std::string line;
        std::vector<std::string> earlier;
        // getline sets eof on a last line without "\n"; that partial line is dropped.
        while (old && std::getline(old, line) && !old.eof()) earlier.push_back(line);
        // Earlier runs' lines go before this run's, also before what it reported already.
        context.messages.insert(context.messages.begin(), earlier.begin(), earlier.end());
    }
    {
        std::ofstream reserve(context.postlogPath, std::ios::binary | std::ios::trunc);
        const std::string zeros(kPostlogReserve, '\0');
        reserve.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    context.postlogReset = true;
}

void writePostlog(ReportContext& context) {
    if (!context.postlogReset && context.messages.empty()) return;
    const int fd =
        open(context.postlogPath.c_str(),
             O_WRONLY | O_CREAT | O_CLOEXEC | (context.postlogReset ? O_TRUNC : O_APPEND), 0666);
    if (fd < 0) return;
    std::string text;
    for (const auto& line : context.messages) text += line + '\n';
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        done += size_t(written);
    }
    // The log outlasts the run: it alone is synced, not every file system of the machine.
    fsync(fd);
    close(fd);
}

}  // namespace Reporter

}  // namespace velmara

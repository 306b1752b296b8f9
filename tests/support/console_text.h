// Reading console output in tests.
#pragma once

#include <string>

namespace testsupport {

// The console output without the status line's drawing (progress bars, wipes): the messages
// alone, each on its line, exactly as printed.
inline std::string messagesOf(const std::string& out) {
    const std::string begin = "\x1b[?25l";
    const std::string end = "\x1b[?25h";
    std::string text;
    for (size_t at = 0; at < out.size();) {
        const size_t draw = out.find(begin, at);
        text += out.substr(at, draw == std::string::npos ? std::string::npos : draw - at);
        if (draw == std::string::npos) break;
        const size_t stop = out.find(end, draw);
        if (stop == std::string::npos) break;
        at = stop + end.size();
    }
    return text;
}

}  // namespace testsupport

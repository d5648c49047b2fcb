// How tests check the debug log, and the helpers that do it.
//
// Policy for every test of the tree:
// - Check the warnings and errors whose texts the product names (the lines an operator reads),
//   and the information lines that carry data (a count, a path, a version). Nothing else.
// - Never check entry/exit traces (levels 0x110 and 0x111): they restate the code's call
//   structure and break on every refactoring without catching a fault.
// - Match a line with HasLine ("contains", at one level), or count matches with CountLines when
//   the number of times matters (a retry logs twice). Never compare a whole log or one level's
//   whole sequence, and never index into the captured messages: a rule that logs one line fewer
//   must fail one expectation, not crash the test binary.
// - To assert that nothing went wrong, check that a level holds no line (NoLines).
// LogText prints a whole capture for a failure message only.
// Thread rule: read the capture from the test's thread after the logging calls returned.
#pragma once

#include <cstddef>
#include <vector>

#include "outside/log/DebugLog.h"

namespace testsupport {

// The number of captured lines at `level` (any level when 0) whose message contains `text`.
inline size_t CountLines(const DBG::CCaptureLog& log, int level, const OS::x_wstring& text) {
    size_t n = 0;
    for (const auto& l : log.Lines()) {
        if ((level == 0 || l.level == level) && l.message.find(text) != OS::x_wstring::npos) ++n;
    }
    return n;
}

// True when some captured line at `level` (any level when 0) contains `text`.
inline bool HasLine(const DBG::CCaptureLog& log, int level, const OS::x_wstring& text) {
    return CountLines(log, level, text) > 0;
}

// True when no line was captured at `level`.
inline bool NoLines(const DBG::CCaptureLog& log, int level) {
    return log.Messages(level).empty();
}

// Every captured line as "level source message" (level in hex), for failure messages.
inline std::vector<OS::x_wstring> LogText(const DBG::CCaptureLog& log) {
    std::vector<OS::x_wstring> out;
    for (const auto& l : log.Lines()) {
        OS::x_wstring line;
        line.Format(L"%x %ls %ls", l.level, l.source.c_str(), l.message.c_str());
        out.push_back(line);
    }
    return out;
}

}  // namespace testsupport

// LogText(log): every captured line as "level source message" (level in hex, e.g.
// "1001 cfg_ConfigurationSetting field id(3) is not found"), so that a test compares a whole log
// with one exact list of texts.
// Thread rule: read the capture from the test's thread after the logging calls returned.
#pragma once

#include <vector>

#include "outside/log/DebugLog.h"

namespace testsupport {

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

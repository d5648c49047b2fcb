// A progress bar on standard error for the long runs of dump and load. It is drawn only when
// standard error is a terminal and only once the run has lasted a moment, so short runs and
// scripts see nothing; it erases itself when done.
// Thread rule: one thread per bar.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace zoltcli {

class CProgressBar {
  public:
    // `what`: the unit counted ("settings").
    CProgressBar(std::string label, std::string what, size_t total);
    ~CProgressBar();
    CProgressBar(const CProgressBar&) = delete;
    CProgressBar& operator=(const CProgressBar&) = delete;

    // `done` of the total are finished.
    void Update(size_t done);
    // Erases the bar if it is drawn; later updates draw it again. Call before printing anything.
    void Finish();

  private:
    void Draw(size_t done);

    std::string m_strLabel;
    std::string m_strWhat;
    size_t m_uTotal;
    bool m_bEnabled;
    bool m_bDrawn = false;
    std::chrono::steady_clock::time_point m_Start;
    std::chrono::steady_clock::time_point m_LastDraw;
};

}  // namespace zoltcli

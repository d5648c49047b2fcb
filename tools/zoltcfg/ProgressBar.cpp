// The progress bar of dump and load (see ProgressBar.h).
// Thread rule: one thread per bar.
#include "tools/zoltcfg/ProgressBar.h"

#include <unistd.h>

#include <cstdio>

namespace zoltcli {

namespace {
constexpr auto kShowAfter = std::chrono::milliseconds(300);
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr size_t kWidth = 30;
}  // namespace

CProgressBar::CProgressBar(std::string label, std::string what, size_t total)
    : m_strLabel(std::move(label)),
      m_strWhat(std::move(what)),
      m_uTotal(total),
      m_bEnabled(isatty(STDERR_FILENO) == 1),
      m_Start(std::chrono::steady_clock::now()) {}

CProgressBar::~CProgressBar() {
    Finish();
}

void CProgressBar::Finish() {
    if (!m_bDrawn) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_bDrawn = false;
}

void CProgressBar::Update(size_t done) {
    if (!m_bEnabled) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_Start < kShowAfter) return;
    if (m_bDrawn && now - m_LastDraw < kRedrawEvery && done != m_uTotal) return;
    m_LastDraw = now;
    Draw(done);
}

void CProgressBar::Draw(size_t done) {
    const size_t filled = m_uTotal == 0 ? kWidth : done * kWidth / m_uTotal;
    std::string bar(filled, '#');
    bar.resize(kWidth, '-');
    std::fprintf(stderr, "\r%s [%s] %zu/%zu %s\033[K", m_strLabel.c_str(), bar.c_str(), done,
                 m_uTotal, m_strWhat.c_str());
    std::fflush(stderr);
    m_bDrawn = true;
}

}  // namespace zoltcli

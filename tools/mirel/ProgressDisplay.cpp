#include "tools/mirel/ProgressDisplay.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace mirel {

namespace {
constexpr int kBarWidth = 30;
constexpr const char* kSpinner = "|/-\\";
}  // namespace

ProgressDisplay::ProgressDisplay(std::string label)
    : m_label(std::move(label)), m_enabled(isatty(STDERR_FILENO)) {}

void ProgressDisplay::Update(int percentage, const std::string& detail) {
    if (!m_enabled)
        return;
    auto now = std::chrono::steady_clock::now();
    // Redrawing faster than a terminal can show is wasted work.
    if (m_drawn && percentage < 100 && now - m_lastDraw < std::chrono::milliseconds(50))
        return;
    m_lastDraw = now;
    percentage = std::clamp(percentage, 0, 100);
    int filled = percentage * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    std::fprintf(stderr, "\r\033[K%c %s [%s] %3d%% %s", kSpinner[m_frame++ % 4], m_label.c_str(), bar.c_str(),
                 percentage, detail.c_str());
    std::fflush(stderr);
    m_drawn = true;
}

void ProgressDisplay::Finish() {
    if (!m_enabled || !m_drawn)
        return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    m_drawn = false;
}

}  // namespace mirel

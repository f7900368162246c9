#pragma once
// A one-line progress display on stderr, drawn only when stderr is a terminal
// so that scripts reading the output see nothing of it.

#include <chrono>
#include <string>

namespace mirel {

class ProgressDisplay {
public:
    explicit ProgressDisplay(std::string label);
    ~ProgressDisplay() { Finish(); }

    bool Enabled() const { return m_enabled; }
    // Draws a bar with the percentage; detail is shown after it (rate, time left).
    void Update(int percentage, const std::string& detail = {});
    // Clears the line.
    void Finish();

private:
    std::string m_label;
    bool m_enabled;
    bool m_drawn = false;
    int m_frame = 0;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

}  // namespace mirel

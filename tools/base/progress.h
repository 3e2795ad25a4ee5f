// progress.h - a running progress line on standard error.
#ifndef ORVTAPE_TOOL_PROGRESS_H
#define ORVTAPE_TOOL_PROGRESS_H

#include <chrono>
#include <functional>
#include <string>

namespace orvtool {

// Shows "label: bytes  rate  percent" on standard error while work goes on,
// but only when standard error is a terminal, --quiet is off and the work
// has lasted longer than a moment.  Redraws a few times a second at most.
class Progress {
public:
    Progress(std::string label, unsigned long long total, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Called for every block: the clock is read only when a line may show.
    void advance(unsigned long long bytes) {
        done_ += bytes;
        if (enabled_) tick();
    }
    void finish();
    // More to show after the rate, asked for only when a line is drawn.
    void detail(std::function<std::string()> more) { detail_ = std::move(more); }

private:
    void tick();
    void draw(bool last);

    std::string label_;
    unsigned long long total_;  // 0 when unknown
    unsigned long long done_ = 0;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_, lastDraw_;
    std::function<std::string()> detail_;
};

}  // namespace orvtool

#endif

// progress.cpp - the progress line of put, get, copy, export, import and recover.
#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace orvtool {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kDelay = std::chrono::milliseconds(700);  // quiet for short jobs
constexpr auto kInterval = std::chrono::milliseconds(200);

std::string human(double bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}
}  // namespace

Progress::Progress(std::string label, unsigned long long total, bool quiet)
    : label_(std::move(label)), total_(total), enabled_(!quiet && isatty(STDERR_FILENO)),
      start_(Clock::now()), lastDraw_(start_) {}

Progress::~Progress() { finish(); }

void Progress::tick() {
    auto now = Clock::now();
    if (now - start_ < kDelay || now - lastDraw_ < kInterval) return;
    lastDraw_ = now;
    draw(false);
}

void Progress::finish() {
    if (enabled_ && shown_) draw(true);
    shown_ = false;
    enabled_ = false;
}

void Progress::draw(bool last) {
    double secs = std::chrono::duration<double>(Clock::now() - start_).count();
    std::string line = label_ + ": " + human(static_cast<double>(done_));
    if (secs > 0) line += "  " + human(done_ / secs) + "/s";
    if (total_ > 0) {
        char pct[16];
        std::snprintf(pct, sizeof pct, "  %3.0f%%", 100.0 * done_ / total_);
        line += pct;
    }
    if (detail_) line += "  " + detail_();
    std::fprintf(stderr, "\r%-60s%s", line.c_str(), last ? "\n" : "");
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace orvtool

#include "cli/progress.hpp"

#include "cli/platform.hpp"

#include <cstdio>
#include <string>

namespace corvane::cli {

namespace {

// Runs shorter than this finish before a display would help.
constexpr double QUIET_SECONDS = 0.5;
constexpr double REDRAW_SECONDS = 0.2;
constexpr int BAR_WIDTH = 24;

std::string human_bytes(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000.0 && unit < 4) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

Progress::Progress(bool wanted, std::size_t total_bytes)
    : enabled_(wanted && platform::is_terminal(platform::STDERR)), total_bytes_(total_bytes), start_(Clock::now()),
      last_draw_(start_) {}

Progress::~Progress() {
    if (drawn_) std::fputc('\n', stderr);
}

void Progress::advance(std::size_t bytes, std::size_t records) {
    bytes_ += bytes;
    records_ += records;
    if (!enabled_) return;
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds < QUIET_SECONDS || std::chrono::duration<double>(now - last_draw_).count() < REDRAW_SECONDS) return;
    last_draw_ = now;
    draw(seconds);
}

void Progress::clear() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", stderr);
    drawn_ = false;
}

void Progress::finish() {
    if (!shown_) return;
    draw(std::chrono::duration<double>(Clock::now() - start_).count());
    std::fputc('\n', stderr);
    drawn_ = false;
}

void Progress::draw(double seconds) {
    std::string line = "\r";
    if (total_bytes_ > 0) {
        const double done = bytes_ >= total_bytes_ ? 1.0 : static_cast<double>(bytes_) / total_bytes_;
        const int filled = static_cast<int>(done * BAR_WIDTH);
        line += '[' + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') + "] ";
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3.0f%% ", done * 100.0);
        line += percent;
    }
    char figures[160];
    std::snprintf(figures, sizeof figures, "%s  %s/s  %zu records  %.0f records/s", human_bytes(bytes_).c_str(),
                  human_bytes(bytes_ / seconds).c_str(), records_, records_ / seconds);
    line += figures;
    line += "\x1b[K";  // clear what a longer previous line left behind
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
    shown_ = true;
}

}  // namespace corvane::cli

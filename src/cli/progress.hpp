// A one-line progress display on standard error for long JSON Lines runs:
// bytes and records done, their rates, and a bar when the total is known.
#pragma once

#include <chrono>
#include <cstddef>

namespace corvane::cli {

class Progress {
public:
    // Shows nothing unless `wanted` and standard error is a terminal.
    Progress(bool wanted, std::size_t total_bytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Adds finished work; redraws a few times a second once the run has
    // lasted long enough to be worth watching.
    void advance(std::size_t bytes, std::size_t records);
    // Wipes the display so that a message can take the line; the next
    // advance draws it again below the message.
    void clear();
    // Draws the final figures (when anything was drawn) and ends the line.
    void finish();

private:
    void draw(double seconds);

    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool drawn_ = false;  // the display is on the line now
    bool shown_ = false;  // the display has been drawn at least once
    std::size_t total_bytes_;
    std::size_t bytes_ = 0;
    std::size_t records_ = 0;
    Clock::time_point start_;
    Clock::time_point last_draw_;
};

}  // namespace corvane::cli

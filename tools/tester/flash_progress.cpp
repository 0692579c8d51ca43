#include "flash_progress.h"

#include <cstdio>

#include "terminal.h"

namespace doip_tools {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

}  // namespace

std::string duration_text(double seconds) {
    const auto total = static_cast<unsigned long long>(seconds < 0 ? 0 : seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", total / 60, total % 60);
    }
    return text;
}

std::string size_text(uint64_t bytes) {
    char text[32];
    if (bytes >= 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    } else if (bytes >= 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    }
    return text;
}

FlashProgress::FlashProgress(ProgressStyle style, uint64_t total, std::ostream& out)
    : style_(style), total_(total), out_(out) {
    if (style_ == ProgressStyle::automatic) {
        style_ = stdout_is_terminal() ? ProgressStyle::bar : ProgressStyle::lines;
    }
}

void FlashProgress::start() {
    start_ = Clock::now();
    next_draw_ = start_;
    next_tenth_ = 1;
    next_line_ = (total_ + 9) / 10;
}

void FlashProgress::update(uint64_t done) {
    last_ = done;
    switch (style_) {
        case ProgressStyle::bar: {
            const auto now = Clock::now();
            if (now >= next_draw_ || done == total_) {
                next_draw_ = now + kRedrawInterval;
                draw(done, true);
            }
            break;
        }
        case ProgressStyle::lines:
            if (done >= next_line_ && next_tenth_ <= 10) {
                // One line for the tenths a large block passed at once.
                while (next_tenth_ <= 10 && done >= (total_ * next_tenth_ + 9) / 10) {
                    ++next_tenth_;
                }
                next_line_ = (total_ * next_tenth_ + 9) / 10;
                draw(done, false);
            }
            break;
        case ProgressStyle::automatic:
        case ProgressStyle::none:
            break;
    }
}

void FlashProgress::finish() {
    if (style_ == ProgressStyle::bar && drawn_) {
        draw(last_, true);
        out_ << "\n" << std::flush;
        drawn_ = false;
    }
}

void FlashProgress::draw(uint64_t done, bool bar) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double fraction = total_ == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total_);
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;  // bytes per second
    const std::string left =
        rate > 0 ? duration_text(static_cast<double>(total_ - done) / rate) : std::string("-:--");
    char figures[160];
    std::snprintf(figures, sizeof figures, "%3d%%  %s / %s  %.0f KiB/s  elapsed %s  left %s",
                  static_cast<int>(fraction * 100), size_text(done).c_str(), size_text(total_).c_str(),
                  rate / 1024.0, duration_text(seconds).c_str(), left.c_str());
    if (!bar) {
        out_ << "    " << figures << "\n" << std::flush;
        return;
    }
    char cells[kBarWidth + 1];
    const int filled = static_cast<int>(fraction * kBarWidth);
    for (int i = 0; i < kBarWidth; ++i) {
        cells[i] = i < filled ? '#' : '.';
    }
    cells[kBarWidth] = '\0';
    // Padding clears what a longer line before left on the terminal.
    out_ << "\r[" << cells << "] " << figures << "   " << std::flush;
    drawn_ = true;
}

}  // namespace doip_tools

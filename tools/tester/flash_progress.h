// The progress of a flash's transfer: a bar redrawn on one line (a terminal), a line at every 10 % (a file
// or a pipe), or nothing; and the texts of its figures.
#ifndef DOIP_TOOLS_TESTER_FLASH_PROGRESS_H
#define DOIP_TOOLS_TESTER_FLASH_PROGRESS_H

#include <cstdint>
#include <ostream>
#include <string>

#include "flash.h"
#include "formatting.h"

namespace doip_tools {

// "0:07", "12:34", "1:02:03".
std::string duration_text(double seconds);
// "6.9 MiB", "512 B", "3.0 KiB".
std::string size_text(uint64_t bytes);

class FlashProgress {
  public:
    // `style` automatic: a bar when standard output is a terminal, else lines. Nothing printed yet.
    FlashProgress(ProgressStyle style, uint64_t total, std::ostream& out);

    // Starts the clock of the rate and of the time left.
    void start();
    // `done` bytes of the total are through. Cheap when there is nothing to print: called per block.
    void update(uint64_t done);
    // Ends the bar's line (the last figures drawn); lines and none print nothing more.
    void finish();

  private:
    void draw(uint64_t done, bool bar);

    ProgressStyle style_;
    uint64_t total_;
    std::ostream& out_;
    Clock::time_point start_;
    Clock::time_point next_draw_;  // bar: not redrawn before
    uint64_t next_line_ = 0;       // lines: the bytes at which the next tenth is reached
    unsigned next_tenth_ = 1;
    uint64_t last_ = 0;
    bool drawn_ = false;  // the bar's line is open
};

}  // namespace doip_tools

#endif

#include "progress.h"

#include <cstdio>
#include <unistd.h>
#include <utility>

namespace pkgtool {

Progress::Progress(std::string what) : what_(std::move(what)), shown_(isatty(STDERR_FILENO) == 1)
{
}

Progress::~Progress()
{
    if (shown_ && percent_ >= 0)
        std::fputc('\n', stderr);
}

void Progress::update(double fraction)
{
    if (!shown_)
        return;
    const int percent = fraction <= 0 ? 0 : fraction >= 1 ? 100 : static_cast<int>(fraction * 100);
    if (percent == percent_)
        return;
    percent_ = percent;
    std::fprintf(stderr, "\rpkgtool: %s: %3d%%", what_.c_str(), percent);
    std::fflush(stderr);
}

} // namespace pkgtool

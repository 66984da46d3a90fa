// Progress of long work (zipping an image folder, checking and unpacking
// an image): one line on standard error, rewritten in place, and only when
// standard error is a terminal; elsewhere nothing is printed.
#ifndef PKGTOOL_PROGRESS_H
#define PKGTOOL_PROGRESS_H

#include <string>

namespace pkgtool {

class Progress {
public:
    // what names the work, as in "pkgtool: zipping the image: 42%".
    explicit Progress(std::string what);
    // Ends the line when anything was shown.
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // True when progress is shown (standard error is a terminal).
    bool shown() const { return shown_; }
    // The part done, 0 to 1; the line is rewritten when the whole
    // percentage changes.
    void update(double fraction);

private:
    std::string what_;
    bool shown_;
    int percent_ = -1;
};

} // namespace pkgtool

#endif

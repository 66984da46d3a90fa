#include "temp_output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "../common/ending_signals.h"

namespace pkgtool {

namespace {


// What the handler may touch: a fixed buffer and a flag, no allocation.
char tempName[PATH_MAX];
volatile sig_atomic_t armed = 0;
struct sigaction previous[ENDING_SIGNAL_COUNT];
bool replaced[ENDING_SIGNAL_COUNT];

void onSignal(int sig)
{
    if (armed)
        unlink(tempName);
    // The signal is blocked while this runs: once re-raised with the
    // default action it ends the process as soon as the handler returns.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

sigset_t watchedSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS)
        sigaddset(&set, sig);
    return set;
}

void installHandlers()
{
    struct sigaction act = {};
    act.sa_handler = onSignal;
    act.sa_mask = watchedSet(); // one handler at a time
    for (int i = 0; i < ENDING_SIGNAL_COUNT; i++) {
        replaced[i] = false;
        if (sigaction(ENDING_SIGNALS[i], nullptr, &previous[i]) != 0 ||
            previous[i].sa_handler == SIG_IGN) // nohup's SIGHUP, say
            continue;
        replaced[i] = sigaction(ENDING_SIGNALS[i], &act, nullptr) == 0;
    }
}

void restoreHandlers()
{
    for (int i = 0; i < ENDING_SIGNAL_COUNT; i++) {
        if (replaced[i])
            sigaction(ENDING_SIGNALS[i], &previous[i], nullptr);
        replaced[i] = false;
    }
}

// Runs f with the watched signals held back, so that the name and the flag
// change together; a signal that came meanwhile is handled afterwards.
template <typename F> void withSignalsBlocked(F f)
{
    const sigset_t set = watchedSet();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &set, &old);
    f();
    const int savedErrno = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = savedErrno;
}

} // namespace

int tempOutputCreate(const std::string &output)
{
    installHandlers();
    int fd = -1;
    withSignalsBlocked([&] {
        const int n = std::snprintf(tempName, sizeof tempName, "%s.XXXXXX", output.c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof tempName) {
            errno = ENAMETOOLONG;
            return;
        }
        fd = mkstemp(tempName); // fills in the name in place
        armed = fd >= 0;
    });
    if (fd < 0) {
        const int savedErrno = errno;
        restoreHandlers();
        errno = savedErrno;
    }
    return fd;
}

int tempOutputCommit(const std::string &output)
{
    int result = 0;
    withSignalsBlocked([&] {
        result = rename(tempName, output.c_str());
        if (result != 0) {
            const int savedErrno = errno;
            unlink(tempName);
            errno = savedErrno;
        }
        armed = 0;
    });
    const int savedErrno = errno;
    restoreHandlers();
    errno = savedErrno;
    return result;
}

void tempOutputDiscard()
{
    withSignalsBlocked([] {
        if (armed)
            unlink(tempName);
        armed = 0;
    });
    restoreHandlers();
}

} // namespace pkgtool

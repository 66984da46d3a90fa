/* The signals after which the launcher, tunzip and pkgtool clean up before
 * they end: a user's interrupt, quit or termination, a terminal that hangs
 * up, and output that nobody reads any more.  One list for all three. */
#ifndef COMMON_ENDING_SIGNALS_H
#define COMMON_ENDING_SIGNALS_H

#include <signal.h>

static const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE};
enum { ENDING_SIGNAL_COUNT = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0] };

#endif

// The temporary file a build writes beside its output and renames over it
// when whole.  A signal that ends pkgtool (INT, TERM, HUP, QUIT, PIPE)
// removes it first, then ends the process by that signal; a signal that
// was ignored when pkgtool started stays ignored.
#ifndef PKGTOOL_TEMP_OUTPUT_H
#define PKGTOOL_TEMP_OUTPUT_H

#include <string>

namespace pkgtool {

// Creates OUTPUT.XXXXXX (mode 0600, as mkstemp makes it) and watches it
// until tempOutputCommit or tempOutputDiscard.  One at a time.  Result: a
// descriptor open for writing, or -1 with errno set (ENAMETOOLONG when the
// name does not fit).
int tempOutputCreate(const std::string &output);

// Renames the temporary file over output; on failure removes it.
// Result: 0, or -1 with errno set.
int tempOutputCommit(const std::string &output);

// Removes the temporary file.
void tempOutputDiscard();

} // namespace pkgtool

#endif

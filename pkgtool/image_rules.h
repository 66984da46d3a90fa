// What an image must hold for the launcher to run a record's command from
// it: entries at all, the file the command names, and no top-level name
// that the launcher's "chmod 777 *" reads as an option.
#ifndef PKGTOOL_IMAGE_RULES_H
#define PKGTOOL_IMAGE_RULES_H

#include <string>
#include <vector>

#include "package_file.h"
#include "zipcheck.h"

namespace pkgtool {

// How a record's command fits an image with these entries.  The command is
// the start of a shell line: its first word names the file, relative to the
// image's top.
struct CommandFit {
    // false: no file of the image is found under that name (it is missing,
    // a folder, or outside the image); every run fails.
    bool found = true;
    // Why not found; or, when found, why it may still not run as meant (it
    // lies below a folder); "" when all is well.
    std::string note;
};
CommandFit commandFit(const Record &record, const std::vector<ZipEntry> &entries);

// Whether the record at index (from 0) may run with the archive that serves
// partArchitecture (0: the package's single image).  The first record is the
// fall-back on any host; another runs only on a host of its architecture,
// which is given the archive of a pair for that architecture.
bool recordRunsWith(size_t index, const Record &record, int32_t partArchitecture);

// Appends one line for each fault that keeps any command from running from
// an image with these entries: none at all, or a top-level name beginning
// with "-".
void imageProblems(const std::vector<ZipEntry> &entries, std::vector<std::string> &problems);

// Checks an image whole: as the unpacking reads it (checkZip) and, when it
// reads, as any command needs it (imageProblems).  Appends one line per
// problem; progress, when given, follows the entries checked.
void checkImage(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
                std::vector<std::string> &problems, Progress *progress = nullptr);

// For each record that runs with the archive serving architecture (see
// recordRunsWith), the note on its command (commandFit) as "record N: NOTE"
// and suffix: to unrunnable when no file is found for it, else to doubtful.
// The two may be one list.
void recordNotes(const std::vector<Record> &records, const std::vector<ZipEntry> &entries,
                 int32_t architecture, const std::string &suffix,
                 std::vector<std::string> &unrunnable, std::vector<std::string> &doubtful);

} // namespace pkgtool

#endif

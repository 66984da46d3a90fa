// The run of a package, step by step: read the package (appended to the
// launcher's own file, or named by trell-run), unpack its image into a
// private work directory, run the tool, clean up.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../common/folder_walk.h"
#include "../os/osspecific.h"
#include "installer.h"

int extractFd = -1;

// Shown with the folder that holds the work directory.
static const char banner[] =
    "==============================================================\n"
    "  Trell Portable Launcher\n"
    "  Self-extracting diagnostic tool package\n"
    "\n"
    "  The tool is unpacked into a private folder under %s,\n"
    "  run with your arguments, and removed when it ends.\n"
    "==============================================================\n\n";


// Fills extractFolder with the folder as an absolute path quoted for the
// shell, then opens it (extractFd), creating it when it is missing: a name
// that cannot be used, or a folder that cannot be trusted, creates nothing.
// Result: 0, -1 when the folder cannot be created (the caller returns -1),
// -2 for a folder that cannot be named or is refused (failure ending).
static int prepareExtractFolder(const char *folder)
{
    char cwd[CMD_BUFFER_SIZE];
    getCurrentDir(cwd, sizeof cwd);
    if (!isAbsolutePath(folder) && cwd[0] == '\0') {
        fprintf(stderr, "Failed naming the extract folder %s: the current directory is unknown\n",
                folder);
        return -2;
    }
    if (absoluteFolder(extractPath, sizeof extractPath, folder, cwd) != 0 ||
        shellQuote(extractFolder, sizeof extractFolder, extractPath) != 0) {
        size_t length = shellQuotedLength(folder);
        if (!isAbsolutePath(folder))
            length += shellQuotedLength(cwd) + (cwd[0] == '/' ? 1 : 2);
        fprintf(stderr, "Failed naming the extract folder %s: its absolute path has %lu "
                        "characters, each $ ` \" \\ counted twice; at most %d fit\n",
                folder, (unsigned long)length, EXTRACT_FOLDER_SIZE - 3);
        return -2;
    }
    // The folder is reached by descriptor from "/" and made where missing:
    // an existing one must be one no other user could change while it is
    // unpacked into (not a link, nor another user's or open to others),
    // reached through folders no other user could change either.  No shell
    // and no path that someone could swap meanwhile is involved.
    FolderWalkFault fault;
    extractFd = folderWalkOpen(extractPath, FOLDER_WALK_TARGET | FOLDER_WALK_MAKE, &fault);
    if (extractFd < 0 && fault.code == FOLDER_WALK_MAKE_FAILED) {
        printf("Failed to create directory: %s\n"
               "Please check if you specify a correct path to extract.\n",
               folder);
        return -1;
    }
    if (extractFd < 0) {
        char why[FOLDER_WALK_WHERE_SIZE + 64];
        fprintf(stderr, "Refusing the extract folder %s: %s\n", folder,
                folderWalkDescribe(&fault, why, sizeof why));
        return -2;
    }
    extract = 1;
    return 0;
}

// In extract-only mode the unpacked files go to the extract folder: its file
// system must have room for them before anything is written there.
// Result: 0, or -1 after a message with the sizes.
static int checkExtractRoom(const RunSizes *sizes)
{
    FolderRoom room;
    if (!sizes->known || folderRoomAt(extractFd, &room) != 0)
        return 0;
    uint64_t bytes = runBytesNeeded(sizes, room.blockSize, 0, 1);
    uint64_t files = runInodesNeeded(sizes, 0, 1);
    if (room.freeBytes < bytes) {
        fprintf(stderr, "Not enough room in %s: %llu KiB free, the unpacked image needs %llu KiB\n",
                extractPath, (unsigned long long)(room.freeBytes >> 10),
                (unsigned long long)((bytes + 1023) >> 10));
        return -1;
    }
    if (room.freeInodes < files) {
        fprintf(stderr, "Not enough room in %s: %llu more files may be made, the unpacked image "
                        "needs %llu\n",
                extractPath, (unsigned long long)room.freeInodes, (unsigned long long)files);
        return -1;
    }
    return 0;
}

// The shell's statuses for a command it could not start: 126 not
// executable (noexec, or a security module's denial), 127 for a file that
// is there (no interpreter or loader for it).
static int unzipNotStarted(int status, const char *unzipName)
{
    if (status == -1 || !WIFEXITED(status))
        return 0;
    return WEXITSTATUS(status) == 126 || (WEXITSTATUS(status) == 127 && fileExists(unzipName));
}

int runPackage(const char *package, int argc, char **argv)
{
    static char cmd[CMD_BUFFER_SIZE];
    static char value[VALUE_BUFFER_SIZE];
    static char stamp[TIMESTAMP_SIZE];
    static int32_t directory[PKG_DIR_ENTRIES];
    static unsigned char globalInfo[PKG_GLOBAL_INFO_SIZE];

    // 1. Signals and locale.
    installInterrupts();
    setInheritedEnv("ZoveziZurArivid", "en");

    // 2, 3. Mode; in extract-only mode, the extract folder.
    if (argc == 3 && strcmp(argv[1], "--extract") == 0) {
        int r = prepareExtractFolder(argv[2]);
        if (r == -1)
            return -1;
        if (r != 0)
            failureEnding(1);
    }

    // 4. Start-up timestamp, only when started without arguments.
    if (argc == 1) {
        if (startTimestamp(stamp, sizeof stamp) != 0) {
            fputs("Failed reading the clock\n", stderr);
            failureEnding(1);
        }
        setInheritedEnv("ZORVAN_QELPI_GUI_T", stamp);
    }

    // 5. Current directory.
    getCurrentDir(cmd, sizeof cmd);
    if (cmd[0] == '\0') {
        fputs("Failed determining the current directory\n", stderr);
        failureEnding(1);
    }
    setInheritedEnv("ZORVAN_PORTABLE_EXEC_DIR", cmd);

    // 6. Package directory.  (Without even a name of its own, the launcher
    // still finds its file through the kernel.)
    int fd = locatePkgDirectory(argc > 0 && argv[0] != NULL ? argv[0] : "", package, directory);
    if (fd < 0)
        failureEnding(1);
    // Nothing of a changed package runs, and on a host that trusts only
    // some keys, nothing of anyone else's.  (A package run directly checks
    // itself with its own launcher: that guards against damage.  trell-run
    // checks it with the installed code, which a package cannot change.)
    if (checkPackageIntegrity(directory, fd) != 0 || checkTrust(TRUST_STORE, fd) != 0)
        failureEnding(1);

    // 7. Global info.
    if (extractPkgElement(PKG_ELEM_GLOBAL_INFO, directory, fd, globalInfo, sizeof globalInfo) !=
        PKG_GLOBAL_INFO_SIZE) {
        fputs("Failed extracting global info\n", stderr);
        failureEnding(1);
    }
    int32_t recordCount = pkgGetI32(globalInfo + PKG_GI_COUNT_OFFSET);

    // 8. Command table.
    uint32_t tableSize = (uint32_t)directory[PKG_ELEM_COMMANDS];
    unsigned char *table = (unsigned char *)malloc(tableSize ? tableSize : 1);
    if (table == NULL ||
        extractPkgElement(PKG_ELEM_COMMANDS, directory, fd, table, tableSize) < 0) {
        fputs("Failed extracting command\n", stderr);
        failureEnding(1);
    }
    if (tableSize < PKG_RECORD_SIZE || recordCount > (int32_t)(tableSize / PKG_RECORD_SIZE)) {
        fprintf(stderr, "Invalid command table: %d records announced, room for %u\n",
                (int)recordCount, (unsigned)(tableSize / PKG_RECORD_SIZE));
        failureEnding(1);
    }

    // The room the run takes, where the package records it: the extract
    // folder's first, then the work directory's base, chosen before host
    // identification writes its temporary file.
    RunSizes sizes;
    runSizesFromPackage(directory, &sizes);
    if (extract && checkExtractRoom(&sizes) != 0)
        failureEnding(1);
    // What dead runs left goes first: its room counts.
    sweepWorkBases();
    if (chooseWorkBase(&sizes) != 0)
        failureEnding(1);
    setScratchFolder(wrkBase);

    // 9. Command record, by the platform check in every mode.
    PfmInfo host;
    const unsigned char *record =
        platformCheck(recordCount, pkgGetI32(globalInfo + PKG_GI_STRICT_OFFSET), table,
                      tableSize, &host);
    if (record == NULL)
        failureEnding(1);
    const char *command = (const char *)record + PKG_REC_COMMAND_OFFSET;
    const char *args = (const char *)record + PKG_REC_ARGS_OFFSET;
    int32_t mode = pkgGetI32(record + PKG_REC_MODE_OFFSET);
    if (memchr(command, '\0', PKG_REC_COMMAND_SIZE) == NULL ||
        memchr(args, '\0', PKG_REC_ARGS_SIZE) == NULL) {
        fputs("Invalid command record: text without terminator\n", stderr);
        failureEnding(1);
    }

    // 10. Banner.
    printf(banner, wrkBase);
    puts("Extracting...");
    fflush(stdout);

    // 11 to 14, in the next base when the host does not let the unzip
    // utility start in this one.
    int status, n;
    int imageChosen = 0;
    for (;;) {
        // 11. Work directory.
        if (makeWorkDir(wrkBase, (uint32_t)getPid()) != 0)
            failureEnding(1);

        // 12. Image: of an image pair, the archive for this host.
        if ((!imageChosen && selectImage(directory) != 0) ||
            extractPkgElementFile(PKG_ELEM_IMAGE, "image.zip", directory, fd) < 0) {
            fputs("Failed extracting portable image\n", stderr);
            failureEnding(1);
        }
        imageChosen = 1;
        if (makeFileReadable("image.zip") < 0) {
            fputs("Failed making image.zip readable\n", stderr);
            failureEnding(1);
        }

        // 13. Unzip utility.  Written out as miniunz whatever it is (tunzip,
        // Debian's miniunzip): the package format and the unzip command line
        // name it so, and packages made with either run the same command.
        n = snprintf(cmd, sizeof cmd, "miniunz%s", EXE_EXT);
        if (n < 0 || (size_t)n >= sizeof cmd ||
            extractPkgElementFile(PKG_ELEM_UNZIP, cmd, directory, fd) < 0) {
            fputs("Failed extracting unzip\n", stderr);
            failureEnding(1);
        }
        if (makeFileExecutable(cmd) < 0)
            fputs("Failed making unzip utility executable\n", stderr);

        // 14. Unpacking, an interrupt window.
        if (extract)
            n = snprintf(cmd, sizeof cmd, ".%cminiunz%s -o image.zip -d %s > %s", FILE_SEPARATOR,
                         EXE_EXT, extractFolder, DEV_NULL);
        else
            n = snprintf(cmd, sizeof cmd, ".%cminiunz%s -o image.zip > %s", FILE_SEPARATOR,
                         EXE_EXT, DEV_NULL);
        if (n < 0 || (size_t)n >= sizeof cmd) {
            fputs("Failed building the unzip command\n", stderr);
            failureEnding(1);
        }
        ignoreInterrupt = 1;
        status = system(cmd);
        ignoreInterrupt = 0;
        if (interrupted || !unzipNotStarted(status, "miniunz"))
            break;
        // Checks of the mount cannot see every refusal (a security
        // module's, say): this base is given up, the next one tried.
        dropWorkDir();
        if (chooseNextWorkBase(&sizes) != 0) {
            fprintf(stderr, "\nFailed executing <%s>\n", cmd);
            reportWorkBaseRefusals();
            failureEnding(1);
        }
    }
    // The unzip utility reports success also when it ran out of space: a
    // full file system afterwards means the image was not unpacked whole.
    const char *target = extract ? extractPath : ".";
    int full = status == 0 && isFileSystemFull(target);
    if (status != 0 || full) {
        if (!interrupted) {
            fprintf(stderr, "\nFailed executing <%s>\n", cmd);
            // The most common causes, and ones the user can act on.
            if (full)
                fprintf(stderr, "No space left on the file system of %s: the image was not "
                                "unpacked whole\n", extract ? extractPath : wrkBase);
            else if (isNoExecDir("."))
                fprintf(stderr, "%s is mounted noexec: programs cannot run there; set "
                                "TRELL_PORTABLE_TMPDIR to a folder where they may\n", wrkBase);
        }
        failureEnding(1);
    }

    // 15. Extract-only mode ends here.
    if (extract)
        successEnding();

    // 16. Preparing the tool.
    fd_close(fd);
    (void)system("chmod 777 *");

    // 17. The tool's command line.
    switch (buildToolCommand(cmd, sizeof cmd, value, sizeof value, command, args, mode, argc,
                             argv)) {
    case CMDLINE_OK:
        break;
    case CMDLINE_VALUE_TOO_LONG:
        fprintf(stderr, "Failed building the command line: a value is longer than %d characters\n",
                VALUE_BUFFER_SIZE - 4);
        failureEnding(1);
    default:
        fprintf(stderr, "Failed building the command line: it is longer than %d characters\n",
                CMD_BUFFER_SIZE - 1);
        failureEnding(1);
    }

    // 18. Running the tool, an interrupt window.
    puts("Executing...\n\n");
    fflush(stdout);
    // The tool in the image folder dezodur loads libsysfs.so.2.0.1, which the
    // image ships as vud_ora/libsysfs.so: the package format has the
    // launcher link the one to the other.  Images without those folders get
    // no link (the failure is ignored).
    // The link is made in the work directory's own dezodur, reached from
    // the current folder without following a link: never anywhere else.
    char p2[WRK_DIR_SIZE], p3[600];
    int l2 = snprintf(p2, sizeof p2, "%s%c%s", wrkDir, FILE_SEPARATOR, "vud_ora");
    int l3 = snprintf(p3, sizeof p3, "%s%c%s", p2, FILE_SEPARATOR, "libsysfs.so");
    if (l2 > 0 && (size_t)l2 < sizeof p2 && l3 > 0 && (size_t)l3 < sizeof p3)
        makeSymLinkIn("dezodur", p3, "libsysfs.so.2.0.1");
    ignoreInterrupt = 1;
    status = executeProcess(cmd);
    ignoreInterrupt = 0;
    if (status != 0)
        failureEnding(status);
    successEnding();
}

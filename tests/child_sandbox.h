// Runs a unit test's case in a forked child (optionally inside a private
// mount namespace whose root is a fresh tmpfs) and brings back what the child
// recorded.  For services that use fixed paths, the current directory or the
// environment: nothing the case changes reaches the test process or, with a
// private root, the host.
#ifndef TESTS_CHILD_SANDBOX_H
#define TESTS_CHILD_SANDBOX_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "../common/io_loops.h"

// What a child saw, sent back to the parent as names and values.
using Observations = std::map<std::string, std::string>;

struct ChildReport {
    bool skipped = false;
    std::string skipReason;
    std::string failure; // set when the child broke down (crash, setup error)
    Observations values;
};

// Thrown inside a child when its private root cannot be had on this machine.
struct SandboxUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace sandbox_detail {

inline void sendText(int fd, const std::string &text)
{
    uint32_t size = (uint32_t)text.size();
    ioWriteAll(fd, &size, sizeof size);
    ioWriteAll(fd, text.data(), text.size());
}

inline bool takeText(const std::string &all, size_t &at, std::string &text)
{
    uint32_t size;
    if (all.size() - at < sizeof size)
        return false;
    memcpy(&size, all.data() + at, sizeof size);
    at += sizeof size;
    if (all.size() - at < size)
        return false;
    text.assign(all, at, size);
    at += size;
    return true;
}

inline void check(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + strerror(errno));
}

// Builds a new root on a tmpfs in a private mount namespace and enters it:
// the host's /usr and /etc (read-only), /dev and /proc, the top-level links
// (bin -> usr/bin ...) and an empty /tmp.  Nothing else: no /trell, no /mnt.
inline void enterPrivateRoot()
{
    if (unshare(CLONE_NEWNS) != 0)
        throw SandboxUnavailable(std::string("no private mount namespace here (unshare: ") +
                                 strerror(errno) + ")");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        throw SandboxUnavailable(std::string("mounts cannot be made private here (") +
                                 strerror(errno) + ")");
    // /tmp of this namespace only: the host's /tmp is not touched.
    const std::string root = "/tmp";
    check(mount("sandbox", root.c_str(), "tmpfs", 0, "mode=0755") == 0, "tmpfs root");
    struct Bind {
        const char *dir;
        bool readOnly;
    } binds[] = {{"usr", true}, {"etc", true}, {"dev", false}, {"proc", false}};
    for (const Bind &b : binds) {
        std::string source = std::string("/") + b.dir, target = root + "/" + b.dir;
        check(mkdir(target.c_str(), 0755) == 0, "mkdir " + target);
        check(mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
              "bind " + source);
        if (b.readOnly)
            check(mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                        nullptr) == 0,
                  "read-only " + target);
    }
    DIR *top = opendir("/");
    check(top != nullptr, "opendir /");
    while (struct dirent *e = readdir(top)) {
        std::string from = std::string("/") + e->d_name;
        struct stat st;
        char link[256];
        if (lstat(from.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        ssize_t n = readlink(from.c_str(), link, sizeof link - 1);
        if (n <= 0)
            continue;
        link[n] = '\0';
        check(symlink(link, (root + from).c_str()) == 0, "symlink " + from);
    }
    closedir(top);
    check(mkdir((root + "/tmp").c_str(), 01777) == 0 && chmod((root + "/tmp").c_str(), 01777) == 0,
          "mkdir /tmp");
    check(chroot(root.c_str()) == 0, "chroot");
    check(chdir("/") == 0, "chdir /");
}

} // namespace sandbox_detail

// A child started by startChild: its id and the read end of its report.
struct Child {
    pid_t pid = -1;
    int fd = -1;
    std::string failure;
};

// Forks a child that runs body (inside a private root when asked) and sends
// back what it recorded.  The child's changes to the current directory, the
// environment and the mounts die with it.
inline Child startChild(const std::function<void(Observations &)> &body, bool privateRoot = false)
{
    using namespace sandbox_detail;
    Child child;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        child.failure = "pipe failed";
        return child;
    }
    fflush(stdout);
    fflush(stderr);
    child.pid = fork();
    if (child.pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        child.failure = "fork failed";
        return child;
    }
    if (child.pid == 0) {
        close(pipeFds[0]);
        Observations values;
        int code = 0;
        try {
            if (privateRoot)
                enterPrivateRoot();
            body(values);
        } catch (const SandboxUnavailable &e) {
            values = {{"\001skip", e.what()}};
        } catch (const std::exception &e) {
            values = {{"\001failure", e.what()}};
            code = 1;
        }
        for (const auto &kv : values) {
            sendText(pipeFds[1], kv.first);
            sendText(pipeFds[1], kv.second);
        }
        fflush(stdout);
        fflush(stderr);
        _exit(code);
    }
    close(pipeFds[1]);
    child.fd = pipeFds[0];
    return child;
}

// Collects a child's report and waits for its end.
inline ChildReport finishChild(const Child &child)
{
    using namespace sandbox_detail;
    ChildReport report;
    if (!child.failure.empty()) {
        report.failure = child.failure;
        return report;
    }
    std::string all;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(child.fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        all.append(chunk, (size_t)n);
    }
    close(child.fd);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    size_t at = 0;
    std::string key, value;
    while (takeText(all, at, key) && takeText(all, at, value))
        report.values[key] = value;
    if (report.values.count("\001skip")) {
        report.skipped = true;
        report.skipReason = report.values["\001skip"];
    } else if (report.values.count("\001failure")) {
        report.failure = report.values["\001failure"];
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        report.failure = "child ended with status " + std::to_string(status);
    }
    return report;
}

inline ChildReport runInChild(const std::function<void(Observations &)> &body,
                              bool privateRoot = false)
{
    return finishChild(startChild(body, privateRoot));
}

// Runs body in a child and skips the test when no private root can be had.
#define RUN_CHILD_OR_SKIP(report, body, privateRoot)                                     \
    ChildReport report = runInChild(body, privateRoot);                                  \
    if (report.skipped)                                                                  \
        GTEST_SKIP() << report.skipReason;                                               \
    ASSERT_EQ("", report.failure)

// Gives up, for the rest of the process, root's power to pass over file
// modes (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH), so that a case about a file
// the process may not read or search runs as root too.  For use in a child.
inline void dropFileModeOverride()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    sandbox_detail::check(syscall(SYS_capget, &header, data) == 0, "capget");
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        data[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        data[CAP_TO_INDEX(cap)].permitted &= ~CAP_TO_MASK(cap);
        data[CAP_TO_INDEX(cap)].inheritable &= ~CAP_TO_MASK(cap);
    }
    sandbox_detail::check(syscall(SYS_capset, &header, data) == 0, "capset");
}

// What one call printed and returned, and how long it took.
struct Captured {
    int result = 0;
    std::string out, err;
    double seconds = 0;
};

inline std::string slurpFd(int fd)
{
    std::string text;
    char chunk[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, (size_t)n);
    return text;
}

// Calls call with standard output and error sent to files, then restores
// them.  For use in a child.
inline Captured captureCall(const std::function<int()> &call)
{
    using sandbox_detail::check;
    char outName[] = "/tmp/trell_out_XXXXXX", errName[] = "/tmp/trell_err_XXXXXX";
    int outFd = mkstemp(outName), errFd = mkstemp(errName);
    check(outFd >= 0 && errFd >= 0, "mkstemp");
    unlink(outName);
    unlink(errName);
    fflush(stdout);
    fflush(stderr);
    int savedOut = dup(1), savedErr = dup(2);
    dup2(outFd, 1);
    dup2(errFd, 2);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    Captured c;
    c.result = call();
    clock_gettime(CLOCK_MONOTONIC, &end);
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    c.seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    c.out = slurpFd(outFd);
    c.err = slurpFd(errFd);
    close(outFd);
    close(errFd);
    return c;
}

// Writes an executable shell script.
inline void writeScript(const std::string &path, const std::string &body, mode_t mode = 0755)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr || fputs(("#!/bin/sh\n" + body).c_str(), f) < 0 || fclose(f) != 0)
        throw std::runtime_error("cannot write " + path);
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("cannot chmod " + path);
}

#endif

// Shell-command, process and environment services of the OS layer.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../common/pkg_container.h"
#include "osspecific.h"
#include "shell.h"

const char *const EXE_EXT = "";
const char *const DEV_NULL = "/dev/null";

int osRunFormatted(char *buffer, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buffer, size, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= size)
        return -1;
    return system(buffer);
}

int executeProcess(const char *command)
{
    int status = system(command);
    if (status == -1)
        return 255;
    // A command ended by a signal is a failure, never a success: report it as
    // the shell does, 128 + the signal number.
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return (status >> 8) & 0xFF;
}

int copyTree(const char *source, const char *target)
{
    char cmd[OS_SHELL_CMD_SIZE];
    return osRunFormatted(cmd, sizeof cmd, "cp -r %s %s", source, target) == 0 ? 1 : 0;
}

int copyFile(const char *source, const char *target)
{
    char cmd[OS_SHELL_CMD_SIZE];
    return osRunFormatted(cmd, sizeof cmd, "cp %s %s", source, target) == 0 ? 1 : 0;
}

void deleteTree(const char *path)
{
    char cmd[OS_SHELL_CMD_SIZE];
    osRunFormatted(cmd, sizeof cmd, "rm -rf %s", path);
}

int makeDir(const char *path)
{
    char cmd[OS_SHELL_CMD_SIZE];
    return osRunFormatted(cmd, sizeof cmd, "mkdir -p %s", path) == 0 ? 1 : 0;
}

int calldos2unix(const char *path)
{
    char cmd[OS_SHELL_CMD_SIZE];
    return osRunFormatted(cmd, sizeof cmd, "dos2unix %s", path) == 0 ? 1 : 0;
}

void deleteTreeAt(int dirFd, const char *name)
{
    // Only async-signal-safe calls from here on: fork, fchdir, execve,
    // waitpid, _exit.
    static const char *const rmPaths[] = {"/bin/rm", "/usr/bin/rm"};
    pid_t pid = fork();
    if (pid < 0)
        return;
    if (pid == 0) {
        char *const envp[] = {NULL};
        char *argv[] = {(char *)"rm", (char *)"-rf", (char *)"--", (char *)name, NULL};
        // Inside the folder, by its descriptor: no path from "/" is taken.
        if (fchdir(dirFd) != 0)
            _exit(127);
        for (size_t i = 0; i < sizeof rmPaths / sizeof rmPaths[0]; i++)
            execve(rmPaths[i], argv, envp);
        _exit(127);
    }
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }
}

int getPid(void)
{
    return (int)getpid();
}

void setInheritedEnv(const char *name, const char *value)
{
    setenv(name, value, 1);
}

void sleepSec(unsigned int seconds)
{
    sleep(seconds);
}

int getSignatureSize(const char *path)
{
    PkgContainer c;
    int fd = fd_openRegular(path);
    if (fd < 0)
        return 0;
    pkgReadContainer(fd, &c);
    close(fd);
    return (int)c.signatureSize;
}

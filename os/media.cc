// Removable media at /mnt/key, and the text editor.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "osspecific.h"
#include "shell.h"

enum { MOUNT_CMD_SIZE = 256, EDITOR_CMD_SIZE = 512 };

static const char removableMountPoint[] = "/mnt/key";

int mountRemovableMedia(const char *device, char *mountPoint)
{
    char cmd[MOUNT_CMD_SIZE];
    // The mount command's own texts are discarded: the caller gets one message.
    if (osRunFormatted(cmd, sizeof cmd, "mount %s /mnt/key >/dev/null 2>&1", device) != 0) {
        fputs("Failed mounting removable media!\n", stderr);
        return 1;
    }
    memcpy(mountPoint, removableMountPoint, sizeof removableMountPoint);
    return 0;
}

int unmountRemovableMedia(const char *device, const char *mountPoint)
{
    // A medium mounted anywhere else is not ours to unmount.
    if (mountPoint == NULL || strcmp(mountPoint, removableMountPoint) != 0)
        return -1;
    char cmd[MOUNT_CMD_SIZE];
    return osRunFormatted(cmd, sizeof cmd, "umount %s", device);
}

int launchTextEditor(const char *file)
{
    char cmd[EDITOR_CMD_SIZE];
    return osRunFormatted(cmd, sizeof cmd, "vi %s", file);
}

// Start of the Vovidurud front end that an unpacked image may carry.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "../os/osspecific.h"
#include "installer.h"

int startGUI(void)
{
    if (access("./disk1/launchpad.sh", F_OK) != 0) {
        fputs("\nLaunchpad not supported, please use qelpi command line instead.\n", stdout);
        fflush(stdout);
        return -1;
    }
    fputs("\nStarting Vovidurud...\n", stdout);
    // Before the script writes to the same terminal.
    fflush(stdout);
    // Zip archives lose the execute bit; a failure shows in the run's status.
    (void)system("chmod +x disk1/launchpad.sh");
    int status = system("./disk1/launchpad.sh");
    sleepSec(2);
    return status;
}

// The launcher: the run of the package appended to its own file.
#include "installer.h"
#include "trell_version.h"

// The version, for pkgtool info to find in a package's first element.  No
// code reads it (the launcher takes no option of its own: every argument
// goes to the tool); "retain" keeps it through --gc-sections.
__attribute__((used, retain)) static const char version[] =
    TRELL_LAUNCHER_VERSION_MARK TRELL_VERSION;
// For pkgtool sign: this launcher finds its directory in front of a
// signature block.
__attribute__((used, retain)) static const char signatureSlot[] = PKG_SIGNATURE_SLOT_MARK;

int main(int argc, char **argv)
{
    return runPackage(NULL, argc, argv);
}

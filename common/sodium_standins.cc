// What the parts of libsodium that the static launchers compile need from
// the rest of the library, which they leave out: its misuse handler, called
// on impossible arguments, here as the library's default does it.
#include <stdlib.h>

extern "C" void sodium_misuse(void)
{
    abort();
}

// libcurl loaded at run time, so that the layer builds and runs on hosts
// without it; only the uploads then fail.
#include "curl_library.h"

#include <dlfcn.h>

// The unversioned name first, though only curl's development package installs
// it; then the run-time library's own, which is all most servers carry.
static const char *const curlLibraryNames[] = {"libcurl.so", "libcurl.so.4"};

void *curlLoad(const char **error)
{
    *error = "";
    for (size_t i = 0; i < sizeof curlLibraryNames / sizeof curlLibraryNames[0]; i++) {
        void *library = dlopen(curlLibraryNames[i], RTLD_LAZY);
        if (library != NULL)
            return library;
        const char *text = dlerror();
        *error = text != NULL ? text : "";
    }
    return NULL;
}

// dlerror() is cleared before each look-up: not every loader drops an unread
// text on a later successful call, and a stale one would read as a missing
// symbol.  The symbol's value is not tested: only dlerror() tells.
int curlResolve(void *library, const char *const *names, void **entries, size_t count,
                const char **error)
{
    for (size_t i = 0; i < count; i++) {
        dlerror();
        entries[i] = dlsym(library, names[i]);
        const char *text = dlerror();
        if (text != NULL) {
            *error = text;
            return -1;
        }
    }
    return 0;
}

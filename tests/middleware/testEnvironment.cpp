/* Process set-up for the middleware tests, before any test runs:
 * - OpenMAMA reads the tests' own mama.properties, so a property a test does
 *   not set is really absent;
 * - the tarnixmsg payload plug-in is loaded from the build tree, so that
 *   OpenMAMA's load by library name finds it (mama_open needs a payload). */
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace
{

const bool kEnvironmentSet = []
{
    setenv("WOMBAT_PATH", TARNIX_TEST_ETC, 1);
    if (dlopen(TARNIX_PAYLOAD_LIBRARY, RTLD_NOW | RTLD_GLOBAL) == nullptr)
        std::fprintf(stderr, "cannot load %s: %s\n", TARNIX_PAYLOAD_LIBRARY, dlerror());
    return true;
}();

} // namespace

/* OpenMAMA's mamaMsg_detach gives the detached message a copy of its payload
 * and never frees the payload it decoded the message into; LeakSanitizer
 * would report that OpenMAMA allocation for every test that detaches. */
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:mamaMsgImpl_setMsgBuffer\n";
}

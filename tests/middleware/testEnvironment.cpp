/* Points OpenMAMA at the tests' own mama.properties before anything loads
 * it, so a property a test does not set is really absent. */
#include <cstdlib>

namespace {

const bool kEnvironmentSet = [] {
    setenv("WOMBAT_PATH", TARNIX_TEST_ETC, 1);
    return true;
}();

}  // namespace

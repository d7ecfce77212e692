// Linked into every test program: points WK_BIN_DIR and WK_LIB_DIR at this build's
// bin/ and lib/ folders unless the caller set them, so tests find the programs and
// libraries they start whether run through ctest or directly.
#include <cstdlib>

namespace {

struct TestEnvironment {
    TestEnvironment() {
        ::setenv("WK_BIN_DIR", WK_TEST_BIN_DIR, 0);
        ::setenv("WK_LIB_DIR", WK_TEST_LIB_DIR, 0);
    }
};

const TestEnvironment test_environment;

}  // namespace

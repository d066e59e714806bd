// Linked into GoogleTest programs: a misuse of a recording fake fails the running test.
#include "tests/support/call_log.h"

#include <gtest/gtest.h>

namespace {

void failTheTest(const std::string& what) {
    ADD_FAILURE() << "misuse of a recording fake: " << what;
}

// Installed before main, so no test can run without it.
const bool installed = (setMisuseHook(failTheTest), true);

} // namespace

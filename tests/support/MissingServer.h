#pragma once
// A test that needs a server which is not installed (nginx, tinyproxy, aiosmtpd) fails, so that
// `make test` never passes without it. Only `make check`, which sets
// TARNWICK_ALLOW_MISSING_SERVERS=1, skips it, and the skip says why.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace tw::test {

inline bool missingServersAllowed() {
    const char* value = std::getenv("TARNWICK_ALLOW_MISSING_SERVERS");
    return value != nullptr && std::string(value) == "1";
}

/// True when the system interpreter, which the tests start servers with, can import `module`
/// (aiosmtpd comes as a Debian package).
inline bool pythonModuleAvailable(const std::string& module) {
    const std::string python =
        ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const std::string command = python + " -c 'import " + module + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

} // namespace tw::test

/// Use in SetUp or SetUpTestSuite: fails, or under `make check` skips, when `present` is false.
#define TW_REQUIRE_SERVER(present, name)                                                           \
    do {                                                                                           \
        if (!(present)) {                                                                          \
            if (::tw::test::missingServersAllowed()) {                                             \
                GTEST_SKIP() << name                                                               \
                             << " is not installed (skipped: TARNWICK_ALLOW_MISSING_SERVERS=1)";   \
            }                                                                                      \
            GTEST_FAIL() << name                                                                   \
                         << " is not installed: `scripts/install-deps.sh test` installs it "       \
                            "(only `make check` skips this test)";                                 \
        }                                                                                          \
    } while (false)

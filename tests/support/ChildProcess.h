#pragma once

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::test {

/// Runs `body` in a forked child process and returns what it returned (its exit code, 0 to
/// 255), or -1 when the child could not run or died. Keep assertions out of `body`: report
/// through the returned code.
template <typename Body>
int runInChild(Body body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        int code = 255;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace tw::test

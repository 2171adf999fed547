#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // Servers in tests may close sockets under us; a write must fail, not kill the run.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "core/util/Cp932.h"
#include "core/watch/HostPacing.h"
#include "support/FakeClock.h"
#include "support/LocalTime.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

TEST(HostPacingTest, EachHostHasItsOwnGapAndLoopbackIsExempt) {
    test::FakeClock clock(1'000'000);
    HostPacing pacing(clock, "");
    const auto start = clock.steadyNow();
    pacing.noteRequest("http://User@A.Example:8080/one");
    EXPECT_EQ(pacing.freeAt("https://a.example./two?x"), start + 1000ms);
    EXPECT_LE(pacing.freeAt("http://b.example/"), start) << "another host is free";
    clock.advance(999ms);
    EXPECT_GT(pacing.freeAt("http://a.example/"), clock.steadyNow());
    clock.advance(1ms);
    EXPECT_LE(pacing.freeAt("http://a.example/"), clock.steadyNow());

    for (const char* local :
         {"http://127.0.0.1:81/", "http://127.9.8.7/", "http://[::1]:80/", "http://localhost/",
          "http://LOCALHOST:8080/", "http://a.localhost/"}) {
        pacing.noteRequest(local);
        EXPECT_LE(pacing.freeAt(local), clock.steadyNow()) << local;
    }
    // Names without a dot and look-alikes are other machines.
    for (const char* other : {"http://printer/", "http://127.0.0.1.example/", "http://128.0.0.1/",
                              "http://localhost.example/"}) {
        pacing.noteRequest(other);
        EXPECT_GT(pacing.freeAt(other), clock.steadyNow()) << other;
    }
    pacing.setGap(0ms);
    EXPECT_LE(pacing.freeAt("http://printer/"), clock.steadyNow()) << "a zero gap turns it off";
}

TEST(HostPacingTest, AWaitIsCappedAtSixHoursAndKeptAcrossARestart) {
    TempFolder temp;
    const std::string folder = temp.path();
    test::FakeClock clock(1'000'000);
    {
        HostPacing pacing(clock, folder);
        EXPECT_EQ(pacing.hold("http://busy.example/a", 120), 1'000'120);
        EXPECT_EQ(pacing.hold("http://huge.example/", 999'999'999), 1'000'000 + 6 * 3600);
        EXPECT_EQ(pacing.heldUntil("https://BUSY.example/other"), 1'000'120);
        EXPECT_EQ(pacing.heldUntil("http://free.example/"), 0);
    }
    struct stat info {};
    ASSERT_EQ(::stat((folder + "/hostwaits").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    HostPacing later(clock, folder);
    later.load();
    EXPECT_EQ(later.heldUntil("http://busy.example/"), 1'000'120);
    EXPECT_EQ(later.heldUntil("http://huge.example/"), 1'000'000 + 6 * 3600);
    clock.advance(120);
    EXPECT_EQ(later.heldUntil("http://busy.example/"), 0) << "the wait is over";
}

TEST(HostPacingTest, BadContentOfTheFileIsIgnored) {
    TempFolder temp;
    const std::string folder = temp.path();
    test::FakeClock clock(1'000'000);
    TempFolder::writeFile(temp / "hostwaits", "good.example\t1000060\n"
                                              "\t1000060\nno-tab 1000060\nUPPER.example\t1000060\n"
                                              "minus.example\t-5\nword.example\tsoon\n"
                                              "far.example\t99999999999\n" +
                                                  std::string(300, 'x') +
                                                  "\t1000060\n\n\x01\x02garbage");
    HostPacing pacing(clock, folder);
    pacing.load();
    EXPECT_EQ(pacing.heldUntil("http://good.example/"), 1'000'060);
    EXPECT_EQ(pacing.heldUntil("http://upper.example/"), 0);
    EXPECT_EQ(pacing.heldUntil("http://minus.example/"), 0);
    EXPECT_EQ(pacing.heldUntil("http://word.example/"), 0);
    EXPECT_EQ(pacing.heldUntil("http://far.example/"), 1'000'000 + 6 * 3600) << "capped";
}

TEST(HostPacingTest, TheBusyTextNamesTheMinuteAndTheDateOfAnotherDay) {
    const test::ZoneGuard zone("Asia/Tokyo");
    const std::time_t now = test::localTime(2026, 12, 8, 15, 0);
    EXPECT_EQ(hostBusyText(now + 30 * 60 + 20, now),
              jp("サーバーが混雑しています（15:31以降に再確認）"));
    EXPECT_EQ(hostBusyText(test::localTime(2026, 12, 9, 1, 5), now),
              jp("サーバーが混雑しています（12/9 01:05以降に再確認）"));
}

} // namespace
} // namespace tw

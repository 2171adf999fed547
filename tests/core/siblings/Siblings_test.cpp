#include "core/app/CHLPCall.h"
#include "core/app/CTarnwickApp.h"
#include "core/app/Siblings.h"
#include "core/platform/DesktopShell.h"
#include "core/platform/MessageBus.h"
#include "core/platform/RegistryKey.h"
#include "core/util/Cp932.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tw;
using namespace std::chrono_literals;

namespace {

constexpr std::time_t kStart = 1'700'000'000;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void writeScript(const std::string& path, const std::string& body) {
    writeAll(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

/// Records the broadcast names that reach a listener on the test's own bus folder.
class BusListener {
public:
    explicit BusListener(const std::string& folder) : m_bus(folder) {
        for (const char* name : {Siblings::kTarnwickToHelper, Siblings::kBrindleToHelper,
                                 Siblings::kHelperToBrindle}) {
            m_bus.registerMessage(name, [this](const std::string& got) {
                std::lock_guard lock(m_mutex);
                m_names.push_back(got);
            });
        }
        m_bus.start();
    }
    std::vector<std::string> names() {
        std::lock_guard lock(m_mutex);
        return m_names;
    }
    bool waitFor(const std::string& name) {
        return ::waitFor([&] {
            const auto got = names();
            return std::find(got.begin(), got.end(), name) != got.end();
        });
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_names;
    MessageBus m_bus; // last: its receiver thread ends before the names go
};

/// A temporary world: the shared keys, the data folder, the bus folder, a "Position" folder for
/// a fake helper and a fake xdg-open first in PATH.
class SiblingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-siblings-XXXXXX";
        m_root = ::mkdtemp(pattern);
        for (const char* sub : {"config", "data", "bus", "bin", "helper", "downloader"}) {
            fs::create_directories(m_root + "/" + sub);
        }
        ::chmod((m_root + "/bus").c_str(), 0700);
        m_config = m_root + "/config";
        m_data = m_root + "/data";
        m_helper = m_root + "/helper";
        writeScript(m_root + "/bin/xdg-open", "printf '%s\\n' \"$1\" >> '" + m_root + "/opened'\n");
        m_oldPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        ::setenv("PATH", (m_root + "/bin:" + m_oldPath).c_str(), 1);

        m_own =
            std::make_unique<RegistryKey>("Software\\Orvane\\Tarnwick", false, nullptr, m_config);
        m_quaylink =
            std::make_unique<RegistryKey>("Software\\Orvane\\brlHelper", false, nullptr, m_config);
        m_location =
            std::make_unique<RegistryKey>("Software\\Orvane\\Location", false, nullptr, m_config);
        openBrindle(false);
        m_listener = std::make_unique<BusListener>(m_root + "/bus");
    }

    void TearDown() override {
        m_listener.reset();
        ::setenv("PATH", m_oldPath.c_str(), 1);
        fs::remove_all(m_root);
    }

    /// The downloader's key is read-only: it exists only when the downloader made it.
    void openBrindle(bool installed) {
        if (installed) {
            fs::create_directories(m_config + "/Orvane/Brindle");
        }
        m_brindle =
            std::make_unique<RegistryKey>("Software\\Orvane\\Brindle", true, nullptr, m_config);
    }

    SiblingKeys keys() { return {*m_own, *m_quaylink, *m_brindle, *m_location}; }
    Siblings siblings() {
        return Siblings(keys(), m_shell, m_prompter, m_data, m_root + "/bus", m_clock);
    }

    /// A helper like the real one: on start it takes this program's hand-over (reads and
    /// deletes the file, clears "Identifier"), and it records that it ran.
    void installHelper(const std::string& folder) {
        const std::string own = m_config + "/Orvane/Tarnwick";
        writeScript(folder + "/Quaylink", "echo start >> '" + m_root +
                                              "/helper.log'\n"
                                              "id=$(cat '" +
                                              own +
                                              "/Identifier' 2>/dev/null)\n"
                                              "if [ -n \"$id\" ] && [ -f \"$id\" ]; then\n"
                                              "  cat \"$id\" > '" +
                                              m_root +
                                              "/taken'\n"
                                              "  rm -f \"$id\"\n"
                                              "  printf '' > '" +
                                              own + "/.clear' && mv '" + own + "/.clear' '" + own +
                                              "/Identifier'\n"
                                              "fi\n"
                                              "echo done >> '" +
                                              m_root + "/helper.log'\n");
    }
    void setHelper(const std::string& version, const std::string& state,
                   const std::string& position) {
        if (!version.empty()) {
            m_quaylink->writeString("Version", version);
        }
        if (!state.empty()) {
            m_quaylink->writeString("State", state);
        }
        if (!position.empty()) {
            m_quaylink->writeString("Position", position);
        }
    }
    bool helperDone() { return readAll(m_root + "/helper.log").find("done") != std::string::npos; }
    bool helperStarted() { return fs::exists(m_root + "/helper.log"); }
    std::string opened() { return readAll(m_root + "/opened"); }

    /// A hand-over file as the bridge writes it.
    std::string handOverFile(const std::string& name, const FetchSettings& record) {
        const std::string path = m_data + "/" + name;
        EXPECT_EQ(const_cast<FetchSettings&>(record).writeFile(path, "w"), 1);
        return path;
    }
    static FetchSettings page(const std::string& address) {
        FetchSettings record;
        record.targetUrl = address;
        record.name = "page";
        return record;
    }

    std::string m_root, m_config, m_data, m_helper, m_oldPath;
    std::unique_ptr<RegistryKey> m_own, m_quaylink, m_brindle, m_location;
    DesktopShell m_shell;
    test::FakePrompter m_prompter;
    test::FakeClock m_clock{kStart};
    std::unique_ptr<BusListener> m_listener;
};

TEST_F(SiblingsTest, HelperVersionNumber) {
    EXPECT_EQ(siblings().quaylinkVersion(), 0) << "never installed";
    setHelper("1.50", "", "");
    EXPECT_EQ(siblings().quaylinkVersion(), 150);
    setHelper("1.5", "", "");
    EXPECT_EQ(siblings().quaylinkVersion(), 15);
}

TEST_F(SiblingsTest, NewHelperRunningGetsTheSlotAndTheMessage) {
    setHelper("1.50", "opened", m_helper);
    installHelper(m_helper);
    const std::string path = handOverFile("WatchToHelp", page("http://example.test/a"));

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);

    EXPECT_TRUE(m_listener->waitFor(Siblings::kTarnwickToHelper));
    EXPECT_EQ(m_own->readString("Identifier"), path);
    EXPECT_EQ(readAll(m_config + "/Orvane/Tarnwick/IdTime"), std::string("\x00\xf1\x53\x65", 4));
    EXPECT_TRUE(fs::exists(path)) << "the file is the helper's to take";
    EXPECT_FALSE(helperStarted()) << "a running helper is not started again";
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(SiblingsTest, NewHelperClosedIsLaunchedThenTold) {
    setHelper("1.50", "closed", m_helper);
    installHelper(m_helper);
    const std::string path = handOverFile("WatchToHelp", page("http://example.test/b"));

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);

    EXPECT_TRUE(m_listener->waitFor(Siblings::kTarnwickToHelper));
    ASSERT_TRUE(waitFor([&] { return helperDone(); }));
    FetchSettings taken;
    EXPECT_EQ(taken.fromText(readAll(m_root + "/taken")), 1);
    EXPECT_EQ(taken.targetUrl, "http://example.test/b");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(m_own->readString("Identifier"), "");
    EXPECT_EQ(opened(), "");
}

TEST_F(SiblingsTest, ClaimYoungerThanAMinuteIsBusyOlderIsOverwritten) {
    setHelper("1.50", "opened", m_helper);
    Siblings link = siblings();
    const std::string first = handOverFile("WatchToHelp", page("http://example.test/1"));
    const std::string second = handOverFile("WatchToHelp_1", page("http://example.test/2"));

    ASSERT_EQ(link.handOverToQuaylink(first), 0);
    m_clock.advance(59);
    EXPECT_EQ(link.handOverToQuaylink(second), 1);
    EXPECT_EQ(m_own->readString("Identifier"), first) << "nothing written while busy";

    m_clock.advance(1);
    EXPECT_EQ(link.handOverToQuaylink(second), 0);
    EXPECT_EQ(m_own->readString("Identifier"), second);
    unsigned char stamp[4];
    ASSERT_EQ(m_own->readBinary("IdTime", stamp, 4), 4u);
    EXPECT_EQ(Siblings::decodeIdTime(stamp), static_cast<std::uint32_t>(kStart + 60));

    // Once the helper emptied the slot, it is free at once.
    m_own->writeString("Identifier", "");
    EXPECT_EQ(link.handOverToQuaylink(first), 0);
}

TEST_F(SiblingsTest, ClaimDatedInTheFutureDoesNotBlock) {
    setHelper("1.50", "opened", m_helper);
    const std::string path = handOverFile("WatchToHelp", page("http://example.test/f"));
    m_own->writeString("Identifier", m_data + "/WatchToHelp_9");
    unsigned char later[4];
    Siblings::encodeIdTime(kStart + 3600, later);
    m_own->writeBinary("IdTime", later, 4);

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);
    EXPECT_EQ(m_own->readString("Identifier"), path);
}

TEST_F(SiblingsTest, UnusableOwnKeyIsReported) {
    RegistryKey broken("Software\\..\\Tarnwick", false, nullptr, m_config);
    ASSERT_FALSE(broken.opened());
    Siblings link({broken, *m_quaylink, *m_brindle, *m_location}, m_shell, m_prompter, m_data,
                  m_root + "/bus", m_clock);
    EXPECT_EQ(link.handOverToQuaylink(m_data + "/WatchToHelp"), -1);
    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>{jp(Siblings::kRegistryBroken)});
}

TEST_F(SiblingsTest, NoHelperAtAllOpensTheAddressAndEmptiesTheLocationSlot) {
    // Version 0: nothing installed; the record carries form data, so the 1.50 message comes.
    FetchSettings record = page("http://example.test/form");
    record.formData = "q=1";
    const std::string path = handOverFile("WatchToHelp", record);

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);

    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>{jp(Siblings::kNeedHelper150)});
    EXPECT_FALSE(fs::exists(path)) << "taken back and deleted";
    EXPECT_EQ(m_own->readString("Identifier"), "");
    EXPECT_EQ(m_location->readString("URL"), "") << "no helper will ever take it";
    ASSERT_TRUE(waitFor([&] { return !opened().empty(); }));
    EXPECT_EQ(opened(), "http://example.test/form\n");
    EXPECT_TRUE(m_listener->names().empty());

    // The next display finds the slot free again.
    EXPECT_EQ(siblings().putLocationUrl("http://example.test/next"), 0);
}

TEST_F(SiblingsTest, NewHelperThatCannotBeLaunchedFallsBackToTheBrowser) {
    setHelper("1.50", "closed", m_root + "/nowhere");
    const std::string path = handOverFile("WatchToHelp", page("http://example.test/c"));

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);
    ASSERT_TRUE(waitFor([&] { return !opened().empty(); }));
    EXPECT_EQ(opened(), "http://example.test/c\n");
    EXPECT_TRUE(m_prompter.messages().empty());
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(SiblingsTest, NoBrowserEitherFails) {
    ::setenv("PATH", (m_root + "/config").c_str(), 1);
    const std::string path = handOverFile("WatchToHelp", page("http://example.test/d"));
    EXPECT_EQ(siblings().handOverToQuaylink(path), -1);
}

TEST_F(SiblingsTest, OldRunningHelperGetsTheAddress) {
    // "1.5" is 15, not 150: the old path although the text looks newer.
    setHelper("1.5", "opened", m_helper);
    installHelper(m_helper);
    FetchSettings record = page("http://example.test/old");
    record.referer = "http://example.test/";
    const std::string path = handOverFile("WatchToHelp", record);

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);

    EXPECT_TRUE(m_listener->waitFor(Siblings::kBrindleToHelper));
    EXPECT_EQ(m_location->readString("URL"), "http://example.test/old");
    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>{jp(Siblings::kNeedHelper150)});
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(m_own->readString("Identifier"), "");
    EXPECT_FALSE(helperStarted());
    EXPECT_EQ(opened(), "");
}

TEST_F(SiblingsTest, OldClosedHelperIsLaunched) {
    setHelper("1.5", "closed", m_helper);
    installHelper(m_helper);
    const std::string path = handOverFile("WatchToHelp", page("http://example.test/o"));

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);

    EXPECT_TRUE(m_listener->waitFor(Siblings::kBrindleToHelper));
    EXPECT_TRUE(waitFor([&] { return helperDone(); }));
    EXPECT_EQ(m_location->readString("URL"), "http://example.test/o");
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(SiblingsTest, OccupiedLocationSlotStartsTheOldHelperAndKeepsTheSlot) {
    setHelper("1.5", "opened", m_helper);
    installHelper(m_helper);
    m_location->writeString("URL", "http://example.test/waiting");
    const std::string path = handOverFile("WatchToHelp", page("http://example.test/mine"));

    EXPECT_EQ(siblings().handOverToQuaylink(path), 0);

    EXPECT_TRUE(m_listener->waitFor(Siblings::kBrindleToHelper));
    EXPECT_TRUE(waitFor([&] { return helperDone(); }));
    EXPECT_EQ(m_location->readString("URL"), "http://example.test/waiting");
}

TEST_F(SiblingsTest, PickUpHandOver) {
    Siblings link = siblings();
    // Present: the record comes back, the file and the slot are gone.
    FetchSettings record = page("http://example.test/new");
    record.cookie = "a=b";
    const std::string path = handOverFile("FromHelper", record);
    m_quaylink->writeString("Identifier", path);
    const auto got = link.pickUpHandOver();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, record);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(m_quaylink->readString("Identifier"), "");

    // Missing file: slot cleared, nothing to show.
    m_quaylink->writeString("Identifier", m_data + "/gone");
    EXPECT_FALSE(link.pickUpHandOver().has_value());
    EXPECT_EQ(m_quaylink->readString("Identifier"), "");

    // Unreadable: a folder, and a file without a whole record. Neither is removed.
    fs::create_directories(m_data + "/folder");
    m_quaylink->writeString("Identifier", m_data + "/folder");
    EXPECT_FALSE(link.pickUpHandOver().has_value());
    EXPECT_TRUE(fs::is_directory(m_data + "/folder"));
    writeAll(m_data + "/broken", "\t//{{TOP\r\nTarg: http://example.test/\r\n");
    m_quaylink->writeString("Identifier", m_data + "/broken");
    EXPECT_FALSE(link.pickUpHandOver().has_value());
    EXPECT_TRUE(fs::exists(m_data + "/broken"));
    EXPECT_EQ(m_quaylink->readString("Identifier"), "");

    // Empty slot.
    EXPECT_FALSE(link.pickUpHandOver().has_value());
}

TEST_F(SiblingsTest, HandOverNamesAreThoseOfTheProtocolOnly) {
    const std::vector<std::string> taken = {
        "WatchToHelp", "WatchToHelp_1", "WatchToHelp_12", "FromHelper", "q", "Q2"};
    for (const std::string& name : taken) {
        EXPECT_TRUE(Siblings::isHandOverName(name)) << name;
    }
    // The program's files, those of a link folder, stored copies, and near misses.
    const std::vector<std::string> refused = {"",
                                              "WatchList.twl",
                                              "brl.hlk",
                                              "tmp.hlk",
                                              "dialog.lock",
                                              "append.lock",
                                              "TARNWICK.INI",
                                              "tarnwick.conf",
                                              "WatchList.twl.damaged",
                                              "temp_1.tmp",
                                              ".tarnwick",
                                              "comp.",
                                              "_1",
                                              "WatchToHelp_",
                                              "WatchToHelp_1a",
                                              "WatchToHelp_1_2",
                                              "Watch-To",
                                              "Watch To",
                                              "..",
                                              "WatchToHelp\\x",
                                              jp("受け渡し")};
    for (const std::string& name : refused) {
        EXPECT_FALSE(Siblings::isHandOverName(name)) << name;
    }
}

TEST_F(SiblingsTest, OnlyAHandOverFileIsReadAndNothingElseIsDeleted) {
    Siblings link = siblings();
    const FetchSettings record = page("http://example.test/new");
    // The program's own list, holding what reads as a whole record.
    const std::string list = m_data + "/WatchList.twl";
    writeAll(list, record.toText());
    const std::string linkList = m_root + "/downloader/brl.hlk";
    writeAll(linkList, record.toText());
    const std::string symlink = m_helper + "/WatchToHelp";
    fs::create_symlink(list, symlink);
    const std::string hardLink = m_helper + "/FromHelper";
    fs::create_hard_link(list, hardLink);
    const std::string fifo = m_helper + "/WatchToHelp_1";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Reached through a symbolic link to its folder, the name is still not a hand-over's.
    fs::create_directory_symlink(m_data, m_helper + "/data");

    for (const std::string& path :
         {list, linkList, symlink, hardLink, fifo, m_helper + "/data/WatchList.twl",
          m_helper + "/../data/WatchList.twl", std::string("WatchToHelp_3"), m_helper}) {
        m_quaylink->writeString("Identifier", path);
        EXPECT_FALSE(link.pickUpHandOver().has_value()) << path;
        EXPECT_EQ(m_quaylink->readString("Identifier"), "");
    }
    EXPECT_EQ(readAll(list), record.toText());
    EXPECT_EQ(fs::hard_link_count(list), 2u);
    EXPECT_TRUE(fs::is_symlink(symlink));
    EXPECT_EQ(readAll(linkList), record.toText());
    EXPECT_TRUE(fs::is_fifo(fifo));

    // Another user's file (only root can give one away).
    const std::string foreign = m_helper + "/WatchToHelp_2";
    writeAll(foreign, record.toText());
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        m_quaylink->writeString("Identifier", foreign);
        EXPECT_FALSE(link.pickUpHandOver().has_value());
        EXPECT_TRUE(fs::exists(foreign));
        ASSERT_EQ(::chown(foreign.c_str(), 0, 0), 0);
    }

    // A proper one is taken: read, then deleted.
    m_quaylink->writeString("Identifier", foreign);
    const auto got = link.pickUpHandOver();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, record);
    EXPECT_FALSE(fs::exists(foreign));
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(SiblingsTest, HandOverOverTheCapIsToldAndLeftUnread) {
    Siblings link = siblings();
    const std::string text = page("http://example.test/large").toText();
    // Exactly at the cap: the record and a long line without a key.
    const std::string atCap =
        text + std::string(Siblings::kMaxHandOverBytes - text.size() - 1, 'x') + "\n";
    const std::string path = m_helper + "/WatchToHelp";
    writeAll(path, atCap);
    m_quaylink->writeString("Identifier", path);
    const auto got = link.pickUpHandOver();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->targetUrl, "http://example.test/large");
    EXPECT_FALSE(fs::exists(path));

    // One byte more: told, and left as it is.
    writeAll(path, atCap + "x");
    m_quaylink->writeString("Identifier", path);
    EXPECT_FALSE(link.pickUpHandOver().has_value());
    EXPECT_EQ(readAll(path), atCap + "x");
    const std::string told = jp(Siblings::kHandOverTooLarge) + "\n" + path;
    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>{told});

    // Refused by its size alone: 300 MB of a sparse file are never read.
    const std::string huge = m_helper + "/WatchToHelp_1";
    writeAll(huge, text);
    fs::resize_file(huge, 300u * 1024 * 1024);
    m_quaylink->writeString("Identifier", huge);
    EXPECT_FALSE(link.pickUpHandOver().has_value());
    EXPECT_TRUE(fs::exists(huge));
    EXPECT_EQ(m_prompter.messages().size(), 2u);
}

TEST_F(SiblingsTest, EmptySlotIsNotWrittenAgain) {
    Siblings link = siblings();
    const std::string value = m_config + "/Orvane/brlHelper/Identifier";
    // Missing: stays missing.
    EXPECT_FALSE(link.pickUpHandOver().has_value());
    EXPECT_FALSE(fs::exists(value));

    // Empty: every write would put a new file in its place.
    m_quaylink->writeString("Identifier", "");
    struct stat before {};
    ASSERT_EQ(::stat(value.c_str(), &before), 0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(link.pickUpHandOver().has_value());
    }
    struct stat after {};
    ASSERT_EQ(::stat(value.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    // Too long to be a path, so it reads as empty: cleared all the same.
    writeAll(value, std::string(400, 'a'));
    EXPECT_FALSE(link.pickUpHandOver().has_value());
    EXPECT_EQ(readAll(value), "");
}

TEST_F(SiblingsTest, MenuCommandsStartOnlyAClosedSibling) {
    // Downloader never installed: nothing launched, no message, still told.
    siblings().startBrindle();
    EXPECT_TRUE(m_listener->waitFor(Siblings::kHelperToBrindle));
    EXPECT_TRUE(m_prompter.messages().empty());

    // Installed but its program is missing: the installation message, and still told.
    openBrindle(true);
    writeAll(m_config + "/Orvane/Brindle/State", "closed");
    writeAll(m_config + "/Orvane/Brindle/Position", m_root + "/downloader");
    Siblings withBrindle = siblings();
    EXPECT_EQ(withBrindle.launchBrindle(), 1);
    withBrindle.startBrindle();
    EXPECT_EQ(m_prompter.messages(), std::vector<std::string>{jp(Siblings::kBrindleNotInstalled)});

    // A closed helper is started from its folder.
    setHelper("", "closed", m_helper);
    installHelper(m_helper);
    withBrindle.startQuaylink();
    EXPECT_TRUE(m_listener->waitFor(Siblings::kBrindleToHelper));
    EXPECT_TRUE(waitFor([&] { return helperDone(); }));
    EXPECT_EQ(m_prompter.messages().size(), 1u);
}

TEST_F(SiblingsTest, HelperWithoutPositionIsLookedForInTheDataFolder) {
    Siblings link = siblings();
    EXPECT_EQ(link.launchQuaylink(), 1);
    installHelper(m_data);
    EXPECT_EQ(link.launchQuaylink(), 0);
    EXPECT_TRUE(waitFor([&] { return helperDone(); }));
}

TEST_F(SiblingsTest, BridgeShowsAPageInTheBrowserWhenNoHelperIsInstalled) {
    {
        CTarnwickApp app(m_prompter, AppPaths{m_data, m_config, m_root + "/bus"});
        CHLPCall bridge(app, m_shell);
        bridge.display(page("http://example.test/shown"));
        // Stopping right away still hands the page over.
    }
    ASSERT_TRUE(waitFor([&] { return !opened().empty(); }));
    EXPECT_EQ(opened(), "http://example.test/shown\n");
    EXPECT_FALSE(fs::exists(m_data + "/WatchToHelp"));
    EXPECT_TRUE(m_prompter.messages().empty());
}

} // namespace

#include "core/platform/RegistryKey.h"
#include "core/util/Cp932.h"
#include "support/ChildProcess.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {
namespace {

using test::TempFolder;

class RegistryKeyTest : public ::testing::Test {
protected:
    TempFolder m_root;
    test::FakePrompter m_prompter;
};

TEST_F(RegistryKeyTest, KeyPathsMapToFoldersBelowTheRoot) {
    EXPECT_EQ(RegistryKey::folderFor("Software\\Orvane\\Tarnwick", "/c"), "/c/Orvane/Tarnwick");
    EXPECT_EQ(RegistryKey::folderFor("Software\\Orvane\\AutoAnn\\Tarnwick", "/c"),
              "/c/Orvane/AutoAnn/Tarnwick");
    // Anything that could leave the store or name no key is refused.
    for (const char* bad :
         {"Orvane\\Tarnwick", "Software\\", "Software\\Orvane\\\\X",
          "Software\\Orvane\\..\\..\\etc", "Software\\Orvane\\a/b", "Software\\Orvane\\."}) {
        EXPECT_EQ(RegistryKey::folderFor(bad, "/c"), "") << bad;
    }
    RegistryKey key("Software\\..\\x", false, &m_prompter, m_root.path());
    EXPECT_FALSE(key.opened());
    EXPECT_EQ(m_prompter.messages().size(), 1u);
}

TEST_F(RegistryKeyTest, ValuesAreFilesHoldingTheirBytesExactly) {
    RegistryKey key("Software\\Orvane\\Tarnwick", false, &m_prompter, m_root.path());
    ASSERT_TRUE(key.opened());
    const std::string folder = m_root / "Orvane/Tarnwick";
    EXPECT_EQ(key.folder(), folder);

    EXPECT_EQ(key.writeString("State", "opened"), 0);
    EXPECT_EQ(TempFolder::readFile(folder + "/State"), "opened");
    EXPECT_EQ(key.readString("State"), "opened");

    const unsigned char stamp[4] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(key.writeBinary("IdTime", stamp, sizeof stamp), 0);
    EXPECT_EQ(TempFolder::readFile(folder + "/IdTime"), "\x78\x56\x34\x12");
    unsigned char back[8] = {};
    EXPECT_EQ(key.readBinary("IdTime", back, sizeof back), 4u);
    EXPECT_EQ(std::memcmp(back, stamp, 4), 0);

    // Overwriting leaves no temporary file behind.
    EXPECT_EQ(key.writeString("State", ""), 0);
    EXPECT_EQ(key.readString("State"), "");
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++files;
    }
    EXPECT_EQ(files, 2);
    EXPECT_TRUE(m_prompter.messages().empty());
}

TEST_F(RegistryKeyTest, MissingAndOversizedValuesReadAsNothing) {
    RegistryKey key("Software\\Orvane\\Tarnwick", false, nullptr, m_root.path());
    unsigned char buffer[4];
    EXPECT_EQ(key.readString("Nothing"), "");
    EXPECT_EQ(key.readBinary("Nothing", buffer, sizeof buffer), 0u);

    // The string buffer holds 259 bytes and the terminating zero.
    const std::string fits(259, 'a');
    ASSERT_EQ(key.writeString("Identifier", fits), 0);
    EXPECT_EQ(key.readString("Identifier"), fits);
    ASSERT_EQ(key.writeString("Identifier", fits + "b"), 0);
    EXPECT_EQ(key.readString("Identifier"), "");

    ASSERT_EQ(key.writeBinary("IdTime", "12345", 5), 0);
    EXPECT_EQ(key.readBinary("IdTime", buffer, sizeof buffer), 0u);

    // A value stored with its terminating zero by another program reads the same.
    TempFolder::writeFile(key.folder() + "/Version", std::string("1.50\0", 5));
    EXPECT_EQ(key.readString("Version"), "1.50");

    // Value names never reach outside the key.
    EXPECT_EQ(key.writeString("../Escape", "x"), -1);
    EXPECT_EQ(key.writeString("", "x"), -1);
    EXPECT_FALSE(std::filesystem::exists(m_root / "Orvane/Escape"));
}

TEST_F(RegistryKeyTest, ValuesThatAreNoRegularFileReadAsNothingAndNeverHang) {
    RegistryKey key("Software\\Orvane\\Brindle", false, nullptr, m_root.path());
    ASSERT_TRUE(key.opened());
    ASSERT_EQ(::mkfifo((key.folder() + "/State").c_str(), 0600), 0);
    std::filesystem::create_directory(key.folder() + "/Position");
    TempFolder::writeFile(m_root / "elsewhere", "closed");
    std::filesystem::create_symlink(m_root / "elsewhere", key.folder() + "/Version");
    // In a child with an alarm as a safety net: a read that waits for a writer kills it.
    EXPECT_EQ(test::runInChild([&] {
                  ::alarm(30);
                  char buffer[16];
                  const bool empty = key.readString("State").empty() &&
                                     key.readBinary("State", buffer, sizeof buffer) == 0 &&
                                     key.readString("Position").empty() &&
                                     key.readString("Version").empty();
                  return empty ? 0 : 1;
              }),
              0);
    // Writing replaces the odd entry with a proper value.
    EXPECT_EQ(key.writeString("State", "opened"), 0);
    EXPECT_EQ(key.readString("State"), "opened");
}

TEST_F(RegistryKeyTest, ReadOnlyKeyIsNeverCreatedNorWritten) {
    RegistryKey missing("Software\\Orvane\\Brindle", true, &m_prompter, m_root.path());
    EXPECT_FALSE(missing.opened());
    EXPECT_EQ(missing.readString("State"), "");
    EXPECT_EQ(missing.writeString("State", "closed"), -1);
    EXPECT_FALSE(std::filesystem::exists(m_root / "Orvane/Brindle"));
    EXPECT_TRUE(m_prompter.messages().empty());

    std::filesystem::create_directories(m_root / "Orvane/Brindle");
    TempFolder::writeFile(m_root / "Orvane/Brindle/State", "closed");
    RegistryKey present("Software\\Orvane\\Brindle", true, &m_prompter, m_root.path());
    EXPECT_TRUE(present.opened());
    EXPECT_EQ(present.readString("State"), "closed");
    EXPECT_EQ(present.writeString("State", "opened"), -1);
    EXPECT_EQ(present.readString("State"), "closed");
}

TEST_F(RegistryKeyTest, WritableKeyThatCannotBeCreatedIsReportedAndUnusable) {
    TempFolder::writeFile(m_root / "Orvane", "a file where the folder should be");
    RegistryKey key("Software\\Orvane\\Tarnwick", false, &m_prompter, m_root.path());
    EXPECT_FALSE(key.opened());
    ASSERT_EQ(m_prompter.messages().size(), 1u);
    EXPECT_EQ(m_prompter.messages()[0].rfind(jp(RegistryKey::kErrorCaption), 0), 0u);
    EXPECT_EQ(key.writeString("State", "opened"), -1);
    EXPECT_EQ(key.readString("State"), "");
    key.flush();
}

TEST_F(RegistryKeyTest, AnotherProcessReadsTheValuesAndNeverHalfOfOne) {
    RegistryKey key("Software\\Orvane\\Location", false, nullptr, m_root.path());
    ASSERT_EQ(key.writeString("URL", "http://127.0.0.1/page.html"), 0);
    key.flush();
    const std::string root = m_root.path();
    EXPECT_EQ(test::runInChild([&] {
                  RegistryKey other("Software\\Orvane\\Location", false, nullptr, root);
                  return other.readString("URL") == "http://127.0.0.1/page.html" ? 0 : 1;
              }),
              0);

    // A writer process alternates two large values while this one reads: every read sees
    // one of them whole.
    const std::string a(6000, 'a');
    const std::string b(6000, 'b');
    ASSERT_EQ(key.writeBinary("Big", a.data(), a.size()), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        RegistryKey other("Software\\Orvane\\Location", false, nullptr, root);
        for (int i = 0; i < 100; ++i) {
            const std::string& value = i % 2 ? a : b;
            other.writeBinary("Big", value.data(), value.size());
        }
        ::_exit(0);
    }
    int torn = 0;
    std::string buffer(8192, '\0');
    for (int i = 0; i < 100; ++i) {
        const std::size_t got = key.readBinary("Big", buffer.data(), buffer.size());
        const std::string value = buffer.substr(0, got);
        if (value != a && value != b) {
            ++torn;
        }
    }
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
} // namespace tw

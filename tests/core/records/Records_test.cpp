#include "core/records/WatchSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

using namespace tw;

namespace {

template <typename Record>
std::string written(const Record& record) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    EXPECT_EQ(record.writeRecord(stream), 0);
    std::fclose(stream);
    std::string out(buffer, size);
    std::free(buffer);
    return out;
}

template <typename Record>
int readFrom(Record& record, const std::string& text) {
    std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    const int result = record.readRecord(stream);
    std::fclose(stream);
    return result;
}

std::string fetchBlock(const std::string& lines) {
    return "\t//{{TOP\n" + lines + "\tEND}}//\n";
}

std::string watchBlock(const std::string& fetchLines, const std::string& watchLines) {
    return "\t//{{TOP-W\n" + fetchBlock(fetchLines) + watchLines + "\tEND-W}}//\n";
}

WatchSettings everyFieldSet() {
    WatchSettings item;
    item.destFile = "/home/u/keep/page.html";
    item.targetUrl = "http://example.test/a?b=1";
    item.referer = "http://example.test/";
    item.userAgent = "Agent/1.0";
    item.userName = "user";
    item.password = "secret";
    item.cookie = "k=v";
    item.proxy = "proxy:8080";
    item.noProxyForLocal = 0;
    item.useCache = 0;
    item.allowRelocation = 1;
    item.itemTag = "__Tarnwick_3_";
    item.method = "POST";
    item.formData = "q=a+b&x=%82%a0";
    item.lastModified = 1700000000;
    item.loadValue = 12;
    item.name = "\x83\x79\x81\x5b\x83\x57"; // ページ: second bytes include 0x5c-free cp932
    item.threads = 4;
    item.extraHeaders = "X-A: 1\r\nX-B: 2";
    item.schedule = "weekly";
    item.timing = "define";
    item.dateValue = 18;
    item.timeValue = 30600;
    item.downloadMode = 2;
    item.showInBrowser = 1;
    item.lastCheck = 1700000100;
    item.lastResult = 2;
    item.compareFile = "/data/comp/temp_1.tmp";
    item.runOnUpdate = "/usr/bin/true";
    item.soundMode = 2;
    item.soundFile = "ding.wav";
    item.popUp = 0;
    item.anchorKeyword = "<b>";
    item.anchorOccurrence = 2;
    item.japaneseCode = 2;
    item.areaOffset = -3;
    item.areaSize = 40;
    item.areaText = "a\r\nb";
    item.sendMail = 1;
    item.mailTo = "to@example.test";
    item.mailSubject = "Changed";
    item.mailBody = "line1\r\nline2";
    return item;
}

} // namespace

TEST(FetchSettings, DefaultsAndDefaultBlockBytes) {
    const FetchSettings record;
    EXPECT_EQ(record.lastModified, -1);
    EXPECT_EQ(record.noProxyForLocal, 1);
    EXPECT_EQ(record.useCache, 1);
    EXPECT_EQ(record.allowRelocation, 0);
    EXPECT_EQ(written(record),
              "\t//{{TOP\r\nDest: \r\nTarg: \r\nRefe: \r\nAgen: \r\nUser: \r\nPass: \r\nCook: \r\n"
              "Prox: \r\nByPa: 1\r\nCash: 1\r\nRelo: 0\r\nFram: \r\nMeth: \r\nArgu: \r\n"
              "Modi: -1\r\nLoad: 0\r\nName: \r\nThre: 0\r\nHead: \r\n\tEND}}//\r\n");
}

TEST(WatchSettings, WritesEveryFieldByteForByte) {
    const std::string expected = "\t//{{TOP-W\r\n"
                                 "\t//{{TOP\r\n"
                                 "Dest: /home/u/keep/page.html\r\n"
                                 "Targ: http://example.test/a?b=1\r\n"
                                 "Refe: http://example.test/\r\n"
                                 "Agen: Agent/1.0\r\n"
                                 "User: user\r\n"
                                 "Pass: secret\r\n"
                                 "Cook: k=v\r\n"
                                 "Prox: proxy:8080\r\n"
                                 "ByPa: 0\r\n"
                                 "Cash: 0\r\n"
                                 "Relo: 1\r\n"
                                 "Fram: __Tarnwick_3_\r\n"
                                 "Meth: POST\r\n"
                                 "Argu: q=a+b&x=%82%a0\r\n"
                                 "Modi: 1700000000\r\n"
                                 "Load: 12\r\n"
                                 "Name: \x83\x79\x81\x5b\x83\x57\r\n"
                                 "Thre: 4\r\n"
                                 "Head: X%2dA%3a+1%0d%0aX%2dB%3a+2\r\n"
                                 "\tEND}}//\r\n"
                                 "Chec: weekly\r\n"
                                 "Timi: define\r\n"
                                 "Date: 18\r\n"
                                 "Time: 30600\r\n"
                                 "Down: 2\r\n"
                                 "Show: 1\r\n"
                                 "Last: 1700000100\r\n"
                                 "Resu: 2\r\n"
                                 "Hidd: /data/comp/temp_1.tmp\r\n"
                                 "Exec: /usr/bin/true\r\n"
                                 "SUse: 2\r\n"
                                 "SFil: ding.wav\r\n"
                                 "PopU: 0\r\n"
                                 "Keyw: <b>\r\n"
                                 "KeyP: 2\r\n"
                                 "Jpco: 2\r\n"
                                 "CmpO: -3\r\n"
                                 "CmpS: 40\r\n"
                                 "CmpD: a%0d%0ab\r\n"
                                 "UseM: 1\r\n"
                                 "ToAd: to@example.test\r\n"
                                 "Subj: Changed\r\n"
                                 "Honb: line1 line2\r\n"
                                 "HonE: line1%0d%0aline2\r\n"
                                 "\tEND-W}}//\r\n";
    const WatchSettings item = everyFieldSet();
    const std::string bytes = written(item);
    EXPECT_EQ(bytes, expected);

    WatchSettings back;
    ASSERT_EQ(readFrom(back, bytes), 1);
    EXPECT_EQ(back, item);
}

TEST(FetchSettings, FlagsNumbersAndBlanks) {
    FetchSettings record;
    ASSERT_EQ(readFrom(record, fetchBlock("ByPa: \nCash:  0\nRelo: 0\nSeri: 7\n"
                                          "Name:  x \nModi: abc\n")),
              1);
    EXPECT_EQ(record.noProxyForLocal, 1); // empty value is not "0"
    EXPECT_EQ(record.useCache, 1);        // " 0" is not "0"
    EXPECT_EQ(record.allowRelocation, 0);
    EXPECT_EQ(record.threads, 7);
    EXPECT_EQ(record.name, " x ");
    EXPECT_EQ(record.lastModified, 0);
    const std::string bytes = written(record);
    EXPECT_NE(bytes.find("Thre: 7\r\n"), std::string::npos);
    EXPECT_EQ(bytes.find("Seri"), std::string::npos);
}

TEST(FetchSettings, ParseLineReportsKeyPositions) {
    FetchSettings record;
    EXPECT_EQ(record.parseLine(""), -1);
    EXPECT_EQ(record.parseLine("   \t\n"), -1);
    EXPECT_EQ(record.parseLine("Dest:"), -1);
    EXPECT_EQ(record.parseLine("dest: x\n"), -1); // keys are case-sensitive
    EXPECT_EQ(record.parseLine("Chec: daily\n"), -1);
    EXPECT_EQ(record.parseLine("  Targ: http://a/\n"), 6);
    EXPECT_EQ(record.targetUrl, "http://a/");
    EXPECT_EQ(record.parseLine("Head: X%3a+1%0"), 114);
    EXPECT_EQ(record.extraHeaders, "X: 1"); // a "%" with one digit ends decoding
    EXPECT_EQ(record.parseLine("Thre: 99999999999"), 108);
    EXPECT_EQ(record.threads, 2147483647);
}

TEST(FetchSettings, MissingKeysKeepDefaultsAndLaterLinesWin) {
    FetchSettings record;
    ASSERT_EQ(readFrom(record, "garbage\r\n" + fetchBlock("Targ: a\r\nTarg: b\r\nUnkn: z\r\n")), 1);
    EXPECT_EQ(record.targetUrl, "b");
    EXPECT_EQ(record.lastModified, -1);
    EXPECT_EQ(record.useCache, 1);
}

TEST(FetchSettings, IncompleteBlocksReportZero) {
    FetchSettings record;
    EXPECT_EQ(readFrom(record, "Targ: a\n"), 0);
    EXPECT_EQ(record.targetUrl, "");
    EXPECT_EQ(readFrom(record, "\t//{{TOP\nTarg: a\nName: n\n"), 0);
    EXPECT_EQ(record.targetUrl, "a"); // fields read so far stay set
    EXPECT_EQ(record.name, "n");
}

TEST(FetchSettings, LongLinesAreReadWhole) {
    // A value longer than any fixed read buffer must neither be cut nor spill into a new line.
    const std::string longDest(1500, 'd');
    const std::string longForm = std::string(1017, 'a') + "Targ: http://evil/";
    FetchSettings record;
    ASSERT_EQ(readFrom(record, fetchBlock("Dest: " + longDest + "\nArgu: " + longForm + "\n")), 1);
    EXPECT_EQ(record.destFile, longDest);
    EXPECT_EQ(record.formData, longForm);
    EXPECT_EQ(record.targetUrl, "");
}

TEST(FetchSettings, LineBreaksInValuesNeverStartNewLines) {
    FetchSettings record;
    record.name = "one\r\nTarg: http://evil/\ntwo";
    record.extraHeaders = "A: 1\r\nB: 2";
    FetchSettings back;
    ASSERT_EQ(back.fromText(record.toText()), 1);
    EXPECT_EQ(back.name, "one Targ: http://evil/ two");
    EXPECT_EQ(back.targetUrl, "");
    EXPECT_EQ(back.extraHeaders, record.extraHeaders);
}

TEST(FetchSettings, FilesAndHelperVersion) {
    char pattern[] = "/tmp/tw-record-XXXXXX";
    const std::string path = std::string(::mkdtemp(pattern)) + "/WatchToHelp";
    FetchSettings record;
    EXPECT_EQ(record.requiredHelperVersion(), 0);
    record.targetUrl = "http://a/";
    record.referer = "http://r/";
    EXPECT_EQ(record.requiredHelperVersion(), 150);
    EXPECT_EQ(record.writeFile(path, "w"), 1);
    FetchSettings back;
    EXPECT_EQ(back.readFile(path, "r"), 1);
    EXPECT_EQ(back, record);
    EXPECT_EQ(back.readFile(path + ".missing", "r"), 0);
    std::remove(path.c_str());

    using Field = std::string FetchSettings::*;
    for (const Field field :
         {&FetchSettings::formData, &FetchSettings::userName, &FetchSettings::extraHeaders}) {
        FetchSettings one;
        one.*field = "x";
        EXPECT_EQ(one.requiredHelperVersion(), 150);
    }
}

TEST(WatchSettings, DefaultsForMissingKeysAndRunTimeFields) {
    WatchSettings item;
    item.nextCheck = 5;
    item.errorKind = 2;
    item.errorText = "x";
    ASSERT_EQ(readFrom(item, watchBlock("Targ: http://a/\n", "Chec: monthly\n")), 1);
    EXPECT_EQ(item.schedule, "monthly");
    EXPECT_EQ(item.timing, "open");
    EXPECT_EQ(item.soundFile, "notify.wav");
    EXPECT_EQ(item.areaSize, 20);
    EXPECT_EQ(item.anchorOccurrence, 1);
    EXPECT_EQ(item.soundMode, 1);
    EXPECT_EQ(item.popUp, 1);
    EXPECT_EQ(item.nextCheck, 0);
    EXPECT_EQ(item.errorKind, 0);
    EXPECT_EQ(item.errorText, "");
    EXPECT_EQ(item.targetUrl, "http://a/");
}

TEST(WatchSettings, EachBlockKnowsOnlyItsOwnKeys) {
    WatchSettings item;
    ASSERT_EQ(
        readFrom(item, watchBlock("Targ: t\nChec: weekly\n", "Name: n\nShow: \nTimi: inter\n")), 1);
    EXPECT_EQ(item.schedule, "daily");
    EXPECT_EQ(item.name, "");
    EXPECT_EQ(item.showInBrowser, 0); // no flag conversion in this block
    EXPECT_EQ(item.timing, "inter");
}

TEST(WatchSettings, DamagedBlocks) {
    WatchSettings item;
    EXPECT_EQ(readFrom(item, "\t//{{TOP-W\nChec: weekly\n"), 0);
    EXPECT_EQ(readFrom(item, "\t//{{TOP-W\n\t//{{TOP\nTarg: t\n\tEND}}//\nChec: once\n"), 0);
    EXPECT_EQ(item.schedule, "once");
    EXPECT_EQ(item.targetUrl, "t");
}

TEST(WatchSettings, LongAndMultiLineValues) {
    WatchSettings item;
    item.areaText = std::string(2000, '\x82') + "\r\n\n";
    item.mailBody = "first\nsecond\r\n.\r\nChec: once";
    WatchSettings back;
    ASSERT_EQ(back.fromText(item.toText()), 1);
    EXPECT_EQ(back.areaText, item.areaText);
    EXPECT_EQ(back.mailBody, item.mailBody);
    EXPECT_EQ(back.schedule, "daily");
}

TEST(WatchSettings, EncodedMailBodyWinsWhereverItStands) {
    WatchSettings item;
    ASSERT_EQ(readFrom(item, watchBlock("", "HonE: a%0ab\nHonb: a b\n")), 1);
    EXPECT_EQ(item.mailBody, "a\nb");
    // A file from an older writer has only the one-line body.
    ASSERT_EQ(readFrom(item, watchBlock("", "Honb: just one line\n")), 1);
    EXPECT_EQ(item.mailBody, "just one line");
    // The flag does not leak into the next block.
    ASSERT_EQ(readFrom(item, watchBlock("", "Honb: later\n")), 1);
    EXPECT_EQ(item.mailBody, "later");
}

TEST(WatchSettings, ColumnLookups) {
    WatchSettings item;
    const std::pair<const char*, int> schedules[] = {
        {"daily", 0}, {"weekly", 8}, {"weekly  ", 8}, {"weekly   ", -1}, {"monthly", 16},
        {"once", 24}, {"", 0},       {"Weekly", -1},  {"ekly", 10}};
    for (const auto& [word, pos] : schedules) {
        item.schedule = word;
        EXPECT_EQ(item.schedulePosition(), pos) << word;
    }
    const std::pair<const char*, int> timings[] = {
        {"open", 0}, {"inter", 8}, {"define", 16}, {"defined", 16}, {"other", -1}};
    for (const auto& [word, pos] : timings) {
        item.timing = word;
        EXPECT_EQ(item.timingPosition(), pos) << word;
    }
}

TEST(WatchSettings, ReadsLfAndCrLfFilesAlike) {
    const std::string lf = watchBlock("Targ: http://a/\nName: n\n", "Chec: once\nSubj: s\n");
    std::string crlf;
    for (const char ch : lf) {
        if (ch == '\n') {
            crlf += '\r';
        }
        crlf += ch;
    }
    WatchSettings a;
    WatchSettings b;
    ASSERT_EQ(readFrom(a, lf), 1);
    ASSERT_EQ(readFrom(b, crlf), 1);
    EXPECT_EQ(a, b);
    EXPECT_EQ(b.mailSubject, "s");
}

TEST(WatchSettings, TimesBeyond2038) {
    WatchSettings item;
    item.lastCheck = 4102444800; // 2100-01-01
    item.dateValue = 4102444800;
    WatchSettings back;
    ASSERT_EQ(back.fromText(item.toText()), 1);
    EXPECT_EQ(back.lastCheck, 4102444800);
    EXPECT_EQ(back.dateValue, 4102444800);
}

TEST(WatchSettings, StoredMomentsAreHeldToASaneRange) {
    // Values at the limits of their type made the schedule's sums overflow.
    const std::string text = std::string(WatchSettings::kOpenLine) + FetchSettings::kOpenLine +
                             FetchSettings::kCloseLine +
                             "Date: -9223372036854775808\nTime: -2147483648\n"
                             "Last: 99999999999999999999\n" +
                             WatchSettings::kCloseLine;
    WatchSettings item;
    ASSERT_EQ(item.fromText(text), 1);
    EXPECT_EQ(item.dateValue, 0);
    EXPECT_EQ(item.timeValue, 0);
    EXPECT_EQ(item.lastCheck, WatchSettings::kLatestMoment);
    WatchSettings far;
    far.dateValue = WatchSettings::kLatestMoment + 1;
    far.timeValue = 2147483647;
    ASSERT_EQ(item.fromText(far.toText()), 1);
    EXPECT_EQ(item.dateValue, WatchSettings::kLatestMoment);
    EXPECT_EQ(item.timeValue, 2147483647);
}

TEST(WatchSettings, MisplacedLinesOfAListFileAreFound) {
    const std::string one = WatchSettings().toText();
    const int lines = static_cast<int>(std::count(one.begin(), one.end(), '\n'));
    EXPECT_EQ(WatchSettings::firstMisplacedLine(one + "\r\n  \n" + one), 0);
    EXPECT_EQ(WatchSettings::firstMisplacedLine(one + one.substr(0, 30)), 0); // cut: the reader's
    EXPECT_EQ(WatchSettings::firstMisplacedLine("\n" + one + "garbage\n" + one), lines + 2);
    EXPECT_EQ(WatchSettings::firstMisplacedLine(one + "Targ: http://outside/\n"), lines + 1);
    EXPECT_EQ(WatchSettings::firstMisplacedLine(std::string(WatchSettings::kOpenLine) + one), 2);
}

#include "appconfig.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "tsdk.h"

namespace {

const std::string kFixtures = CONFIG_FIXTURES;

/* <name><p1>t1</p1>...</name>: the children's names are never looked at. */
std::string Element(const std::string &name, const std::vector<std::string> &texts)
{
    std::string out = "<" + name + ">\n";
    for (size_t i = 0; i < texts.size(); i++) {
        std::string tag = "p" + std::to_string(i + 1);
        out += "  <" + tag + ">" + texts[i] + "</" + tag + ">\n";
    }
    return out + "</" + name + ">\n";
}

std::vector<std::string> ConfigTexts(const std::string &xively)
{
    return {"1", "In", "1", "Mo", "1", "DN", "0", xively, "1", "0"};
}

/* Apikey, FeedID, 4 numbers, then `channels` triples ("1", "chK", "30"). */
std::vector<std::string> FeedTexts(int channels)
{
    std::vector<std::string> texts = {"key", "feed", "1", "3", "5", std::to_string(channels)};
    for (int k = 1; k <= channels; k++) {
        texts.push_back("1");
        texts.push_back("ch" + std::to_string(k));
        texts.push_back("30");
    }
    return texts;
}

std::vector<char **> TextPointers(AppContext_t *c)
{
    std::vector<char **> out = {&c->Apikey, &c->FeedID, &c->DayNightName, &c->Input1Name,
                                &c->MotionDetectionName};
    for (char *&name : c->ChannelName)
        out.push_back(&name);
    return out;
}

class ConfigTest : public testing::Test {
protected:
    void SetUp() override
    {
        logPath_ = dir_.sub("Ombrelle.log");
        tsdk_settings.log_path = logPath_.c_str();
        ASSERT_EQ(tsdk_init(), 0);
    }

    void TearDown() override
    {
        appcontext_alloc = malloc;
        OutputFreeMemory(&ctx_);
        tsdk_deinit();
        tsdk_settings.log_path = nullptr;
    }

    std::string Log()
    {
        fflush(tsdk.log);
        return harness::ReadFile(logPath_);
    }

    void Apply(const std::string &doc)
    {
        TreeNode root{};
        ASSERT_EQ(xml2Tree(doc.c_str(), &root), 0) << doc;
        ExtractValueFromXML(&root, &ctx_);
        for (int i = 0; i < root.childCount; i++)
            freeTreeNode(root.children[i]);
    }

    void ApplyConfig(const std::vector<std::string> &texts) { Apply(Element("ConfigParams", texts)); }
    void ApplyFeed(const std::vector<std::string> &texts) { Apply(Element("XivelyConfigParams", texts)); }

    std::string WriteFile(const std::string &name, const std::string &content)
    {
        std::string path = dir_.sub(name);
        harness::WriteFile(path, content);
        return path;
    }

    harness::TempDir dir_;
    std::string logPath_;
    AppContext_t ctx_{};
};

/* ---- the files as the camera writes them ---- */

TEST_F(ConfigTest, TheCameraFilesFillEveryField)
{
    std::string config = kFixtures + "/configparams.xml";
    std::string feed = kFixtures + "/xivelyconfig.xml";
    testing::internal::CaptureStdout();
    ASSERT_EQ(App_parse_xml(config.c_str(), &ctx_), 0);
    ASSERT_EQ(App_parse_xml(feed.c_str(), &ctx_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the trees are released silently";

    EXPECT_EQ(ctx_.Input1Enabled, 1);
    EXPECT_EQ(ctx_.MotionDetectionEnabled, 1);
    EXPECT_EQ(ctx_.DayNightEnabled, 0);
    EXPECT_EQ(ctx_.RS485Enabled, 1);
    EXPECT_EQ(ctx_.XivelyEnabled, 1);
    EXPECT_EQ(ctx_.AppEnabled, 1);
    EXPECT_EQ(ctx_.Ext_thread, 1);
    EXPECT_STREQ(ctx_.Input1Name, "FrontDoor");
    EXPECT_STREQ(ctx_.MotionDetectionName, "Motion");
    EXPECT_STREQ(ctx_.DayNightName, "DayNight");
    EXPECT_STREQ(ctx_.Apikey, "Qx7vP2mLk9RtZ4bNw8YcJ3dHf6GsA1uEo5iTl0KjVnBq");
    EXPECT_STREQ(ctx_.FeedID, "1208375912");
    EXPECT_EQ(ctx_.SensorType, 1);
    EXPECT_EQ(ctx_.SensorParam, 3);
    EXPECT_EQ(ctx_.IntervalinMin, 5);
    EXPECT_EQ(ctx_.ChannelNumber, 8);
    const char *names[] = {"Temperature", "Humidity", "Light", "Status",
                           "Pressure", "Wind", "Rain", "Outdoor"};
    const int enabled[] = {1, 1, 1, 0, 1, 0, 0, 1};
    const int params[] = {30, 10, 20, 1, 0, 0, 0, 31};
    for (int k = 0; k < APP_CHANNELS; k++) {
        SCOPED_TRACE(k);
        EXPECT_STREQ(ctx_.ChannelName[k], names[k]);
        EXPECT_EQ(ctx_.ChannelEnabled[k], enabled[k]);
        EXPECT_EQ(ctx_.ChannelParam[k], params[k]);
    }

    std::string log = Log();
    EXPECT_NE(log.find("[Ombrelle]Parsing XML file " + config + " \n"), std::string::npos);
    EXPECT_NE(log.find("[Ombrelle]XML size = " + std::to_string(harness::ReadFile(config).size()) + " \n"),
              std::string::npos);
    EXPECT_NE(log.find("[Ombrelle]OutputGetMemory done \n"), std::string::npos);
    EXPECT_EQ(log.find("too long"), std::string::npos);
}

/* ---- positions and numbers ---- */

TEST_F(ConfigTest, ValuesAreTakenByPosition)
{
    ApplyConfig({"11", "name2", "13", "name4", "15", "name6", "17", "18", "19", "20", "99"});
    EXPECT_EQ(ctx_.Input1Enabled, 11);
    EXPECT_EQ(ctx_.MotionDetectionEnabled, 13);
    EXPECT_EQ(ctx_.DayNightEnabled, 15);
    EXPECT_EQ(ctx_.RS485Enabled, 17);
    EXPECT_EQ(ctx_.XivelyEnabled, 18);
    EXPECT_EQ(ctx_.AppEnabled, 19);
    EXPECT_EQ(ctx_.Ext_thread, 20);
    EXPECT_STREQ(ctx_.Input1Name, "name2");
    EXPECT_STREQ(ctx_.MotionDetectionName, "name4");
    EXPECT_STREQ(ctx_.DayNightName, "name6");

    std::vector<std::string> feed = {"key1", "feed2", "103", "104", "105", "8"};
    for (int k = 1; k <= 9; k++) {
        feed.push_back(std::to_string(200 + k));
        feed.push_back("ch" + std::to_string(k));
        feed.push_back(std::to_string(300 + k));
    }
    ApplyFeed(feed);
    EXPECT_STREQ(ctx_.Apikey, "key1");
    EXPECT_STREQ(ctx_.FeedID, "feed2");
    EXPECT_EQ(ctx_.SensorType, 103);
    EXPECT_EQ(ctx_.SensorParam, 104);
    EXPECT_EQ(ctx_.IntervalinMin, 105);
    EXPECT_EQ(ctx_.ChannelNumber, 8);
    for (int k = 0; k < APP_CHANNELS; k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(ctx_.ChannelEnabled[k], 201 + k);
        EXPECT_EQ(std::string(ctx_.ChannelName[k]), "ch" + std::to_string(k + 1));
        EXPECT_EQ(ctx_.ChannelParam[k], 301 + k);
    }
}

TEST_F(ConfigTest, NumbersFollowTheDecimalRule)
{
    const struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"12", 12},          {" 12abc", 12},        {"\n\t 42\n", 42},   {"-7", -7},
        {"+5", 5},           {"abc", 0},            {"", 0},             {"- 5", 0},
        {"--5", 0},          {"0x10", 0},           {"1 2", 1},          {"007", 7},
        {"2147483647", INT32_MAX},                  {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},     {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},                 {"-99999999999999999999", INT32_MIN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ctx_.Input1Enabled = 12345;
        ApplyConfig({c.text});
        EXPECT_EQ(ctx_.Input1Enabled, c.value);
    }
}

/* ---- cuts and warnings ---- */

TEST_F(ConfigTest, LongTextsAreCutAndPositionsOneToSevenWarn)
{
    const struct {
        int position;
        size_t length;
        const char *warning;  /* "" for none */
    } cases[] = {
        {1, 127, ""},
        {1, 130, "[Ombrelle]Data 0 too long, will be cut to 127!\n"},
        {2, 31, ""},
        {2, 40, "[Ombrelle]Data 1 too long, will be cut to 31!\n"},
        {3, 32, "[Ombrelle]Data 2 too long, will be cut to 31!\n"},
        {6, 40, "[Ombrelle]Data 5 too long, will be cut to 31!\n"},
        {7, 40, "[Ombrelle]Data 6 too long, will be cut to 31!\n"},
        {8, 40, ""},
        {9, 200, ""},
    };
    ApplyConfig(ConfigTexts("1"));
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "position " << c.position << ", length " << c.length);
        std::vector<std::string> texts = FeedTexts(1);
        texts[c.position - 1] = std::string(c.length, 'a');
        size_t before = Log().size();
        ApplyFeed(texts);
        std::string log = Log().substr(before);
        EXPECT_EQ(harness::CountOccurrences(log, "too long"), c.warning[0] ? 1u : 0u);
        EXPECT_NE(log.find(c.warning), std::string::npos);
        if (c.position == 1)
            EXPECT_EQ(std::string(ctx_.Apikey), std::string(c.length < 127 ? c.length : 127, 'a'));
        if (c.position == 2)
            EXPECT_EQ(std::string(ctx_.FeedID), std::string(c.length < 31 ? c.length : 31, 'a'));
        if (c.position == 8)
            EXPECT_EQ(std::string(ctx_.ChannelName[0]), std::string(31, 'a'));
    }
}

TEST_F(ConfigTest, TriggerNamesAreCutTo31WithoutWarning)
{
    std::vector<std::string> texts = ConfigTexts("1");
    texts[1] = std::string(40, 'i');
    texts[3] = std::string(32, 'm');
    texts[5] = std::string(31, 'd');
    ApplyConfig(texts);
    EXPECT_EQ(std::string(ctx_.Input1Name), std::string(31, 'i'));
    EXPECT_EQ(std::string(ctx_.MotionDetectionName), std::string(31, 'm'));
    EXPECT_EQ(std::string(ctx_.DayNightName), std::string(31, 'd'));
    EXPECT_EQ(Log().find("too long"), std::string::npos);
}

/* A cut never ends inside a UTF-8 character: the datastream file and the feed get whole characters. */
TEST_F(ConfigTest, CutsNeverSplitACharacter)
{
    const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
    const struct {
        const char *name;
        bool feedFile;       /* else configparams.xml */
        int position;
        std::string text;
        std::string kept;
    } cases[] = {
        {"trigger name, two-byte character across the cut", false, 2, std::string(30, 'a') + e, std::string(30, 'a')},
        {"trigger name, two-byte character up to the cut", false, 2, std::string(29, 'a') + e, std::string(29, 'a') + e},
        {"channel name, three-byte character across the cut", true, 8, std::string(29, 'c') + euro, std::string(29, 'c')},
        {"channel name, four-byte character across the cut", true, 8, std::string(28, 'c') + smile,
         std::string(28, 'c')},
        {"channel name of characters only", true, 8, euro + euro + euro + euro + euro + euro + euro + euro + euro + euro +
         euro, euro + euro + euro + euro + euro + euro + euro + euro + euro + euro},
        {"feed identifier", true, 2, std::string(30, 'f') + e, std::string(30, 'f')},
        {"API key", true, 1, std::string(126, 'k') + e, std::string(126, 'k')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> config = ConfigTexts("1"), feed = FeedTexts(1);
        (c.feedFile ? feed : config)[c.position - 1] = c.text;
        ApplyConfig(config);
        ApplyFeed(feed);
        const char *stored = !c.feedFile ? ctx_.Input1Name : c.position == 1 ? ctx_.Apikey
                             : c.position == 2 ? ctx_.FeedID : ctx_.ChannelName[0];
        EXPECT_EQ(c.kept, std::string(stored));
    }
}

/* ---- the text buffers ---- */

TEST_F(ConfigTest, TriggerNamesAreCopiedOnlyWithTheFeedOn)
{
    ApplyConfig(ConfigTexts("0"));
    for (char **p : TextPointers(&ctx_))
        EXPECT_EQ(*p, nullptr) << "no buffer while the feed was never on";
    EXPECT_EQ(Log().find("OutputGetMemory done"), std::string::npos);

    ApplyConfig(ConfigTexts("1"));
    EXPECT_STREQ(ctx_.Input1Name, "In");
    std::vector<std::string> off = ConfigTexts("0");
    off[1] = "Other";
    ApplyConfig(off);
    EXPECT_STREQ(ctx_.Input1Name, "In") << "turning the feed off keeps the old texts";
    EXPECT_STREQ(ctx_.DayNightName, "DN");
}

TEST_F(ConfigTest, ConfigParamsReusesAndClearsTheFeedTexts)
{
    ApplyConfig(ConfigTexts("1"));
    ApplyFeed(FeedTexts(8));
    std::vector<char *> first;
    for (char **p : TextPointers(&ctx_))
        first.push_back(*p);

    std::vector<std::string> texts = ConfigTexts("1");
    texts[1] = "I";
    ApplyConfig(texts);
    std::vector<char **> now = TextPointers(&ctx_);
    for (size_t i = 0; i < now.size(); i++)
        EXPECT_EQ(*now[i], first[i]) << "buffer " << i << " reused";
    EXPECT_STREQ(ctx_.Apikey, "");
    EXPECT_STREQ(ctx_.FeedID, "");
    EXPECT_STREQ(ctx_.ChannelName[7], "");
    EXPECT_EQ(memcmp(ctx_.Input1Name, "I\0\0\0", 4), 0) << "zeroed before the copy";
}

TEST_F(ConfigTest, FeedOffReleasesTheBuffersAndLeavesThemAlone)
{
    ApplyConfig(ConfigTexts("1"));
    ApplyFeed(FeedTexts(2));
    ApplyConfig(ConfigTexts("0"));
    ctx_.SensorType = 77;
    ApplyFeed(FeedTexts(2));
    for (char **p : TextPointers(&ctx_))
        EXPECT_EQ(*p, nullptr);
    EXPECT_EQ(ctx_.SensorType, 77) << "nothing taken while the feed is off";
    EXPECT_NE(Log().find("[Ombrelle]OutputFreeMemory done \n"), std::string::npos);

    /* Feed on again, but no "ConfigParams" read since: numbers only, no text written. */
    ctx_.XivelyEnabled = 1;
    ApplyFeed(FeedTexts(2));
    EXPECT_EQ(ctx_.SensorType, 1);
    EXPECT_EQ(ctx_.ChannelParam[1], 30);
    for (char **p : TextPointers(&ctx_))
        EXPECT_EQ(*p, nullptr);
}

TEST_F(ConfigTest, MissingChildrenLeaveTheirFields)
{
    ctx_.AppEnabled = 55;
    ctx_.Ext_thread = 56;
    ApplyConfig({"1", "In", "1", "Mo", "0", "DN", "0", "1"});
    EXPECT_EQ(ctx_.XivelyEnabled, 1);
    EXPECT_EQ(ctx_.AppEnabled, 55);
    EXPECT_EQ(ctx_.Ext_thread, 56);
    EXPECT_STREQ(ctx_.DayNightName, "DN");

    ApplyConfig({"1", "Short"});
    EXPECT_STREQ(ctx_.Input1Name, "Short");
    EXPECT_STREQ(ctx_.MotionDetectionName, "") << "cleared, nothing to copy";

    for (int k = 0; k < APP_CHANNELS; k++)
        ctx_.ChannelEnabled[k] = ctx_.ChannelParam[k] = 66;
    std::vector<std::string> feed = FeedTexts(2);
    feed[5] = "3";
    feed.resize(6 + 3 + 1);  /* channel 2 has only its enable */
    ApplyFeed(feed);
    EXPECT_EQ(ctx_.ChannelNumber, 3);
    EXPECT_EQ(ctx_.ChannelParam[0], 30);
    EXPECT_EQ(ctx_.ChannelEnabled[1], 1);
    EXPECT_STREQ(ctx_.ChannelName[1], "");
    EXPECT_EQ(ctx_.ChannelParam[1], 66);
    EXPECT_EQ(ctx_.ChannelEnabled[2], 66);

    ApplyFeed({"k"});
    EXPECT_STREQ(ctx_.Apikey, "k");
    EXPECT_EQ(ctx_.ChannelNumber, 3);

    feed = FeedTexts(8);
    feed[5] = "-1";
    ApplyFeed(feed);
    EXPECT_EQ(ctx_.ChannelEnabled[2], 66) << "no channel read for a negative number";
}

int g_allocations_left;

void *FailingAlloc(size_t size)
{
    if (g_allocations_left-- <= 0)
        return nullptr;
    return malloc(size);
}

TEST_F(ConfigTest, AFailedAllocationReleasesEverythingAndSkipsTheChildren)
{
    /* A nested feed element shows whether the children were visited. */
    std::string doc = Element("ConfigParams", ConfigTexts("1"));
    doc.insert(doc.rfind("</ConfigParams>"), Element("XivelyConfigParams", {"k", "f", "3"}));
    for (int ok = 0; ok <= 13; ok++) {
        SCOPED_TRACE(ok);
        OutputFreeMemory(&ctx_);
        ctx_.SensorType = 77;
        ctx_.Input1Enabled = 9;
        size_t before = Log().size();
        g_allocations_left = ok;
        appcontext_alloc = FailingAlloc;
        Apply(doc);
        appcontext_alloc = malloc;
        std::string log = Log().substr(before);
        EXPECT_EQ(ctx_.Input1Enabled, 1) << "numbers come first";
        if (ok == 13) {
            EXPECT_EQ(ctx_.SensorType, 3);
            EXPECT_STREQ(ctx_.Apikey, "k");
            continue;
        }
        EXPECT_EQ(ctx_.SensorType, 77);
        for (char **p : TextPointers(&ctx_))
            EXPECT_EQ(*p, nullptr);
        size_t freed = log.find("[Ombrelle]OutputFreeMemory done \n");
        size_t failed = log.find("[Ombrelle]failed to allocate memory\n");
        EXPECT_NE(freed, std::string::npos);
        EXPECT_NE(failed, std::string::npos);
        EXPECT_LT(freed, failed);
        EXPECT_EQ(log.find("OutputGetMemory done"), std::string::npos);
    }
}

TEST_F(ConfigTest, OutputFreeMemoryAndClearSettings)
{
    EXPECT_EQ(OutputFreeMemory(nullptr), -1);
    ApplyConfig({"1", "In", "1", "Mo", "1", "DN", "1", "1", "1", "3"});
    ApplyFeed(FeedTexts(8));
    for (int k = 0; k < APP_CHANNELS; k++)
        ctx_.ChannelValue[k][0] = 0x40;
    AppContext_t before;
    memcpy(&before, &ctx_, sizeof(before));
    AppContext_ClearSettings(&ctx_);
    std::vector<char **> now = TextPointers(&ctx_);
    std::vector<char **> old = TextPointers(&before);
    for (size_t i = 0; i < now.size(); i++) {
        EXPECT_EQ(*now[i], *old[i]);
        *now[i] = nullptr;
    }
    AppContext_t zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(memcmp(&ctx_, &zero, sizeof(ctx_)), 0);
    for (size_t i = 0; i < now.size(); i++)
        *now[i] = *old[i];
    EXPECT_STREQ(ctx_.Input1Name, "In") << "texts stay";

    EXPECT_EQ(OutputFreeMemory(&ctx_), 0);
    for (char **p : TextPointers(&ctx_))
        EXPECT_EQ(*p, nullptr);
    EXPECT_NE(Log().find("[Ombrelle]OutputFreeMemory done \n"), std::string::npos);
}

/* ---- the files ---- */

TEST_F(ConfigTest, FilesThatCannotBeReadWholeChangeNothing)
{
    std::string config = harness::ReadFile(kFixtures + "/configparams.xml");
    std::string fifo = dir_.sub("fifo.xml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    auto statFailed = [](const std::string &path) { return "[Ombrelle]failed to stat file " + path + "\n"; };
    const std::string parseFailed = "[Ombrelle]failed to parse xml into a tree\n";
    const std::string big = WriteFile("big.xml", config + std::string(APP_XML_FILE_MAX, ' '));
    const struct {
        const char *label;
        std::string path;
        std::string message;
        std::string before = "";  /* a line logged ahead of the message */
    } cases[] = {
        {"missing", dir_.sub("missing.xml"), statFailed(dir_.sub("missing.xml"))},
        {"directory", dir_.path(), statFailed(dir_.path())},
        {"fifo", fifo, statFailed(fifo)},
        {"empty path", "", statFailed("")},
        {"too big", big, "[Ombrelle]Error allocating memory for xmlBuf \n",
         "[Ombrelle]XML size = " + std::to_string(config.size() + APP_XML_FILE_MAX) + " \n"},
        {"NUL inside", WriteFile("nul.xml", config.substr(0, 40) + std::string(1, '\0') + config.substr(40)),
         parseFailed},
        {"declaration", WriteFile("decl.xml", "<?xml version=\"1.0\"?>\n" + config), parseFailed},
        {"cut short", WriteFile("short.xml", config.substr(0, config.size() / 2)), parseFailed},
    };
    ApplyConfig({"1", "In", "0", "Mo", "0", "DN", "1", "1", "0", "2"});
    AppContext_t before;
    memcpy(&before, &ctx_, sizeof(before));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        size_t start = Log().size();
        testing::internal::CaptureStdout();
        EXPECT_EQ(App_parse_xml(c.path.c_str(), &ctx_), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "nothing on standard output";
        std::string log = Log().substr(start);
        EXPECT_NE(log.find("[Ombrelle]Parsing XML file " + c.path + " \n"), std::string::npos);
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        if (!c.before.empty())
            EXPECT_LT(log.find(c.before), log.find(c.message)) << log;
        EXPECT_EQ(memcmp(&ctx_, &before, sizeof(ctx_)), 0);
    }
}

/*
 * The configuration file is swapped between a regular file and a FIFO while
 * it is read: the FIFO must be refused, never opened in a way that waits for
 * a writer. A stalled reader is freed by opening the FIFO for writing.
 */
TEST_F(ConfigTest, AFifoSwappedInNeverBlocksTheReader)
{
    enum { READS = 300, STALL_MS = 2000 };
    std::string path = dir_.sub("swapped.xml");
    std::string regular = WriteFile("regular.xml", Element("ConfigParams", ConfigTexts("1")));
    std::string fifo = dir_.sub("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string staged = dir_.sub("staged");
    std::atomic<int> reads{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < READS; i++, reads++)
            App_parse_xml(path.c_str(), &ctx_);
        done = true;
    });
    std::thread swapper([&] {
        for (int i = 0; !done.load(); i++) {
            unlink(staged.c_str());
            if (link(i % 2 == 0 ? fifo.c_str() : regular.c_str(), staged.c_str()) == 0)
                rename(staged.c_str(), path.c_str());
        }
    });
    int stalls = 0;
    for (int seen = -1; !done.load();) {
        int now = reads.load();
        if (now != seen) {
            seen = now;
            usleep(STALL_MS * 1000);
            continue;
        }
        stalls++;
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
    }
    reader.join();
    swapper.join();
    EXPECT_EQ(stalls, 0) << "the reader waited on the FIFO";
}

/* Past January 2038: with a 32-bit time_t the file's own date makes fstat fail (EOVERFLOW). */
TEST_F(ConfigTest, AFileDatedAfter2038IsRead)
{
    const long long kYear2040 = 2208988800LL;  /* 2040-01-01 00:00:00 UTC, beyond 2^31 seconds */
    std::string path = WriteFile("dated.xml", Element("ConfigParams", ConfigTexts("1")));
    struct timespec times[2] = {{(time_t)kYear2040, 0}, {(time_t)kYear2040, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ((long long)st.st_mtime, kYear2040) << "time_t holds dates after January 2038";
    EXPECT_EQ(App_parse_xml(path.c_str(), &ctx_), 0);
    EXPECT_EQ(ctx_.Input1Enabled, 1);
}

TEST_F(ConfigTest, AnUnreadableFileIsAnError)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    std::string path = WriteFile("locked.xml", Element("ConfigParams", ConfigTexts("1")));
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(App_parse_xml(path.c_str(), &ctx_), -1);
    EXPECT_NE(Log().find("[Ombrelle]Error opening file " + path + " \n"), std::string::npos);
    EXPECT_EQ(ctx_.Input1Enabled, 0);
}

TEST_F(ConfigTest, FilesWithoutTheElementsAreReadWithoutEffect)
{
    ApplyConfig({"1", "In", "0", "Mo", "0", "DN", "1", "1", "0", "2"});
    AppContext_t before;
    memcpy(&before, &ctx_, sizeof(before));
    for (const std::string &content : {std::string(""), std::string("\n  \n"),
                                       std::string("<Other><p1>0</p1></Other>"),
                                       std::string("<configparams><p1>0</p1></configparams>")}) {
        SCOPED_TRACE(content);
        std::string path = WriteFile("other.xml", content);
        EXPECT_EQ(App_parse_xml(path.c_str(), &ctx_), 0);
        EXPECT_EQ(memcmp(&ctx_, &before, sizeof(ctx_)), 0);
    }
    EXPECT_NE(Log().find("[Ombrelle]XML size = 0 \n"), std::string::npos);
}

TEST_F(ConfigTest, RepeatedApplicationReusesBuffersAndLeaksNothing)
{
    std::string config = kFixtures + "/configparams.xml";
    std::string feed = kFixtures + "/xivelyconfig.xml";
    std::string broken = WriteFile("broken.xml", "<XivelyConfigParams><p1>k</p1>");
    std::vector<char *> first;
    for (int i = 0; i < 200; i++) {
        ASSERT_EQ(App_parse_xml(config.c_str(), &ctx_), 0);
        ASSERT_EQ(App_parse_xml(feed.c_str(), &ctx_), 0);
        ASSERT_EQ(App_parse_xml(broken.c_str(), &ctx_), -1);
        std::vector<char *> now;
        for (char **p : TextPointers(&ctx_))
            now.push_back(*p);
        if (i == 0)
            first = now;
        ASSERT_EQ(now, first);
    }
    EXPECT_STREQ(ctx_.ChannelName[7], "Outdoor");
    /* Leaks of the trees or the file buffers are reported by LeakSanitizer at exit. */
}

/* ---- other threads ---- */

struct Reader {
    AppContext_t *context;
    std::atomic<bool> stop{false};
    std::atomic<bool> bad{false};
    std::atomic<long> copies{0};
};

void *ReadNames(void *arg)
{
    Reader *reader = static_cast<Reader *>(arg);
    while (!reader->stop.load()) {
        char name[CHANNEL_NAME_SIZE] = "";
        char key[APIKEY_SIZE] = "";
        AppContext_lock();
        if (reader->context->Input1Name != nullptr)
            snprintf(name, sizeof(name), "%s", reader->context->Input1Name);
        if (reader->context->Apikey != nullptr)
            snprintf(key, sizeof(key), "%s", reader->context->Apikey);
        int32_t channels = reader->context->ChannelNumber;
        AppContext_unlock();
        if ((strcmp(name, "") != 0 && strcmp(name, "FrontDoor") != 0) || (channels != 0 && channels != 8))
            reader->bad = true;
        reader->copies++;
    }
    return nullptr;
}

TEST_F(ConfigTest, ReadersHoldingTheLockNeverSeeAHalfWrittenOrReleasedText)
{
    std::string config = kFixtures + "/configparams.xml";
    std::string feed = kFixtures + "/xivelyconfig.xml";
    Reader reader;
    reader.context = &ctx_;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, ReadNames, &reader), 0);
    harness::WaitFor([&] { return reader.copies.load() > 0; }, 5000);
    for (int i = 0; i < 100; i++) {
        App_parse_xml(config.c_str(), &ctx_);
        App_parse_xml(feed.c_str(), &ctx_);
        if (i % 3 == 0)
            OutputFreeMemory(&ctx_);
        if (i % 7 == 0)
            AppContext_ClearSettings(&ctx_);
    }
    reader.stop = true;
    pthread_join(thread, nullptr);
    EXPECT_FALSE(reader.bad.load());
}

/* ---- paths ---- */

TEST(ConfigPath, JoinsTheHomeDirectoryAndTheFileName)
{
    const char *saved = getenv("TS_APP_HOME");
    std::string keep = saved != nullptr ? saved : "";
    const std::string longHome = "/" + std::string(250, 'h');
    const struct {
        const char *home;  /* null: unset */
        std::string homeText;
        int result;
        std::string path;
    } cases[] = {
        {"/opt/app", "", 0, "/opt/app/html/configparams.xml"},
        {nullptr, "", -1, ""},
        {"", "", -1, ""},
        {nullptr, longHome, -1, (longHome + "/html/configparams.xml").substr(0, APP_CONFIG_PATH_SIZE - 1)},
    };
    for (const auto &c : cases) {
        const char *home = c.home != nullptr ? c.home : (c.homeText.empty() ? nullptr : c.homeText.c_str());
        SCOPED_TRACE(home != nullptr ? home : "(unset)");
        if (home != nullptr)
            setenv("TS_APP_HOME", home, 1);
        else
            unsetenv("TS_APP_HOME");
        char out[APP_CONFIG_PATH_SIZE];
        memset(out, 'x', sizeof(out));
        EXPECT_EQ(App_config_path("html/configparams.xml", out, sizeof(out)), c.result);
        EXPECT_EQ(std::string(out), c.path);
    }
    if (saved != nullptr)
        setenv("TS_APP_HOME", keep.c_str(), 1);
    else
        unsetenv("TS_APP_HOME");
}

}  // namespace

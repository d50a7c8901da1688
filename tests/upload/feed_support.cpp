#include "feed_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>

#include <sstream>

#include <gtest/gtest.h>

#include "appconfig.h"
#include "harness.h"
#include "ombrelle.h"
#include "shellcmd.h"
#include "triggers.h"
#include "tsdk.h"

namespace feedtest {

const char kFeedUpdateScript[] =
    "#!/bin/sh\nout=\"$(dirname \"$0\")/args\"\n"
    "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done\n"
    "printf '%s\\n' '==' >> \"$out\"\n";

std::vector<Words> ScriptCalls(const std::string &argsText)
{
    std::vector<Words> calls;
    Words current;
    std::istringstream in(argsText);
    for (std::string line; std::getline(in, line);) {
        if (line == "==") {
            calls.push_back(current);
            current.clear();
        } else {
            current.push_back(line);
        }
    }
    return calls;
}

namespace {

std::string Element(const std::string &name, const std::string &value)
{
    return "  <" + name + ">" + value + "</" + name + ">\n";
}

std::string Number(const std::string &name, int value)
{
    return Element(name, std::to_string(value));
}

void PutWord(Bytes *bytes, unsigned word)
{
    bytes->push_back((uint8_t)(word >> 8));
    bytes->push_back((uint8_t)word);
}

}  // namespace

std::string ConfigParamsXml(const ConfigFlags &f)
{
    return "<ConfigParams>\n" + Number("Input1Enabled", f.input1) + Element("Input1Name", "Door") +
           Number("MotionDetectionEnabled", f.motion) + Element("MotionDetectionName", "Hall") +
           Number("DayNightEnabled", f.daynight) + Element("DayNightName", "Light") +
           Number("RS485Enabled", f.rs485) + Number("XivelyEnabled", f.xively) + Number("AppEnabled", f.app) +
           Number("Ext_thread", f.ext) + "</ConfigParams>\n";
}

std::string XivelyConfigXml(const FeedSettings &feed)
{
    std::string xml = "<XivelyConfigParams>\n" + Element("Apikey", feed.apikey) + Element("FeedID", feed.feedid) +
                      Number("SensorType", feed.type) + Number("SensorParam", feed.param) +
                      Number("IntervalinMin", feed.interval) + Number("ChannelNumber", feed.number);
    for (size_t k = 0; k < feed.channels.size(); ++k) {
        std::string n = std::to_string(k + 1);
        xml += Number("Channel" + n + "Enabled", feed.channels[k].enabled) +
               Element("Channel" + n + "Name", feed.channels[k].name) +
               Number("Channel" + n + "Param", feed.channels[k].param);
    }
    return xml + "</XivelyConfigParams>\n";
}

void ReplaceFile(const std::string &path, const std::string &content)
{
    harness::WriteFile(path + ".tmp", content);
    ASSERT_EQ(0, rename((path + ".tmp").c_str(), path.c_str()));
}

void FeedFixture::SetUp()
{
    root_ = dir_.sub("root");
    home_ = dir_.sub("home");
    sim_ = dir_.sub("sim");
    harness::MakeDirs(root_ + "/var/extsensor");
    harness::MakeDirs(root_ + "/var/log");
    harness::MakeDirs(sim_);
    harness::WriteFile(home_ + "/feed_update", kFeedUpdateScript, 0755);
    setenv("OMBRELLE_ROOT", root_.c_str(), 1);
    setenv("TS_APP_HOME", home_.c_str(), 1);
    setenv("TSDK_SIM_DIR", sim_.c_str(), 1);
    unsetenv("TSDK_SIM_FAIL");
    ombrelle_resolve_paths();
    logPath_ = dir_.sub("Ombrelle.log");
    tsdk_settings = tsdk_settings_t{};
    tsdk_settings.log_path = logPath_.c_str();
    ASSERT_EQ(0, tsdk_init());
    ASSERT_EQ(0, shellcmd_init());
    memset(&AppContext, 0, sizeof AppContext);
}

void FeedFixture::TearDown()
{
    trigger_feed_stop();
    shellcmd_release();
    tsdk_deinit();
    tsdk_settings = tsdk_settings_t{};
    tsdk.settings = nullptr;
    unsetenv("TSDK_SIM_DIR");
    unsetenv("TS_APP_HOME");
    unsetenv("OMBRELLE_ROOT");
}

std::string FeedFixture::Log() const
{
    fflush(tsdk.log);
    return harness::ReadFile(logPath_);
}

SerialPeer::SerialPeer(const std::string &root) : PtyPeer(root)
{
    /* Raw, so nothing is echoed back. */
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    EXPECT_EQ(0, tcsetattr(slave(), TCSANOW, &raw));
}

bool SerialPeer::WaitForCflag(unsigned cflag, int timeoutMs) const
{
    return harness::WaitFor([&] {
        struct termios seen;
        return tcgetattr(master(), &seen) == 0 && (seen.c_cflag & cflag) == cflag;
    }, timeoutMs);
}

Bytes RecordFrame(const SensorRecord &record, bool goodChecksum)
{
    Bytes frame{98};
    const uint8_t *payload = (const uint8_t *)&record;
    unsigned sum = 0;
    for (size_t i = 0; i < sizeof record; ++i) {
        frame.push_back(payload[i]);
        sum += payload[i];
    }
    frame.push_back((uint8_t)(goodChecksum ? sum : sum + 1));
    return frame;
}

Bytes Rs485Reply(unsigned humidity, unsigned temperature, const std::vector<unsigned> &raw)
{
    Bytes r{0xAA, 0x55, 0xE0, 0x13, 0x21, 0x07, 0x99};
    PutWord(&r, humidity);
    PutWord(&r, temperature);
    PutWord(&r, 0x7777);
    for (unsigned w : raw)
        PutWord(&r, w);
    return r;
}

Bytes RadioFrame(unsigned lraw, unsigned traw, unsigned hraw)
{
    Bytes f(28, 0x40);
    f[0] = 0x7E;
    f[3] = 0x92;
    const unsigned words[3] = {lraw, traw, hraw};
    for (int k = 0; k < 3; ++k) {
        f[21 + 2 * k] = (uint8_t)(words[k] >> 8);
        f[22 + 2 * k] = (uint8_t)words[k];
    }
    return f;
}

bool IsCompleteDatastreams(const std::string &text)
{
    const std::string open = "{\"datastreams\":[", close = "]}";
    if (text.size() < open.size() + close.size() || text.compare(0, open.size(), open) != 0 ||
        text.compare(text.size() - close.size(), close.size(), close) != 0)
        return false;
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '{' || c == '[')
            ++depth;
        else if (c == '}' || c == ']')
            --depth;
        if (depth < 0)
            return false;
    }
    return depth == 0 && !inString;
}

}  // namespace feedtest

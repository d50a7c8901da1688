#include "feed_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "harness.h"

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

long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
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

SerialPeer::SerialPeer(const std::string &root)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    std::string slave = ptsname(master_);
    harness::MakeDirs(root + "/dev");
    std::string link = root + "/dev/ttyS1";
    unlink(link.c_str());
    EXPECT_EQ(0, symlink(slave.c_str(), link.c_str()));
    /* Held open so the line never hangs up between exchanges; raw, so nothing is echoed back. */
    holder_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(holder_, 0);
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    EXPECT_EQ(0, tcsetattr(holder_, TCSANOW, &raw));
}

SerialPeer::~SerialPeer()
{
    if (holder_ >= 0)
        close(holder_);
    if (master_ >= 0)
        close(master_);
}

/* The master is non-blocking: a line that nobody reads fills up and must not hang the test. */
static bool WriteAll(int fd, const Bytes &bytes, int waitMs)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (n < 0 && errno == EAGAIN && poll(&pfd, 1, waitMs) > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
    return true;
}

void SerialPeer::Send(const Bytes &bytes) const
{
    if (!WriteAll(master_, bytes, 5000))
        ADD_FAILURE() << "write to the pty master failed";
}

bool SerialPeer::SendIfRoom(const Bytes &bytes) const
{
    return WriteAll(master_, bytes, 200);
}

Bytes SerialPeer::Receive(size_t n, int timeoutMs) const
{
    Bytes got;
    long deadline = NowMs() + timeoutMs;
    while (got.size() < n) {
        long left = deadline - NowMs();
        if (left <= 0)
            break;
        struct pollfd pfd = {master_, POLLIN, 0};
        if (poll(&pfd, 1, (int)left) <= 0)
            continue;
        uint8_t buf[64];
        size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
        ssize_t r = read(master_, buf, want);
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

bool SerialPeer::WaitForCflag(unsigned cflag, int timeoutMs) const
{
    return harness::WaitFor([&] {
        struct termios seen;
        return tcgetattr(master_, &seen) == 0 && (seen.c_cflag & cflag) == cflag;
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

/*
 * feed_support.h - what the sampling, upload and reconfiguration tests share.
 *
 *   kFeedUpdateScript   a feed_update that appends its argument words, one a
 *                       line, then "==", to "args" beside itself
 *   ScriptCalls         those calls, one vector of words per call
 *   ConfigParamsXml / XivelyConfigXml
 *                       the two configuration files, children by position
 *   ReplaceFile         writes a file beside its path and renames it over it
 *   FeedFixture         the in-process set-up: ROOT (OMBRELLE_ROOT) with var/extsensor
 *                       and var/log, HOME (TS_APP_HOME) with that feed_update, SIM
 *                       (TSDK_SIM_DIR), the SDK logging to logPath_, the command
 *                       runner, an empty AppContext; Log() is the SDK's log so far
 *   SerialPeer          a PtyPeer in raw mode: the test plays the sensor
 *   RecordFrame / Rs485Reply / RadioFrame
 *                       the bytes the three kinds of peer send
 *   IsCompleteDatastreams
 *                       a whole datastream document: the opening, the closing,
 *                       balanced brackets outside strings
 */
#ifndef OMBRELLE_TEST_FEED_SUPPORT_H
#define OMBRELLE_TEST_FEED_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "pty_peer.h"
#include "serial.h"

namespace feedtest {

using ::Bytes;
using Words = std::vector<std::string>;

extern const char kFeedUpdateScript[];
std::vector<Words> ScriptCalls(const std::string &argsText);

struct ConfigFlags {
    int input1 = 0, motion = 0, daynight = 0, rs485 = 0, xively = 1, app = 0, ext = 0;
};
std::string ConfigParamsXml(const ConfigFlags &flags);

struct FeedChannel {
    int enabled;
    std::string name;
    int param;
};
struct FeedSettings {
    std::string apikey = "KEY";
    std::string feedid = "FEED";
    int type = 3, param = 0, interval = 10, number = 1;
    std::vector<FeedChannel> channels;
};
std::string XivelyConfigXml(const FeedSettings &feed);

void ReplaceFile(const std::string &path, const std::string &content);

/* Derived fixtures call SetUp first and TearDown last. */
class FeedFixture : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Log() const;

    harness::TempDir dir_;
    std::string root_, home_, sim_, logPath_;
};

class SerialPeer : public PtyPeer {
public:
    /* Links ROOT/dev/ttyS1 to a fresh pty slave, kept open in raw mode. */
    explicit SerialPeer(const std::string &root);

    /* True once the port's settings show every bit of `cflag`. */
    bool WaitForCflag(unsigned cflag, int timeoutMs) const;
};

Bytes RecordFrame(const SensorRecord &record, bool goodChecksum = true);
/* A 25-byte reply: humidity word at 7, temperature at 9, six raw words from 13. */
Bytes Rs485Reply(unsigned humidity, unsigned temperature, const std::vector<unsigned> &raw);
Bytes RadioFrame(unsigned lraw, unsigned traw, unsigned hraw);

bool IsCompleteDatastreams(const std::string &text);

}  // namespace feedtest

#endif

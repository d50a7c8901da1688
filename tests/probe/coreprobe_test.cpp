/* The whole program as a process, its bus on the LM73 emulator. */
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "init_printout.h"

namespace {

using harness::FileExists;
using harness::ReadFile;
using harness::RunResult;
using harness::TempDir;

const char kProgram[] = COREPROBE_EMU_PATH;

/* Everything after the address line of a run at defaults with a 23.75 reading. */
const std::string kAfterAddress = std::string(kInitPrintout) + "23.75 Degrees\n" + "Alert pin is HIGH!\n";

class CoreprobeTest : public testing::Test {
protected:
    void SetUp() override { harness::MakeDirs(root_.sub("var/log")); }

    /* Runs the program with H and L unset unless `env` sets them. */
    RunResult Run(std::vector<std::string> env, const std::vector<std::string> &args = {})
    {
        env.insert(env.begin(), {"OMBRELLE_ROOT=" + root_.path(), "-H", "-L", "-LM73_EMU_ADDR",
                                 "-LM73_EMU_TEMP", "-LM73_EMU_THIGH", "-LM73_EMU_TLOW",
                                 "-LM73_EMU_ALERT", "-LM73_EMU_FAULT"});
        return harness::RunProgram(kProgram, args, env);
    }
    std::string LogFile() const { return root_.sub("var/log/InternalTemp.log"); }

    /* Runs the program with both streams into one pipe, as "2>&1" would, and
     * returns what came out, in the order it came. */
    std::string RunMerged(std::vector<std::string> env)
    {
        env.insert(env.begin(), {"OMBRELLE_ROOT=" + root_.path(), "-H", "-L"});
        harness::TempDir outputs;
        const std::string fifo = outputs.sub("merged");
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int in = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(in, 0);
        pid_t pid = harness::StartProgram(kProgram, {}, env, fifo, fifo);
        EXPECT_EQ(harness::WaitProgram(pid, 30000), 0);
        std::string merged;
        char chunk[512];
        for (ssize_t n; (n = read(in, chunk, sizeof chunk)) > 0;)
            merged.append(chunk, (size_t)n);
        close(in);
        return merged;
    }

    TempDir root_;
};

TEST_F(CoreprobeTest, PrintoutAtMainAddress)
{
    RunResult r = Run({"LM73_EMU_TEMP=0BE0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("[DBG] use main I2C address\n") + kAfterAddress);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(LogFile()), "   23.75");
}

TEST_F(CoreprobeTest, PrintoutAtAlternateAddress)
{
    RunResult r = Run({"LM73_EMU_ADDR=49", "LM73_EMU_TEMP=0BE0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("i2c write failed.\n[DBG] use alternate I2C address\n") + kAfterAddress);
    EXPECT_EQ(ReadFile(LogFile()), "   23.75");
}

TEST_F(CoreprobeTest, ArgumentsChangeNothing)
{
    RunResult r = Run({"LM73_EMU_TEMP=0BE0", "H=20"}, {"-h", "--low=3", "99"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("0xa00\n0x500\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(LogFile()), "   23.75");
}

struct ThresholdCase {
    const char *name;
    std::vector<std::string> env;
    const char *registers; /* the two "0x%02x" lines */
    const char *current;   /* the two "Current" lines with what lies between them */
};

void PrintTo(const ThresholdCase &c, std::ostream *os)
{
    *os << c.name;
}

const ThresholdCase kThresholdCases[] = {
    {"Unset", {}, "0x780\n0x500\n", "Current THigh: 15.00\nSet Tlow register successfully!\nCurrent TLow: 10.00\n"},
    {"HNotANumber", {"H=abc"}, "0x00\n0x500\n", "Current THigh: 0.00\nSet Tlow register successfully!\nCurrent TLow: 10.00\n"},
    {"LNegative", {"L=-5"}, "0x780\n0xfd80\n", "Current THigh: 15.00\nSet Tlow register successfully!\nCurrent TLow: -5.00\n"},
    {"Empty", {"H=", "L="}, "0x00\n0x00\n", "Current THigh: 0.00\nSet Tlow register successfully!\nCurrent TLow: 0.00\n"},
    {"SpaceSignAndTail", {"H= +20x", "L=\t12.9"}, "0xa00\n0x600\n", "Current THigh: 20.00\nSet Tlow register successfully!\nCurrent TLow: 12.00\n"},
    {"AboveTheRegister", {"H=300", "L=-257"}, "0x1600\n0x8080\n", "Current THigh: 44.00\nSet Tlow register successfully!\nCurrent TLow: -255.00\n"},
    {"BeyondInt", {"H=99999999999", "L=-99999999999"}, "0x7f80\n0x8000\n", "Current THigh: 255.00\nSet Tlow register successfully!\nCurrent TLow: -256.00\n"},
};

class CoreprobeThresholdTest : public CoreprobeTest, public testing::WithParamInterface<ThresholdCase> {};

TEST_P(CoreprobeThresholdTest, ReadAsBaseTenIntegers)
{
    const ThresholdCase &c = GetParam();
    RunResult r = Run(c.env);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(std::string("Read from sensor > TLow: 32.00\n") + c.registers), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(c.current), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Environment, CoreprobeThresholdTest, testing::ValuesIn(kThresholdCases),
                         [](const testing::TestParamInfo<ThresholdCase> &i) { return i.param.name; });

TEST_F(CoreprobeTest, FileHoldsTheReadingInEightCharacters)
{
    const struct {
        const char *reg;
        const char *file;
    } cases[] = {
        {"0BE0", "   23.75"}, {"FD40", "   -5.50"}, {"3200", "  100.00"},
        {"8000", " -256.00"}, {"7FFC", "  255.97"}, {"0003", "    0.00"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reg);
        RunResult r = Run({std::string("LM73_EMU_TEMP=") + c.reg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadFile(LogFile()), c.file); /* also: each run replaces the last one's value */
    }
}

TEST_F(CoreprobeTest, MissingLogDirectoryEndsWith255AfterTheReading)
{
    ASSERT_EQ(rmdir(root_.sub("var/log").c_str()), 0);
    RunResult r = Run({"LM73_EMU_TEMP=0BE0", "LM73_EMU_ALERT=0"});
    EXPECT_EQ(r.status, 255);
    const std::string tail = "Set control/status register successfully!\n23.75 Degrees\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_FALSE(FileExists(LogFile()));
}

/* Standard error is unbuffered: its lines keep their place only when standard output is line-buffered. */
TEST_F(CoreprobeTest, ErrorLinesKeepTheirPlaceWhenTheStreamsAreMerged)
{
    std::string merged = RunMerged({"LM73_EMU_FAULT=read:2", "LM73_EMU_TEMP=0BE0"});
    const std::string head = "[DBG] use main I2C address\ni2c read failed.\n"
                             "[ThermalSensor_GetCurSetting] get THigh fail\n23.75 Degrees\n";
    EXPECT_EQ(merged.substr(0, head.size()), head) << merged;
}

TEST_F(CoreprobeTest, PlantedLinkIsReplacedNotFollowed)
{
    const std::string victim = root_.sub("etc/victim");
    harness::WriteFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), LogFile().c_str()), 0);
    RunResult r = Run({"LM73_EMU_TEMP=0BE0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(lstat(LogFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(LogFile()), "   23.75");
}

TEST_F(CoreprobeTest, FailedReadingLeavesNoFileBehind)
{
    harness::WriteFile(LogFile(), "   99.00");
    /* The presence probe reads the temperature register first; the reading itself fails. */
    RunResult r = Run({"LM73_EMU_FAULT=read:0:1", "LM73_EMU_ALERT=0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Degrees"), std::string::npos) << r.out;
    const std::string tail = "Set control/status register successfully!\ni2c read failed.\nAlert pin is LOW!\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_FALSE(FileExists(LogFile()));
}

TEST_F(CoreprobeTest, StaleFileThatCannotBeRemovedEndsWith255)
{
    harness::WriteFile(LogFile() + "/keep", "x");
    RunResult r = Run({"LM73_EMU_FAULT=read:0:1"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.find("Alert pin"), std::string::npos) << r.out;
}

struct NoSensorCase {
    const char *name;
    std::vector<std::string> env;
    std::string out;
};

void PrintTo(const NoSensorCase &c, std::ostream *os)
{
    *os << c.name;
}

class CoreprobeNoSensorTest : public CoreprobeTest, public testing::WithParamInterface<NoSensorCase> {};

const char kClosedBus[] = "Invalid Handle!\nInvalid Handle!\nRead control/status register fail!\n";

const NoSensorCase kNoSensorCases[] = {
    {"NoneAnswers", {"LM73_EMU_ADDR=none"},
     std::string("i2c write failed.\ni2c write failed.\nCan not access thermal sensor!\n") + kClosedBus},
    {"BusCannotOpen", {"LM73_EMU_FAULT=open"}, ""},
};

TEST_P(CoreprobeNoSensorTest, RunsToTheEndWithoutAFile)
{
    const NoSensorCase &c = GetParam();
    harness::WriteFile(LogFile(), "   99.00");
    RunResult r = Run(c.env);
    std::string expected = c.out;
    if (expected.empty())
        expected = "open " + root_.path() + "/dev/i2c-0 error!\nError: Initial I2C object fail !!\n" + kClosedBus;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(FileExists(LogFile()));
}

INSTANTIATE_TEST_SUITE_P(Bus, CoreprobeNoSensorTest, testing::ValuesIn(kNoSensorCases),
                         [](const testing::TestParamInfo<NoSensorCase> &i) { return i.param.name; });

}  // namespace

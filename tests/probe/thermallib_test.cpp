#include "thermallib.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "bus_test.h"
#include "init_printout.h"

namespace {

class ThermalTest : public BusTest {
protected:
    void SetUp() override
    {
        BusTest::SetUp();
        g_thermalDevice = ThermalDevice();
        g_thermalPrm = ThermalParam();
    }
    void TearDown() override
    {
        ThermalSensor_Deinit();
        BusTest::TearDown();
    }
    /* Initialises at the main address, with what it prints dropped. */
    void InitQuietly()
    {
        ASSERT_EQ(Capture([] { return ThermalSensor_Init(15, 10); }).rc, 0);
        g_lm73.transfers.clear();
    }
};

/* ---- conversions ---- */

struct ReadingCase {
    uint16_t reg;
    float celsius;
};

const ReadingCase kReadings[] = {
    {0x0C80, 25.0f},  {0x0C60, 24.75f},    {0x0B90, 23.125f}, {0x0003, 0.0f},
    {0xFF80, -1.0f},  {0xFFFC, -0.03125f}, {0xE700, -50.0f},  {0x8000, -256.0f},
    {0x7FFC, 255.96875f},
};

TEST_F(ThermalTest, RegisterToDegreesCelsiusIsExact)
{
    for (const ReadingCase &c : kReadings) {
        SCOPED_TRACE(testing::Message() << std::hex << c.reg);
        EXPECT_EQ(thermallib_SensorFormatToFloat(c.reg), c.celsius);
    }
}

TEST_F(ThermalTest, RegisterToDegreesFahrenheit)
{
    const ReadingCase fahrenheit[] = {
        {0x0C80, 77.0f}, {0x0003, 32.0f}, {0xE700, -58.0f}, {0x8000, -428.8f}, {0x7FFC, 492.74375f},
    };
    g_thermalPrm.iUnit = THERMAL_UNIT_FAHRENHEIT;
    for (const ReadingCase &c : fahrenheit) {
        SCOPED_TRACE(testing::Message() << std::hex << c.reg);
        EXPECT_FLOAT_EQ(thermallib_SensorFormatToFloat(c.reg), c.celsius);
    }
    g_thermalPrm.iUnit = 2; /* anything but 1 is Celsius */
    EXPECT_EQ(thermallib_SensorFormatToFloat(0x0C80), 25.0f);
}

struct ThresholdCase {
    int degrees;
    uint16_t reg;
    const char *printed;
};

const ThresholdCase kThresholds[] = {
    {15, 0x0780, "0x780\n"},   {10, 0x0500, "0x500\n"},    {0, 0x0000, "0x00\n"},
    {1, 0x0080, "0x80\n"},     {-1, 0xFF80, "0xff80\n"},   {-5, 0xFD80, "0xfd80\n"},
    {255, 0x7F80, "0x7f80\n"}, {-256, 0x8000, "0x8000\n"}, {256, 0x0000, "0x00\n"},
    {300, 0x1600, "0x1600\n"}, {-257, 0x8080, "0x8080\n"}, {-300, 0x8000, "0x8000\n"},
    {65536 + 15, 0x0780, "0x780\n"}, {INT_MAX, 0x7F80, "0x7f80\n"}, {INT_MIN, 0x8000, "0x8000\n"},
};

TEST_F(ThermalTest, WholeDegreesToThresholdFormat)
{
    for (const ThresholdCase &c : kThresholds) {
        SCOPED_TRACE(c.degrees);
        uint16_t reg = 0xAAAA;
        Printed p = Capture([&] {
            thermallib_IntToRegFmt(c.degrees, &reg);
            return 0;
        });
        EXPECT_EQ(reg, c.reg);
        EXPECT_EQ(p.out, c.printed);
    }
}

TEST_F(ThermalTest, ThresholdsInRangeRoundTrip)
{
    testing::internal::CaptureStdout();
    for (int degrees = -256; degrees <= 255; degrees++) {
        uint16_t reg = 0;
        thermallib_IntToRegFmt(degrees, &reg);
        EXPECT_EQ(thermallib_SensorFormatToFloat(reg), (float)degrees) << degrees;
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(ThermalTest, DecimalToBinaryLeastSignificantFirstWithinItsArray)
{
    const struct {
        int value;
        std::vector<int> bits;
    } cases[] = {
        {0, {0}}, {1, {1}}, {6, {0, 1, 1}}, {-3, {-1}}, {-4, {0}},
        {0x1FF, {1, 1, 1, 1, 1, 1, 1, 1}}, {INT_MAX, {1, 1, 1, 1, 1, 1, 1, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        std::vector<int> bits(9, 7);
        thermallib_DecimalToBinary(c.value, bits.data(), 8);
        std::vector<int> expected = c.bits;
        expected.resize(9, 7);
        EXPECT_EQ(bits, expected);
    }
}

/* ---- initialisation ---- */

const std::string kMainInit = std::string("[DBG] use main I2C address\n") + kInitPrintout;

TEST_F(ThermalTest, InitAtMainAddressProgramsTheSensor)
{
    Printed p = Capture([] { return ThermalSensor_Init(15, 10); });
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.out, kMainInit);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(g_lm73.openedPath, root_.path() + "/dev/i2c-0");
    EXPECT_EQ(g_thermalDevice.byCurAddr, LM73_ADDR_MAIN);
    EXPECT_EQ(g_lm73.config, 0x48);
    EXPECT_EQ(g_lm73.thigh, 0x0780);
    EXPECT_EQ(g_lm73.tlow, 0x0500);
    EXPECT_EQ(g_lm73.ctrl & 0xE0, 0x80);
    EXPECT_EQ(g_thermalPrm.wTHighReg, 0x0780);
    EXPECT_EQ(g_thermalPrm.wTLowReg, 0x0500);
    for (const Lm73Transfer &t : g_lm73.transfers)
        EXPECT_TRUE(t.op == LM73_OP_OPEN || t.addr == 0x4A);
}

TEST_F(ThermalTest, InitPrintsWhatTheSensorHeldBefore)
{
    g_lm73.thigh = 0x1600;
    g_lm73.tlow = 0xFD80;
    Printed p = Capture([] { return ThermalSensor_Init(300, -5); });
    EXPECT_EQ(p.rc, 0);
    EXPECT_NE(p.out.find("Read from sensor > THigh: 44.00\nRead from sensor > TLow: -5.00\n"
                         "0x1600\n0xfd80\n"),
              std::string::npos)
        << p.out;
    EXPECT_NE(p.out.find("Current THigh: 44.00\n"), std::string::npos);
    EXPECT_NE(p.out.find("Current TLow: -5.00\n"), std::string::npos);
    EXPECT_EQ(g_lm73.thigh, 0x1600);
    EXPECT_EQ(g_lm73.tlow, 0xFD80);
}

TEST_F(ThermalTest, SensorOnlyAtAlternateAddressIsUsedFromThenOn)
{
    lm73_reset(0x49);
    Printed p = Capture([] { return ThermalSensor_Init(15, 10); });
    EXPECT_EQ(p.rc, 0);
    std::string expected = kMainInit;
    expected.replace(0, std::string("[DBG] use main I2C address\n").size(),
                     "i2c write failed.\n[DBG] use alternate I2C address\n");
    EXPECT_EQ(p.out, expected);
    EXPECT_EQ(g_thermalDevice.byCurAddr, LM73_ADDR_ALT);

    g_lm73.transfers.clear();
    float celsius = 0;
    int heater = -1;
    Capture([&] { return ThermalSensor_GetTemprature(0, &celsius) + ThermalSensor_HeaterRunning(&heater); });
    ASSERT_FALSE(g_lm73.transfers.empty());
    for (const Lm73Transfer &t : g_lm73.transfers) {
        EXPECT_EQ(t.addr, 0x49u);
        EXPECT_TRUE(t.ok);
    }
}

TEST_F(ThermalTest, NoSensorReleasesTheBus)
{
    lm73_reset(0);
    Printed p = Capture([] { return ThermalSensor_Init(15, 10); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "i2c write failed.\ni2c write failed.\nCan not access thermal sensor!\n");
    EXPECT_EQ(g_thermalDevice.pI2CHandle, nullptr);
    EXPECT_FALSE(g_lm73.open);

    float celsius = 42.0f;
    p = Capture([&] { return ThermalSensor_GetTemprature(0, &celsius); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "Invalid Handle!\n");
    EXPECT_EQ(celsius, 42.0f);

    int heater = 0;
    p = Capture([&] { return ThermalSensor_HeaterRunning(&heater); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "Invalid Handle!\nRead control/status register fail!\n");
    EXPECT_EQ(heater, 1);
}

TEST_F(ThermalTest, AddressProbeAloneReleasesNothing)
{
    IICCtrlObject *handle = nullptr;
    ASSERT_EQ(thermallib_I2c_initial(&handle, 5), 0);
    EXPECT_EQ(handle->dwTransferMode, 5);
    g_thermalDevice.byCurAddr = LM73_ADDR_MAIN;
    g_thermalDevice.byAltAddr = LM73_ADDR_ALT;
    g_lm73.address = 0;
    Printed p = Capture([&] { return thermallib_TestI2CAddress(handle); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "i2c write failed.\ni2c write failed.\nCan not access thermal sensor!\n");
    EXPECT_TRUE(g_lm73.open);
    IICCtrl_Release(&handle);
}

struct InitFailureCase {
    const char *name;
    Lm73Op op;
    int reg;
    int skip;
    const char *lastOut; /* the end of what is printed */
    const char *err;
    bool busOpen;
    uint16_t thigh; /* THIGH afterwards: what was written before the failure stays */
};

void PrintTo(const InitFailureCase &c, std::ostream *os)
{
    *os << c.name;
}

const InitFailureCase kInitFailures[] = {
    {"BusCannotOpen", LM73_OP_OPEN, -1, 0, "Error: Initial I2C object fail !!\n", "", false, 0x2000},
    {"ThighUnreadable", LM73_OP_READ, 0x02, 0, "[DBG] use main I2C address\ni2c read failed.\n",
     "[ThermalSensor_GetCurSetting] get THigh fail\n", true, 0x2000},
    {"TlowUnreadable", LM73_OP_READ, 0x03, 0, "Read from sensor > THigh: 64.00\ni2c read failed.\n",
     "[ThermalSensor_GetCurSetting] get TLow fail\n", true, 0x2000},
    {"ConfigUnwritable", LM73_OP_WRITE, 0x01, 0, "0x500\ni2c write failed.\nSet configuration register fail!\n",
     "", true, 0x2000},
    {"ThighUnwritable", LM73_OP_WRITE, 0x02, 1,
     "Set configuration register successfully!\ni2c write failed.\nSet Thigh register fail!\n", "", true,
     0x2000},
    {"TlowUnwritable", LM73_OP_WRITE, 0x03, 1,
     "Current THigh: 15.00\ni2c write failed.\nSet Tlow register fail!\n", "", true, 0x0780},
    {"CtrlUnwritable", LM73_OP_WRITE, 0x04, 0,
     "Current TLow: 10.00\ni2c write failed.\nSet control/status register fail!\n", "", true, 0x0780},
};

class ThermalInitFailureTest : public ThermalTest,
                               public testing::WithParamInterface<InitFailureCase> {};

TEST_P(ThermalInitFailureTest, StopsAtTheFailedStep)
{
    const InitFailureCase &c = GetParam();
    lm73_fail(c.op, c.reg, c.skip);
    Printed p = Capture([] { return ThermalSensor_Init(15, 10); });
    EXPECT_EQ(p.rc, -1);
    ASSERT_GE(p.out.size(), strlen(c.lastOut)) << p.out;
    EXPECT_EQ(p.out.substr(p.out.size() - strlen(c.lastOut)), c.lastOut) << p.out;
    EXPECT_EQ(p.err, c.err);
    EXPECT_EQ(g_thermalDevice.pI2CHandle != nullptr, c.busOpen);
    EXPECT_EQ(g_lm73.thigh, c.thigh);
}

INSTANTIATE_TEST_SUITE_P(Steps, ThermalInitFailureTest, testing::ValuesIn(kInitFailures),
                         [](const testing::TestParamInfo<InitFailureCase> &i) { return i.param.name; });

/* ---- reading ---- */

TEST_F(ThermalTest, TemperatureInTheUnitAskedForWhichStays)
{
    InitQuietly();
    g_lm73.temperature = 0x0C80;
    float degrees = 0;
    Printed p = Capture([&] { return ThermalSensor_GetTemprature(THERMAL_UNIT_FAHRENHEIT, &degrees); });
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.out, "77.00 Degrees\n");
    EXPECT_EQ(degrees, 77.0f);
    EXPECT_EQ(thermallib_SensorFormatToFloat(0x0C80), 77.0f);

    g_lm73.temperature = 0xFD40;
    p = Capture([&] { return ThermalSensor_GetTemprature(THERMAL_UNIT_CELSIUS, &degrees); });
    EXPECT_EQ(p.out, "-5.50 Degrees\n");
    EXPECT_EQ(degrees, -5.5f);
}

TEST_F(ThermalTest, FailedTemperatureReadLeavesOutputUntouched)
{
    InitQuietly();
    lm73_fail(LM73_OP_READ, 0x00);
    float degrees = 12.5f;
    Printed p = Capture([&] { return ThermalSensor_GetTemprature(0, &degrees); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "i2c read failed.\n");
    EXPECT_EQ(degrees, 12.5f);
}

TEST_F(ThermalTest, AlertPinGivesTheHeaterState)
{
    const struct {
        const char *name;
        bool alertHigh;
        bool readFails;
        int rc;
        int heater;
        const char *out;
    } cases[] = {
        {"High", true, false, 0, 1, "Alert pin is HIGH!\n"},
        {"Low", false, false, 0, 0, "Alert pin is LOW!\n"},
        {"Unreadable", false, true, -1, 1, "i2c read failed.\nRead control/status register fail!\n"},
    };
    InitQuietly();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        lm73_set_alert(c.alertHigh);
        g_lm73.fault.armed = false;
        if (c.readFails)
            lm73_fail(LM73_OP_READ, 0x04);
        int heater = -1;
        Printed p = Capture([&] { return ThermalSensor_HeaterRunning(&heater); });
        EXPECT_EQ(p.rc, c.rc);
        EXPECT_EQ(heater, c.heater);
        EXPECT_EQ(p.out, c.out);
    }
}

/* ---- changing the thresholds ---- */

TEST_F(ThermalTest, ChangeThresholdWritesOnlyTheThresholds)
{
    InitQuietly();
    g_lm73.config = 0x40;
    Printed p = Capture([] { return ThermalSensor_Heater_ChangeThreshold(300, -5); });
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.out, "0x1600\n0xfd80\nSet Thigh register successfully!\nSet Tlow register successfully!\n");
    EXPECT_EQ(g_lm73.thigh, 0x1600);
    EXPECT_EQ(g_lm73.tlow, 0xFD80);
    EXPECT_EQ(g_lm73.config, 0x40);
    EXPECT_EQ(g_thermalPrm.iTHigh, 300);
    EXPECT_EQ(g_thermalPrm.iTLow, -5);
}

TEST_F(ThermalTest, ChangeThresholdStopsAtTheFirstFailedWrite)
{
    InitQuietly();
    lm73_fail(LM73_OP_WRITE, 0x02);
    Printed p = Capture([] { return ThermalSensor_Heater_ChangeThreshold(20, 12); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "0xa00\n0x600\ni2c write failed.\nSet Thigh register fail!\n");
    EXPECT_EQ(g_lm73.tlow, 0x0500);
}

TEST_F(ThermalTest, DeinitAlwaysSucceeds)
{
    InitQuietly();
    EXPECT_EQ(ThermalSensor_Deinit(), 0);
    EXPECT_EQ(g_thermalDevice.pI2CHandle, nullptr);
    EXPECT_FALSE(g_lm73.open);
    EXPECT_EQ(ThermalSensor_Deinit(), 0);
}

}  // namespace

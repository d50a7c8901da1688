#include "IICCtrl.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bus_test.h"
#include "rootpath.h"

namespace {

using Bytes = std::vector<uint8_t>;

IICCtrlInitOptions Options(uint32_t version = IICCTRL_VERSION, uint32_t maxLen = 2,
                           int32_t mode = 4, const char *path = nullptr)
{
    return IICCtrlInitOptions{version, mode, maxLen, 0, path, 0};
}

class IICCtrlTest : public BusTest {
protected:
    void TearDown() override
    {
        IICCtrl_Release(&handle_);
        BusTest::TearDown();
    }
    void Open(int32_t mode = 4, uint32_t maxLen = 2)
    {
        IICCtrlInitOptions options = Options(IICCTRL_VERSION, maxLen, mode);
        ASSERT_EQ(IICCtrl_Initial(&handle_, &options), 0);
        g_lm73.transfers.clear();
    }
    IICCtrlObject *handle_ = nullptr;
};

/* ---- opening and releasing ---- */

struct InitCase {
    const char *name;
    bool nullSlot;
    bool nullOptions;
    uint32_t version;
    uint32_t maxLen;
    int rc;
    const char *out;
};

void PrintTo(const InitCase &c, std::ostream *os)
{
    *os << c.name;
}

const InitCase kInitCases[] = {
    {"NullSlot", true, false, IICCTRL_VERSION, 2, -1, "Invalid Argument!\n"},
    {"NullOptions", false, true, IICCTRL_VERSION, 2, -1, "Invalid Argument!\n"},
    {"OldVersion", false, false, 0x02000000, 2, -1, "Version Mismatch!\n"},
    {"VersionBeforeLength", false, false, 0x02000000, 1024, -1, "Version Mismatch!\n"},
    {"LengthOfBuffer", false, false, IICCTRL_VERSION, 1024, -1, "Invalid Argument!\n"},
    {"LengthHuge", false, false, IICCTRL_VERSION, 0xFFFFFFFF, -1, "Invalid Argument!\n"},
    {"LongestLength", false, false, IICCTRL_VERSION, 1023, 0, ""},
};

class IICCtrlInitTest : public IICCtrlTest, public testing::WithParamInterface<InitCase> {};

TEST_P(IICCtrlInitTest, ChecksInOrderBeforeOpening)
{
    const InitCase &c = GetParam();
    IICCtrlInitOptions options = Options(c.version, c.maxLen);
    Printed p = Capture([&] {
        return IICCtrl_Initial(c.nullSlot ? nullptr : &handle_, c.nullOptions ? nullptr : &options);
    });
    EXPECT_EQ(p.rc, c.rc);
    EXPECT_EQ(p.out, c.out);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(handle_ != nullptr, c.rc == 0);
    EXPECT_EQ(g_lm73.open, c.rc == 0);
    if (c.rc == 0)
        EXPECT_EQ(handle_->dwMaxBufWriteLength, c.maxLen);
}

INSTANTIATE_TEST_SUITE_P(Options, IICCtrlInitTest, testing::ValuesIn(kInitCases),
                         [](const testing::TestParamInfo<InitCase> &i) { return i.param.name; });

TEST_F(IICCtrlTest, DefaultNodeIsUnderTheRootPrefixOpenedReadWrite)
{
    IICCtrlInitOptions options = Options(IICCTRL_VERSION, 2, 5);
    ASSERT_EQ(IICCtrl_Initial(&handle_, &options), 0);
    EXPECT_EQ(g_lm73.openedPath, root_.path() + "/dev/i2c-0");
    EXPECT_EQ(g_lm73.openFlags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(handle_->dwTransferMode, 5);
}

TEST_F(IICCtrlTest, PrivilegedProgramOpensTheRealNode)
{
    bool (*saved)(void) = rootpath_privileged;
    rootpath_privileged = [] { return true; };
    IICCtrlInitOptions options = Options();
    int rc = IICCtrl_Initial(&handle_, &options);
    rootpath_privileged = saved;
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(g_lm73.openedPath, "/dev/i2c-0"); /* reached the emulator, not the kernel */
}

TEST_F(IICCtrlTest, NamedNodeIsOpenedAsGiven)
{
    IICCtrlInitOptions options = Options(IICCTRL_VERSION, 2, 4, "/dev/i2c-3");
    ASSERT_EQ(IICCtrl_Initial(&handle_, &options), 0);
    EXPECT_EQ(g_lm73.openedPath, "/dev/i2c-3");
}

TEST_F(IICCtrlTest, FailedOpenNamesThePathAndLeavesTheSlot)
{
    lm73_fail(LM73_OP_OPEN);
    IICCtrlObject sentinel = {};
    handle_ = &sentinel;
    IICCtrlInitOptions options = Options();
    Printed p = Capture([&] { return IICCtrl_Initial(&handle_, &options); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "open " + root_.path() + "/dev/i2c-0 error!\n");
    EXPECT_EQ(handle_, &sentinel);
    handle_ = nullptr;
}

TEST_F(IICCtrlTest, RootPrefixTooLongNeverFallsBackToTheRealNode)
{
    const std::string root(ROOT_PATH_MAX, 'r');
    setenv("OMBRELLE_ROOT", root.c_str(), 1);
    IICCtrlInitOptions options = Options();
    Printed p = Capture([&] { return IICCtrl_Initial(&handle_, &options); });
    EXPECT_EQ(p.rc, -1);
    /* It names the node it could not form, not the real one it never tried. */
    EXPECT_EQ(p.out, "open " + root + "/dev/i2c-0 error!\n");
    EXPECT_TRUE(lm73_transfers(LM73_OP_OPEN).empty());
    EXPECT_EQ(handle_, nullptr);
}

TEST_F(IICCtrlTest, ReleaseClosesOnceAndClearsTheSlot)
{
    Open();
    EXPECT_EQ(IICCtrl_Release(&handle_), 0);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_FALSE(g_lm73.open);
    EXPECT_EQ(IICCtrl_Release(&handle_), -1);
    EXPECT_EQ(IICCtrl_Release(nullptr), -1);
}

TEST_F(IICCtrlTest, VersionInfoIsTheOptionsVersionLittleEndian)
{
    uint8_t info[4] = {};
    EXPECT_EQ(IICCtrl_GetVersionInfo(info), 0);
    EXPECT_EQ(Bytes(info, info + 4), (Bytes{1, 0, 0, 2}));
    uint32_t word = info[0] | info[1] << 8 | info[2] << 16 | (uint32_t)info[3] << 24;
    EXPECT_EQ(word, IICCTRL_VERSION);
    EXPECT_EQ(IICCtrl_QueryMemSize(), -1);
}

/* ---- what goes over the bus ---- */

struct Step {
    Lm73Op op;
    unsigned addr;
    Bytes bytes;
};

struct TransferCase {
    const char *name;
    int32_t mode;
    std::function<int(IICCtrlObject *)> call;
    std::vector<Step> steps;
    int rc;
    const char *out;
};

void PrintTo(const TransferCase &c, std::ostream *os)
{
    *os << c.name;
}

uint8_t g_byte;
uint16_t g_word;
Bytes g_buf(8200);

const Bytes kData8190(8190, 0x5A);
const Bytes kData8191(8191, 0x5A);

Bytes Concat(Bytes head, const Bytes &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const TransferCase kTransferCases[] = {
    {"ReadWordReachesSevenBitAddress", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadWordReg(h, 0x94, 0x00, 0, &g_word); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x00}}, {LM73_OP_READ, 0x4A, {0x0C, 0x80}}},
     0, ""},
    {"WriteWordHighByteFirst", 4,
     [](IICCtrlObject *h) { return IICCtrl_WriteWordReg(h, 0x94, 0x02, 0, 0x0780); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x02, 0x07, 0x80}}}, 0, ""},
    {"ReadRegSeparateTransfers", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadReg(h, 0x94, 0x04, &g_byte); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x04}}, {LM73_OP_READ, 0x4A, {0x08}}}, 0,
     ""},
    {"ReadRegCombinedInModeFive", 5,
     [](IICCtrlObject *h) { return IICCtrl_ReadReg(h, 0x94, 0x04, &g_byte); },
     {{LM73_OP_RDWR, 0x4A, {0x04, 0x08}}}, 0, ""},
    {"NoStopReadSelectsNothing", 4,
     [](IICCtrlObject *h) { return IICCtrl_NoStopReadReg(h, 0x94, 0x01, &g_byte); },
     {{LM73_OP_RDWR, 0x4A, {0x01, 0x40}}}, 0, ""},
    {"WriteRegOneMessage", 4, [](IICCtrlObject *h) { return IICCtrl_WriteReg(h, 0x94, 0x01, 0x48); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x01, 0x48}}}, 0, ""},
    {"ReadBufAfterRegister", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadBuf(h, 0x94, 0x02, 3, g_buf.data()); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x02}}, {LM73_OP_READ, 0x4A, {0x20, 0x00, 0xFF}}},
     0, ""},
    {"WriteBufAtMaximum", 4,
     [](IICCtrlObject *h) {
         const uint8_t data[2] = {0x12, 0x34};
         return IICCtrl_WriteBuf(h, 0x94, 0x03, 2, data);
     },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x03, 0x12, 0x34}}}, 0, ""},
    {"WriteBufAboveMaximumSendsNothing", 4,
     [](IICCtrlObject *h) {
         const uint8_t data[3] = {1, 2, 3};
         return IICCtrl_WriteBuf(h, 0x94, 0x03, 3, data);
     },
     {}, -1, "Invalid dwLength!\n"},
    /* The object's maximum field is the caller's to change; the buffer still bounds the copy. */
    {"WriteBufRaisedMaximumFillsTheBuffer", 4,
     [](IICCtrlObject *h) {
         h->dwMaxBufWriteLength = 0xFFFFFFFF;
         return IICCtrl_WriteBuf(h, 0x94, 0x03, 1023, kData8190.data());
     },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, Concat({0x03}, Bytes(1023, 0x5A))}}, 0, ""},
    {"WriteBufRaisedMaximumNeverOverflows", 4,
     [](IICCtrlObject *h) {
         h->dwMaxBufWriteLength = 0xFFFFFFFF;
         return IICCtrl_WriteBuf(h, 0x94, 0x03, 1024, kData8190.data());
     },
     {}, -1, "Invalid dwLength!\n"},
    {"CustomReadAddressMostSignificantFirst", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0x000102, 3, g_buf.data(), 1, 1); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x00, 0x01, 0x02}}, {LM73_OP_READ, 0x4A, {0x0C}}},
     0, ""},
    {"CustomReadWithoutAddress", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0x55, 0, g_buf.data(), 2, 1); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_READ, 0x4A, {0x0C, 0x80}}}, 0, ""},
    {"CustomReadLargest", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0, 0, g_buf.data(), 8192, 1); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_READ, 0x4A, Concat({0x0C, 0x80}, Bytes(8190, 0xFF))}}, 0,
     ""},
    {"CustomReadTooLarge", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0, 0, g_buf.data(), 8193, 1); },
     {}, -1, "Data size is limited to 8192 bytes!\n"},
    {"CustomReadSizeBeforeStopFlag", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0, 0, g_buf.data(), 8193, 0); },
     {}, -1, "Data size is limited to 8192 bytes!\n"},
    {"CustomReadStopFlagRefusedBeforeTheBus", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0, 9, g_buf.data(), 1, 0); },
     {}, -1,
     "Not support \"Combined R/W transfer (one stop only).\" Use IICCtrl_NoStopReadReg() instead.\n"},
    {"CustomReadAddressLengthRefusedAfterSelecting", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0, 5, g_buf.data(), 1, 1); },
     {{LM73_OP_SELECT, 0x4A, {}}}, -1, "Available length of Reg Address is between 1~4 bytes\n"},
    {"CustomWriteLargestAfterWordAddress", 4,
     [](IICCtrlObject *h) {
         return IICCtrl_WriteByteCustom(h, 0x94, 0x0001, 2, kData8190.data(), 8190);
     },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, Concat({0x00, 0x01}, kData8190)}}, 0, ""},
    {"CustomWriteTooLargeAfterWordAddress", 4,
     [](IICCtrlObject *h) {
         return IICCtrl_WriteByteCustom(h, 0x94, 0x0001, 2, kData8191.data(), 8191);
     },
     {}, -1, "Data size is limited to 8190 bytes!\n"},
    {"CustomWriteWithoutAddress", 4,
     [](IICCtrlObject *h) {
         const uint8_t data[2] = {0x01, 0x48};
         return IICCtrl_WriteByteCustom(h, 0x94, 0x77, 0, data, 2);
     },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x01, 0x48}}}, 0, ""},
    {"CustomWriteAddressLengthRefusedAfterSelecting", 4,
     [](IICCtrlObject *h) {
         const uint8_t data[1] = {0};
         return IICCtrl_WriteByteCustom(h, 0x94, 0, 5, data, 1);
     },
     {{LM73_OP_SELECT, 0x4A, {}}}, -1, "Available length of Reg Address is between 0~4 bytes\n"},
    {"ReadWithWordAddress", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadRegWithWordAddr(h, 0x94, 0x0004, &g_byte); },
     {{LM73_OP_SELECT, 0x4A, {}}, {LM73_OP_WRITE, 0x4A, {0x00, 0x04}}, {LM73_OP_READ, 0x4A, {0x0C}}},
     0, ""},
    {"ReadWithWordAddressNeedsOutput", 4,
     [](IICCtrlObject *h) { return IICCtrl_ReadRegWithWordAddr(h, 0x94, 0x0004, nullptr); }, {}, -1,
     "No memory allocated for read data!\n"},
    {"WriteWithWordAddress", 4,
     [](IICCtrlObject *h) { return IICCtrl_WriteRegWithWordAddr(h, 0x92, 0x0102, 0x33); },
     {{LM73_OP_SELECT, 0x49, {}}, {LM73_OP_WRITE, 0x49, {0x01, 0x02, 0x33}}}, -1,
     "i2c write failed.\n"},
};

class IICCtrlTransferTest : public IICCtrlTest, public testing::WithParamInterface<TransferCase> {};

TEST_P(IICCtrlTransferTest, SendsExactly)
{
    const TransferCase &c = GetParam();
    Open(c.mode);
    g_lm73.temperature = 0x0C80;
    Printed p = Capture([&] { return c.call(handle_); });
    EXPECT_EQ(p.rc, c.rc);
    EXPECT_EQ(p.out, c.out);
    EXPECT_EQ(p.err, "");
    ASSERT_EQ(g_lm73.transfers.size(), c.steps.size());
    for (size_t i = 0; i < c.steps.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g_lm73.transfers[i].op, c.steps[i].op);
        EXPECT_EQ(g_lm73.transfers[i].addr, c.steps[i].addr);
        EXPECT_EQ(g_lm73.transfers[i].bytes, c.steps[i].bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, IICCtrlTransferTest, testing::ValuesIn(kTransferCases),
                         [](const testing::TestParamInfo<TransferCase> &i) { return i.param.name; });

TEST_F(IICCtrlTest, WordValueIsFirstByteTimes256PlusSecond)
{
    Open();
    g_lm73.temperature = 0x0C80;
    g_lm73.thigh = 0xFD80;
    uint16_t temp = 0, thigh = 0;
    EXPECT_EQ(IICCtrl_ReadWordReg(handle_, 0x94, 0x00, 0, &temp), 0);
    EXPECT_EQ(IICCtrl_ReadWordReg(handle_, 0x94, 0x02, 0, &thigh), 0);
    EXPECT_EQ(temp, 0x0C80);
    EXPECT_EQ(thigh, 0xFD80);
    EXPECT_EQ(IICCtrl_WriteWordReg(handle_, 0x94, 0x03, 0, 0x1600), 0);
    EXPECT_EQ(g_lm73.tlow, 0x1600);
}

/* ---- null handles ---- */

TEST_F(IICCtrlTest, NullHandleIsRefusedWithNothingSent)
{
    uint8_t data[4] = {};
    const std::vector<std::pair<const char *, std::function<int()>>> calls = {
        {"ReadReg", [&] { return IICCtrl_ReadReg(nullptr, 0x94, 0, data); }},
        {"NoStopReadReg", [&] { return IICCtrl_NoStopReadReg(nullptr, 0x94, 0, data); }},
        {"WriteReg", [&] { return IICCtrl_WriteReg(nullptr, 0x94, 1, 0); }},
        {"ReadWordReg", [&] { return IICCtrl_ReadWordReg(nullptr, 0x94, 0, 0, &g_word); }},
        {"WriteWordReg", [&] { return IICCtrl_WriteWordReg(nullptr, 0x94, 2, 0, 1); }},
        {"ReadBuf", [&] { return IICCtrl_ReadBuf(nullptr, 0x94, 0, 2, data); }},
        {"WriteBuf", [&] { return IICCtrl_WriteBuf(nullptr, 0x94, 0, 5000, data); }},
        {"ReadRegWithWordAddr", [&] { return IICCtrl_ReadRegWithWordAddr(nullptr, 0x94, 0, nullptr); }},
        {"WriteRegWithWordAddr", [&] { return IICCtrl_WriteRegWithWordAddr(nullptr, 0x94, 0, 0); }},
        {"ReadByteCustom", [&] { return IICCtrl_ReadByteCustom(nullptr, 0x94, 0, 1, data, 1, 1); }},
        {"WriteByteCustom", [&] { return IICCtrl_WriteByteCustom(nullptr, 0x94, 0, 1, data, 1); }},
    };
    Open();
    for (const auto &call : calls) {
        SCOPED_TRACE(call.first);
        Printed p = Capture(call.second);
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.out, "Invalid Handle!\n");
        EXPECT_EQ(p.err, "");
    }
    EXPECT_TRUE(g_lm73.transfers.empty());
}

/* ---- failures of the bus ---- */

struct FailureCase {
    const char *name;
    Lm73Fault fault;
    std::function<int(IICCtrlObject *)> call;
    const char *out;
    const char *err;
};

void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.name;
}

Lm73Fault Fault(Lm73Op op, bool shortTransfer = false)
{
    Lm73Fault f;
    f.armed = true;
    f.op = op;
    f.shortTransfer = shortTransfer;
    return f;
}

const char kSlave[] = "ioctl I2C_SLAVE error!\n";
const char kSlaveForce[] = "ioctl I2C_SLAVE_FORCE error!\n";

const FailureCase kFailureCases[] = {
    {"SelectReadReg", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_ReadReg(h, 0x94, 4, &g_byte); }, "", kSlave},
    {"SelectWriteReg", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_WriteReg(h, 0x94, 4, 0); }, "", kSlave},
    {"SelectReadBuf", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_ReadBuf(h, 0x94, 0, 2, g_buf.data()); }, "", kSlave},
    {"SelectWriteBuf", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_WriteBuf(h, 0x94, 0, 1, g_buf.data()); }, "", kSlave},
    {"SelectReadCustom", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0, 1, g_buf.data(), 1, 1); }, "",
     kSlave},
    {"SelectWriteCustom", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_WriteByteCustom(h, 0x94, 0, 1, g_buf.data(), 1); }, "",
     kSlave},
    {"SelectReadWord", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_ReadWordReg(h, 0x94, 0, 0, &g_word); }, "", kSlaveForce},
    {"SelectWriteWord", Fault(LM73_OP_SELECT),
     [](IICCtrlObject *h) { return IICCtrl_WriteWordReg(h, 0x94, 2, 0, 1); }, "", kSlaveForce},
    {"WriteRefused", Fault(LM73_OP_WRITE),
     [](IICCtrlObject *h) { return IICCtrl_WriteWordReg(h, 0x94, 2, 0, 1); }, "i2c write failed.\n", ""},
    {"WriteShort", Fault(LM73_OP_WRITE, true),
     [](IICCtrlObject *h) { return IICCtrl_WriteReg(h, 0x94, 1, 0x48); }, "i2c write failed.\n", ""},
    {"AddressWriteShort", Fault(LM73_OP_WRITE, true),
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0x0001, 2, g_buf.data(), 1, 1); },
     "i2c write failed.\n", ""},
    {"ReadRefused", Fault(LM73_OP_READ),
     [](IICCtrlObject *h) { return IICCtrl_ReadBuf(h, 0x94, 0, 2, g_buf.data()); },
     "i2c read failed.\n", ""},
    {"ReadShort", Fault(LM73_OP_READ, true),
     [](IICCtrlObject *h) { return IICCtrl_ReadReg(h, 0x94, 4, &g_byte); }, "i2c read failed.\n", ""},
    {"CustomReadShort", Fault(LM73_OP_READ, true),
     [](IICCtrlObject *h) { return IICCtrl_ReadByteCustom(h, 0x94, 0, 0, g_buf.data(), 4, 1); },
     "i2c read failed.\n", ""},
    {"CombinedSilent", Fault(LM73_OP_RDWR),
     [](IICCtrlObject *h) { return IICCtrl_NoStopReadReg(h, 0x94, 4, &g_byte); }, "", ""},
    {"NoDeviceAtAddress", Lm73Fault(),
     [](IICCtrlObject *h) { return IICCtrl_ReadReg(h, 0x96, 4, &g_byte); }, "i2c write failed.\n", ""},
    {"NoDeviceForCombined", Lm73Fault(),
     [](IICCtrlObject *h) { return IICCtrl_NoStopReadReg(h, 0x96, 4, &g_byte); }, "", ""},
};

class IICCtrlFailureTest : public IICCtrlTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(IICCtrlFailureTest, ReportsOnItsStreamAndStoresNothing)
{
    const FailureCase &c = GetParam();
    Open();
    g_lm73.fault = c.fault;
    g_byte = 0xA5;
    g_word = 0xBEEF;
    Printed p = Capture([&] { return c.call(handle_); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, c.out);
    EXPECT_EQ(p.err, c.err);
    EXPECT_EQ(g_byte, 0xA5);
    EXPECT_EQ(g_word, 0xBEEF);
}

INSTANTIATE_TEST_SUITE_P(Bus, IICCtrlFailureTest, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase> &i) { return i.param.name; });

TEST_F(IICCtrlTest, ShortWordReadStoresNothing)
{
    Open();
    lm73_fail(LM73_OP_READ, -1, 0, true);
    uint16_t word = 0x1234;
    Printed p = Capture([&] { return IICCtrl_ReadWordReg(handle_, 0x94, 0, 0, &word); });
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.out, "i2c read failed.\n");
    EXPECT_EQ(word, 0x1234);
}

}  // namespace

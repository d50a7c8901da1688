#include "IICCtrl.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "i2c_sys.h"
#include "rootpath.h"

/* Both selection messages make the same request; callers tell them apart. */
static const char kSelectMsg[] = "ioctl I2C_SLAVE error!\n";
static const char kSelectForceMsg[] = "ioctl I2C_SLAVE_FORCE error!\n";

static const uint8_t kVersionInfo[4] = {1, 0, 0, 2};

/* The combined transfer: a register write and a one-byte read. */
enum { NO_STOP_MSG_COUNT = 2 };

static bool valid_handle(const IICCtrlObject *handle)
{
    if (handle == NULL) {
        puts("Invalid Handle!");
        return false;
    }
    return true;
}

static int select_device(const IICCtrlObject *handle, uint8_t addr, const char *failMsg)
{
    if (g_i2cSys->ioctl(handle->fd, I2C_SLAVE_FORCE, (unsigned long)(addr >> 1)) < 0) {
        fputs(failMsg, stderr);
        return -1;
    }
    return 0;
}

static int write_bytes(const IICCtrlObject *handle, const uint8_t *buf, size_t len)
{
    ssize_t n = g_i2cSys->write(handle->fd, buf, len);
    if (n < 0 || (size_t)n < len) {
        puts("i2c write failed.");
        return -1;
    }
    return 0;
}

static int read_bytes(const IICCtrlObject *handle, uint8_t *buf, size_t len)
{
    ssize_t n = g_i2cSys->read(handle->fd, buf, len);
    if (n < 0 || (size_t)n < len) {
        puts("i2c read failed.");
        return -1;
    }
    return 0;
}

/* Select, write the 8-bit register, read out[size]. */
static int read_after_reg(const IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                          uint8_t *out, size_t size, const char *selectMsg)
{
    if (select_device(handle, addr, selectMsg) != 0)
        return -1;
    if (write_bytes(handle, &reg, 1) != 0)
        return -1;
    return read_bytes(handle, out, size);
}

/* Puts the low `len` bytes of regAddr into out[len], most significant first. */
static void put_reg_addr(uint8_t *out, uint32_t regAddr, uint32_t len)
{
    for (uint32_t i = 0; i < len; i++)
        out[i] = (uint8_t)(regAddr >> (8 * (len - 1 - i)));
}

/* The node to open: the caller's, or the default under the root prefix;
 * null when the prefixed default does not fit in buf[size]. */
static const char *node_path(const IICCtrlInitOptions *options, char *buf, size_t size)
{
    if (options->pszDevicePath != NULL)
        return options->pszDevicePath;
    if (root_path(I2C_BUS_PATH, buf, size) != 0)
        return NULL;
    return buf;
}

/* Names the node that could not be opened, or the prefixed default that did not fit. */
static void report_open_failure(const char *path)
{
    if (path != NULL)
        printf("open %s error!\n", path);
    else
        printf("open %s%s error!\n", root_prefix(), I2C_BUS_PATH);
}

int IICCtrl_Initial(IICCtrlObject **slot, const IICCtrlInitOptions *options)
{
    if (slot == NULL || options == NULL) {
        puts("Invalid Argument!");
        return -1;
    }
    if (options->dwVersion != IICCTRL_VERSION) {
        puts("Version Mismatch!");
        return -1;
    }
    if (options->dwMaxBufWriteLength >= IICCTRL_WRITEBUF_SIZE) {
        puts("Invalid Argument!");
        return -1;
    }
    IICCtrlObject *obj = (IICCtrlObject *)malloc(sizeof *obj);
    if (obj == NULL) {
        puts("malloc error");
        return -1;
    }
    obj->dwTransferMode = options->dwTransferMode;
    obj->dwMaxBufWriteLength = options->dwMaxBufWriteLength;
    obj->dwReserved = options->dwReserved;

    char resolved[ROOT_PATH_MAX];
    const char *path = node_path(options, resolved, sizeof resolved);
    /* A prefix too long for the buffer must not fall back to the real node. */
    obj->fd = path != NULL ? g_i2cSys->open(path, O_RDWR) : -1;
    if (obj->fd < 0) {
        report_open_failure(path);
        free(obj);
        return -1;
    }
    *slot = obj;
    return 0;
}

int IICCtrl_Release(IICCtrlObject **slot)
{
    if (slot == NULL || *slot == NULL)
        return -1;
    g_i2cSys->close((*slot)->fd);
    free(*slot);
    *slot = NULL;
    return 0;
}

int IICCtrl_QueryMemSize(void)
{
    return -1;
}

int IICCtrl_GetVersionInfo(uint8_t out[4])
{
    memcpy(out, kVersionInfo, sizeof kVersionInfo);
    return 0;
}

int IICCtrl_NoStopReadReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg, uint8_t *out)
{
    if (!valid_handle(handle))
        return -1;
    uint8_t value = 0;
    struct i2c_msg msgs[NO_STOP_MSG_COUNT] = {
        {(uint16_t)(addr >> 1), 0, 1, &reg},
        {(uint16_t)(addr >> 1), I2C_M_RD, 1, &value},
    };
    struct i2c_rdwr_ioctl_data data = {msgs, NO_STOP_MSG_COUNT};
    /* The kernel answers with the number of messages done; fewer is a failure too. */
    if (g_i2cSys->ioctl(handle->fd, I2C_RDWR, (unsigned long)&data) != NO_STOP_MSG_COUNT)
        return -1;
    *out = value;
    return 0;
}

int IICCtrl_ReadReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg, uint8_t *out)
{
    if (!valid_handle(handle))
        return -1;
    if (handle->dwTransferMode == IICCTRL_MODE_NO_STOP_READ)
        return IICCtrl_NoStopReadReg(handle, addr, reg, out);
    return read_after_reg(handle, addr, reg, out, 1, kSelectMsg);
}

int IICCtrl_WriteReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg, uint8_t value)
{
    if (!valid_handle(handle))
        return -1;
    if (select_device(handle, addr, kSelectMsg) != 0)
        return -1;
    const uint8_t buf[2] = {reg, value};
    return write_bytes(handle, buf, sizeof buf);
}

int IICCtrl_ReadWordReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                        uint32_t reserved, uint16_t *out)
{
    (void)reserved;
    if (!valid_handle(handle))
        return -1;
    uint8_t buf[2];
    if (read_after_reg(handle, addr, reg, buf, sizeof buf, kSelectForceMsg) != 0)
        return -1;
    *out = (uint16_t)(buf[0] << 8 | buf[1]);
    return 0;
}

int IICCtrl_WriteWordReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                         uint32_t reserved, uint16_t value)
{
    (void)reserved;
    if (!valid_handle(handle))
        return -1;
    if (select_device(handle, addr, kSelectForceMsg) != 0)
        return -1;
    const uint8_t buf[3] = {reg, (uint8_t)(value >> 8), (uint8_t)value};
    return write_bytes(handle, buf, sizeof buf);
}

int IICCtrl_ReadBuf(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                    uint32_t size, uint8_t *out)
{
    if (!valid_handle(handle))
        return -1;
    return read_after_reg(handle, addr, reg, out, size, kSelectMsg);
}

int IICCtrl_WriteBuf(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                     uint32_t dwLength, const uint8_t *data)
{
    if (!valid_handle(handle))
        return -1;
    /* The object's maximum was checked against the buffer when it was made, but its
     * owner can change it since: the buffer bounds the copy whatever the field says. */
    if (dwLength > handle->dwMaxBufWriteLength || dwLength >= IICCTRL_WRITEBUF_SIZE) {
        puts("Invalid dwLength!");
        return -1;
    }
    if (select_device(handle, addr, kSelectMsg) != 0)
        return -1;
    uint8_t buf[IICCTRL_WRITEBUF_SIZE];
    buf[0] = reg;
    if (dwLength > 0)
        memcpy(buf + 1, data, dwLength);
    return write_bytes(handle, buf, 1 + (size_t)dwLength);
}

int IICCtrl_ReadByteCustom(IICCtrlObject *handle, uint8_t addr, uint32_t regAddr,
                           uint32_t regAddrLen, uint8_t *out, uint32_t size, int stopFlag)
{
    if (!valid_handle(handle))
        return -1;
    if (size > IICCTRL_CUSTOM_MAX) {
        puts("Data size is limited to 8192 bytes!");
        return -1;
    }
    if (stopFlag != 1) {
        puts("Not support \"Combined R/W transfer (one stop only).\" "
             "Use IICCtrl_NoStopReadReg() instead.");
        return -1;
    }
    if (select_device(handle, addr, kSelectMsg) != 0)
        return -1;
    if (regAddrLen != 0) {
        if (regAddrLen > IICCTRL_REG_ADDR_MAX) {
            puts("Available length of Reg Address is between 1~4 bytes");
            return -1;
        }
        uint8_t addrBytes[IICCTRL_REG_ADDR_MAX];
        put_reg_addr(addrBytes, regAddr, regAddrLen);
        if (write_bytes(handle, addrBytes, regAddrLen) != 0)
            return -1;
    }
    return read_bytes(handle, out, size);
}

int IICCtrl_WriteByteCustom(IICCtrlObject *handle, uint8_t addr, uint32_t regAddr,
                            uint32_t regAddrLen, const uint8_t *data, uint32_t length)
{
    if (!valid_handle(handle))
        return -1;
    /* Unsigned on purpose: an address length above the limit is refused below. */
    if (IICCTRL_CUSTOM_MAX - regAddrLen < length) {
        printf("Data size is limited to %d bytes!\n", (int)(IICCTRL_CUSTOM_MAX - regAddrLen));
        return -1;
    }
    if (select_device(handle, addr, kSelectMsg) != 0)
        return -1;
    if (regAddrLen > IICCTRL_REG_ADDR_MAX) {
        puts("Available length of Reg Address is between 0~4 bytes");
        return -1;
    }
    uint8_t buf[IICCTRL_CUSTOM_MAX];
    put_reg_addr(buf, regAddr, regAddrLen);
    if (length > 0)
        memcpy(buf + regAddrLen, data, length);
    return write_bytes(handle, buf, (size_t)regAddrLen + length);
}

int IICCtrl_ReadRegWithWordAddr(IICCtrlObject *handle, uint8_t addr, uint16_t regAddr,
                                uint8_t *out)
{
    if (!valid_handle(handle))
        return -1;
    if (out == NULL) {
        puts("No memory allocated for read data!");
        return -1;
    }
    return IICCtrl_ReadByteCustom(handle, addr, regAddr, 2, out, 1, 1);
}

int IICCtrl_WriteRegWithWordAddr(IICCtrlObject *handle, uint8_t addr, uint16_t regAddr,
                                 uint8_t value)
{
    if (!valid_handle(handle))
        return -1;
    return IICCtrl_WriteByteCustom(handle, addr, regAddr, 2, &value, 1);
}

/*
 * IICCtrl.h - register access to devices on a Linux I2C bus (i2c-dev).
 *
 * IICCtrl_Initial opens the bus node into a handle slot and IICCtrl_Release
 * closes it again; the other operations read and write device registers:
 * one byte or one 16-bit word at an 8-bit register, a block after an 8-bit
 * register, and byte strings after a register address of 0 to 4 bytes.
 *
 * Device addresses are given in 8-bit form (the 7-bit bus address shifted
 * left by one); the kernel is handed the address shifted right by one.
 * Register addresses and 16-bit values travel most significant byte first.
 * Every transfer selects its device first (I2C_SLAVE_FORCE), except the
 * combined transfer, which is one I2C_RDWR request.
 *
 * All operations return 0 on success and -1 on failure, after printing
 * their own message (IICCtrl_QueryMemSize always returns -1). Nothing is
 * retried; a failed block read may have filled part of the caller's buffer.
 *
 * The kernel is reached through the table of i2c_sys.h. An object has no
 * lock: a caller sharing one between threads serialises the operations.
 */
#ifndef OMBRELLE_IICCTRL_H
#define OMBRELLE_IICCTRL_H

#include <stdint.h>

#define IICCTRL_VERSION 0x02000001u

/* Transfer mode in which IICCtrl_ReadReg uses the combined transfer. */
#define IICCTRL_MODE_NO_STOP_READ 5

/* The write buffer of IICCtrl_WriteBuf holds the register byte and 1023 data bytes. */
enum { IICCTRL_WRITEBUF_SIZE = 1024 };

/* Limit of one custom transfer, register address bytes included. */
enum { IICCTRL_CUSTOM_MAX = 8192 };

/* Longest register address of the custom transfers, in bytes. */
enum { IICCTRL_REG_ADDR_MAX = 4 };

typedef struct {
    uint32_t dwVersion;          /* must be IICCTRL_VERSION */
    int32_t dwTransferMode;      /* IICCTRL_MODE_NO_STOP_READ or any other */
    uint32_t dwMaxBufWriteLength; /* below IICCTRL_WRITEBUF_SIZE */
    uint32_t dwReserved;         /* copied, never read */
    const char *pszDevicePath;   /* null: "/dev/i2c-0" under the root prefix */
    uint32_t dwReserved2;        /* not read */
} IICCtrlInitOptions;

typedef struct {
    int32_t dwTransferMode;
    uint32_t dwMaxBufWriteLength;
    uint32_t dwReserved;
    int fd;
} IICCtrlObject;

/*
 * Validates the options, allocates the object, opens the node read-write
 * and stores the object in *slot. On failure *slot is left as it was.
 * A slot that already held an object is overwritten without releasing it.
 */
int IICCtrl_Initial(IICCtrlObject **slot, const IICCtrlInitOptions *options);

/* Closes the node, frees the object and sets *slot to null; -1 when empty. */
int IICCtrl_Release(IICCtrlObject **slot);

/* No memory to query: always -1. */
int IICCtrl_QueryMemSize(void);

/* Stores the version bytes 1, 0, 0, 2 into out[4]; returns 0. */
int IICCtrl_GetVersionInfo(uint8_t out[4]);

int IICCtrl_ReadReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg, uint8_t *out);
int IICCtrl_NoStopReadReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg, uint8_t *out);
int IICCtrl_WriteReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg, uint8_t value);

/* *out is set only when both bytes arrived: first byte * 256 + second. */
int IICCtrl_ReadWordReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                        uint32_t reserved, uint16_t *out);
int IICCtrl_WriteWordReg(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                         uint32_t reserved, uint16_t value);

/* Reads size bytes into out[size]. */
int IICCtrl_ReadBuf(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                    uint32_t size, uint8_t *out);

/* Sends the register and data[dwLength]; dwLength at most the object's maximum,
 * and below IICCTRL_WRITEBUF_SIZE whatever the maximum field holds. */
int IICCtrl_WriteBuf(IICCtrlObject *handle, uint8_t addr, uint8_t reg,
                     uint32_t dwLength, const uint8_t *data);

/*
 * Writes regAddr in regAddrLen bytes (none for 0), then reads size bytes
 * into out[size]. stopFlag must be 1. A null handle is refused first.
 */
int IICCtrl_ReadByteCustom(IICCtrlObject *handle, uint8_t addr, uint32_t regAddr,
                           uint32_t regAddrLen, uint8_t *out, uint32_t size, int stopFlag);

/*
 * Writes regAddr in regAddrLen bytes followed by data[length], as one
 * message. A null handle is refused first.
 */
int IICCtrl_WriteByteCustom(IICCtrlObject *handle, uint8_t addr, uint32_t regAddr,
                            uint32_t regAddrLen, const uint8_t *data, uint32_t length);

int IICCtrl_ReadRegWithWordAddr(IICCtrlObject *handle, uint8_t addr, uint16_t regAddr,
                                uint8_t *out);
int IICCtrl_WriteRegWithWordAddr(IICCtrlObject *handle, uint8_t addr, uint16_t regAddr,
                                 uint8_t value);

#endif

#include "thermallib.h"

#include <stdio.h>

ThermalDevice g_thermalDevice;
ThermalParam g_thermalPrm;

/* The driver's bus options: separate write and read transfers, word writes. */
enum { THERMAL_I2C_MODE = 4, THERMAL_MAX_BUF_WRITE = 2 };

/* Temperature format: two's complement, 128 counts per degree Celsius. */
#define LM73_COUNTS_PER_DEGREE 128.0f
#define LM73_TEMP_MASK 0xFFFC /* bits 1 and 0 carry no temperature */
#define LM73_SIGN_BIT 0x8000
#define LM73_SIGN_WEIGHT 0x10000 /* taken off when bit 15 is set, so it weighs -256 degrees */
#define LM73_WHOLE_DEGREE_SHIFT 7 /* bit 7 is 1 degree */
#define LM73_THRESHOLD_OFFSET 256 /* negative thresholds count up from -256 degrees */

/* A threshold keeps the 8 bits of whole degrees that fit between bit 7 and bit 14. */
enum { THRESHOLD_BITS = 8 };

float thermallib_SensorFormatToFloat(uint16_t value)
{
    int32_t counts = (int32_t)(value & LM73_TEMP_MASK);
    if (value & LM73_SIGN_BIT)
        counts -= LM73_SIGN_WEIGHT;
    /* Exact in single precision: counts fit in 17 bits and 128 is a power of two. */
    float degrees = (float)counts / LM73_COUNTS_PER_DEGREE;
    if (g_thermalPrm.iUnit == THERMAL_UNIT_FAHRENHEIT)
        degrees = degrees * 9.0f / 5.0f + 32.0f;
    return degrees;
}

void thermallib_DecimalToBinary(int value, int *bits, size_t count)
{
    size_t i = 0;
    while (value > 1 && i < count) {
        bits[i++] = value & 1;
        value >>= 1;
    }
    /* Truncated toward zero: an odd negative value stores -1, whose lowest bit is 1. */
    if (i < count)
        bits[i] = value % 2;
}

void thermallib_IntToRegFmt(int value, uint16_t *out)
{
    uint16_t reg = 0;
    if (value < 0) {
        reg = LM73_SIGN_BIT;
        value += LM73_THRESHOLD_OFFSET;
    }
    int bits[THRESHOLD_BITS] = {0};
    thermallib_DecimalToBinary(value, bits, THRESHOLD_BITS);
    if (value >= 0) {
        for (int k = 0; k < THRESHOLD_BITS; k++) {
            if (bits[k] != 0)
                reg |= (uint16_t)(1u << (LM73_WHOLE_DEGREE_SHIFT + k));
        }
    } else if (bits[0] != 0) {
        /* Below -256 degrees only the lowest bit is kept. */
        reg |= (uint16_t)(1u << LM73_WHOLE_DEGREE_SHIFT);
    }
    *out = reg;
    printf("0x%02x\n", reg);
}

int thermallib_I2c_initial(IICCtrlObject **slot, int mode)
{
    IICCtrlInitOptions options = {IICCTRL_VERSION, mode, THERMAL_MAX_BUF_WRITE, 0, NULL, 0};
    return IICCtrl_Initial(slot, &options) != 0 ? -1 : 0;
}

int thermallib_TestI2CAddress(IICCtrlObject *handle)
{
    uint16_t discarded;
    if (IICCtrl_ReadWordReg(handle, g_thermalDevice.byCurAddr, g_thermalDevice.byTempReg, 0,
                            &discarded) == 0) {
        puts("[DBG] use main I2C address");
        return 0;
    }
    if (IICCtrl_ReadWordReg(handle, g_thermalDevice.byAltAddr, g_thermalDevice.byTempReg, 0,
                            &discarded) == 0) {
        g_thermalDevice.byCurAddr = g_thermalDevice.byAltAddr;
        puts("[DBG] use alternate I2C address");
        return 0;
    }
    puts("Can not access thermal sensor!");
    return -1;
}

/* Writes one threshold register and reports it with the caller's two lines. */
static int write_threshold(IICCtrlObject *handle, uint8_t reg, uint16_t value,
                           const char *failMsg, const char *okMsg)
{
    if (IICCtrl_WriteWordReg(handle, g_thermalDevice.byCurAddr, reg, 0, value) != 0) {
        puts(failMsg);
        return -1;
    }
    puts(okMsg);
    return 0;
}

static int write_thigh(IICCtrlObject *handle)
{
    return write_threshold(handle, LM73_REG_THIGH, g_thermalPrm.wTHighReg,
                           "Set Thigh register fail!", "Set Thigh register successfully!");
}

static int write_tlow(IICCtrlObject *handle)
{
    return write_threshold(handle, LM73_REG_TLOW, g_thermalPrm.wTLowReg,
                           "Set Tlow register fail!", "Set Tlow register successfully!");
}

int thermallib_LM73Init(IICCtrlObject *handle)
{
    thermallib_IntToRegFmt(g_thermalPrm.iTHigh, &g_thermalPrm.wTHighReg);
    thermallib_IntToRegFmt(g_thermalPrm.iTLow, &g_thermalPrm.wTLowReg);

    if (IICCtrl_WriteReg(handle, g_thermalDevice.byCurAddr, LM73_REG_CONFIG,
                         LM73_CONFIG_VALUE) != 0) {
        puts("Set configuration register fail!");
        return -1;
    }
    puts("Set configuration register successfully!");

    if (write_thigh(handle) != 0)
        return -1;
    printf("Current THigh: %3.2f\n", thermallib_SensorFormatToFloat(g_thermalPrm.wTHighReg));

    if (write_tlow(handle) != 0)
        return -1;
    printf("Current TLow: %3.2f\n", thermallib_SensorFormatToFloat(g_thermalPrm.wTLowReg));

    if (IICCtrl_WriteReg(handle, g_thermalDevice.byCurAddr, LM73_REG_CTRL, LM73_CTRL_VALUE) != 0) {
        puts("Set control/status register fail!");
        return -1;
    }
    puts("Set control/status register successfully!");
    return 0;
}

int ThermalSensor_GetCurSetting(void)
{
    IICCtrlObject *handle = g_thermalDevice.pI2CHandle;
    uint16_t reg;
    if (IICCtrl_ReadWordReg(handle, g_thermalDevice.byCurAddr, LM73_REG_THIGH, 0, &reg) != 0) {
        fprintf(stderr, "[%s] get THigh fail\n", __func__);
        return -1;
    }
    printf("Read from sensor > THigh: %3.2f\n", thermallib_SensorFormatToFloat(reg));
    if (IICCtrl_ReadWordReg(handle, g_thermalDevice.byCurAddr, LM73_REG_TLOW, 0, &reg) != 0) {
        fprintf(stderr, "[%s] get TLow fail\n", __func__);
        return -1;
    }
    printf("Read from sensor > TLow: %3.2f\n", thermallib_SensorFormatToFloat(reg));
    return 0;
}

int ThermalSensor_Init(int THigh, int TLow)
{
    g_thermalDevice.byCurAddr = LM73_ADDR_MAIN;
    g_thermalDevice.byAltAddr = LM73_ADDR_ALT;
    g_thermalDevice.byTempReg = LM73_REG_TEMP;
    g_thermalPrm.iTHigh = THigh;
    g_thermalPrm.iTLow = TLow;
    g_thermalPrm.iUnit = THERMAL_UNIT_CELSIUS;

    if (thermallib_I2c_initial(&g_thermalDevice.pI2CHandle, THERMAL_I2C_MODE) != 0) {
        puts("Error: Initial I2C object fail !!");
        return -1;
    }
    if (thermallib_TestI2CAddress(g_thermalDevice.pI2CHandle) != 0) {
        IICCtrl_Release(&g_thermalDevice.pI2CHandle);
        return -1;
    }
    if (ThermalSensor_GetCurSetting() != 0)
        return -1;
    return thermallib_LM73Init(g_thermalDevice.pI2CHandle) != 0 ? -1 : 0;
}

int ThermalSensor_GetTemprature(int unit, float *out)
{
    g_thermalPrm.iUnit = unit;
    uint16_t reg;
    if (IICCtrl_ReadWordReg(g_thermalDevice.pI2CHandle, g_thermalDevice.byCurAddr,
                            g_thermalDevice.byTempReg, 0, &reg) != 0)
        return -1;
    *out = thermallib_SensorFormatToFloat(reg);
    printf("%3.2f Degrees\n", *out);
    return 0;
}

int ThermalSensor_HeaterRunning(int *out)
{
    uint8_t status;
    if (IICCtrl_ReadReg(g_thermalDevice.pI2CHandle, g_thermalDevice.byCurAddr, LM73_REG_CTRL,
                        &status) != 0) {
        /* Unknown counts as running, so the caller never takes the heater for off. */
        *out = 1;
        puts("Read control/status register fail!");
        return -1;
    }
    if (status & LM73_CTRL_ALRT_STAT) {
        *out = 1;
        puts("Alert pin is HIGH!");
    } else {
        *out = 0;
        puts("Alert pin is LOW!");
    }
    return 0;
}

int ThermalSensor_Heater_ChangeThreshold(int THigh, int TLow)
{
    g_thermalPrm.iTHigh = THigh;
    g_thermalPrm.iTLow = TLow;
    thermallib_IntToRegFmt(THigh, &g_thermalPrm.wTHighReg);
    thermallib_IntToRegFmt(TLow, &g_thermalPrm.wTLowReg);
    if (write_thigh(g_thermalDevice.pI2CHandle) != 0)
        return -1;
    return write_tlow(g_thermalDevice.pI2CHandle);
}

int ThermalSensor_Deinit(void)
{
    IICCtrl_Release(&g_thermalDevice.pI2CHandle);
    return 0;
}

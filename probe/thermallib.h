/*
 * thermallib.h - the driver of the on-board LM73 temperature sensor.
 *
 * ThermalSensor_Init opens the I2C bus, finds the sensor at its main or
 * alternate address, prints the thresholds it holds and programs its
 * configuration, THigh, TLow and control/status registers. The other
 * ThermalSensor_ operations read the temperature, read the alert pin (the
 * heater's state), reprogram the thresholds and close the bus; the
 * thermallib_ operations are the steps they are made of.
 *
 * Operations return 0 on success and -1 on failure, after printing their
 * message on standard output (the two of ThermalSensor_GetCurSetting go to
 * standard error). One sensor per process; the two records below are its
 * state, used from the process's single thread without a lock.
 */
#ifndef OMBRELLE_THERMALLIB_H
#define OMBRELLE_THERMALLIB_H

#include <stddef.h>
#include <stdint.h>

#include "IICCtrl.h"

/* Bus addresses in 8-bit form (7-bit 0x4A and 0x49). */
#define LM73_ADDR_MAIN 0x94
#define LM73_ADDR_ALT 0x92

/* Register pointers. */
#define LM73_REG_TEMP 0x00
#define LM73_REG_CONFIG 0x01
#define LM73_REG_THIGH 0x02
#define LM73_REG_TLOW 0x03
#define LM73_REG_CTRL 0x04

/* Configuration: reserved bit 6 set, ALRT RST; continuous, alert enabled, active low. */
#define LM73_CONFIG_VALUE 0x48
/* Control/status: bus time-out disabled, 11-bit resolution. */
#define LM73_CTRL_VALUE 0x80
/* Control/status bit 3: level of the alert pin. */
#define LM73_CTRL_ALRT_STAT 0x08

/* Units of g_thermalPrm.iUnit; any value but 1 means Celsius. */
#define THERMAL_UNIT_CELSIUS 0
#define THERMAL_UNIT_FAHRENHEIT 1

typedef struct {
    IICCtrlObject *pI2CHandle; /* null while the bus is closed */
    uint8_t byCurAddr;         /* used by every register access */
    uint8_t byAltAddr;
    uint8_t byTempReg;
} ThermalDevice;

typedef struct {
    int32_t iTHigh;     /* whole degrees Celsius, as requested */
    int32_t iTLow;
    uint16_t wTHighReg; /* the same in threshold register format */
    uint16_t wTLowReg;
    int32_t iUnit;      /* unit of every conversion and printout */
} ThermalParam;

extern ThermalDevice g_thermalDevice;
extern ThermalParam g_thermalPrm;

int ThermalSensor_Init(int THigh, int TLow);

/* Sets the unit for this and every later conversion; *out untouched on failure. */
int ThermalSensor_GetTemprature(int unit, float *out);

int ThermalSensor_GetCurSetting(void);

/* *out: 1 when the alert pin is high, and also when it cannot be read. */
int ThermalSensor_HeaterRunning(int *out);

int ThermalSensor_Heater_ChangeThreshold(int THigh, int TLow);

/* Releases the bus; always returns 0. */
int ThermalSensor_Deinit(void);

int thermallib_LM73Init(IICCtrlObject *handle);

/* Register value (temperature format) to degrees in g_thermalPrm.iUnit. */
float thermallib_SensorFormatToFloat(uint16_t value);

/* Whole degrees Celsius to threshold format in *out; prints "0x%02x\n" with it. */
void thermallib_IntToRegFmt(int value, uint16_t *out);

/* Writes the bits of value into bits[count], least significant first. */
void thermallib_DecimalToBinary(int value, int *bits, size_t count);

/* The presence probe: main address, then the alternate one (which then becomes current). */
int thermallib_TestI2CAddress(IICCtrlObject *handle);

/* Opens the default bus node into *slot with the given transfer mode. */
int thermallib_I2c_initial(IICCtrlObject **slot, int mode);

#endif

/*
 * lm73_emulator.h - an LM73 temperature sensor on an emulated I2C bus,
 * reached through the i2c_sys table (point g_i2cSys at lm73_emulator_ops).
 *
 * The device answers at one 7-bit address (none when it is 0) and holds the
 * five registers with the part's pointer behaviour: a write of one byte sets
 * the pointer, a longer write sets the pointer and writes the register
 * (16-bit registers most significant byte first), a read returns the pointed
 * register, most significant byte first, and 0xFF past its end. The
 * temperature register is read-only, as are the status bits 3..0 of
 * control/status (bit 3: the alert pin's level).
 *
 * Every call is recorded in g_lm73.transfers, and one fault can be armed to
 * fail a chosen operation. State is global, owned by the test's thread.
 */
#ifndef OMBRELLE_LM73_EMULATOR_H
#define OMBRELLE_LM73_EMULATOR_H

#include <stdint.h>

#include <string>
#include <vector>

#include "i2c_sys.h"

enum Lm73Op { LM73_OP_OPEN, LM73_OP_SELECT, LM73_OP_WRITE, LM73_OP_READ, LM73_OP_RDWR };

struct Lm73Transfer {
    Lm73Op op;
    unsigned addr;              /* 7-bit: selected (SELECT, WRITE, READ) or of the messages (RDWR) */
    std::vector<uint8_t> bytes; /* written, or read back; RDWR: the write then the read */
    bool ok;
};

/* Fails the matching calls of one kind once `skip` of them have passed. */
struct Lm73Fault {
    bool armed = false;
    Lm73Op op = LM73_OP_OPEN;
    int reg = -1;               /* -1 any; WRITE: the first byte sent; READ, RDWR: the pointer */
    int skip = 0;
    bool shortTransfer = false; /* WRITE, READ: one byte fewer instead of -1 */
};

struct Lm73Emulator {
    unsigned address = 0x4A;
    uint8_t pointer = 0;
    uint16_t temperature = 0;
    uint16_t thigh = 0;
    uint16_t tlow = 0;
    uint8_t config = 0;
    uint8_t ctrl = 0;

    std::string openedPath;
    int openFlags = 0;
    bool open = false;
    unsigned selected = 0;
    std::vector<Lm73Transfer> transfers;
    Lm73Fault fault;
};

extern Lm73Emulator g_lm73;
extern const i2c_sys_ops lm73_emulator_ops;

/* Power-on state at the given 7-bit address (0: no device), log emptied, no fault. */
void lm73_reset(unsigned address7);

void lm73_set_alert(bool high);

/* Arms the fault. */
void lm73_fail(Lm73Op op, int reg = -1, int skip = 0, bool shortTransfer = false);

/* The recorded calls of one kind. */
std::vector<Lm73Transfer> lm73_transfers(Lm73Op op);

/*
 * For the test build of the program: resets the device and takes its state
 * from LM73_EMU_ADDR (7-bit, hex, "none" for no device), LM73_EMU_TEMP,
 * LM73_EMU_THIGH, LM73_EMU_TLOW (register values, hex), LM73_EMU_ALERT (1
 * high) and LM73_EMU_FAULT ("op[:reg[:skip]]", op one of open, select,
 * write, read, rdwr, short-write, short-read). Returns false on a bad value.
 */
bool lm73_configure_from_env();

#endif

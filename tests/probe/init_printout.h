/*
 * init_printout.h - what initialising the sensor with THigh 15 and TLow 10
 * prints after the address line, the emulator's registers at power-on.
 */
#ifndef OMBRELLE_TEST_INIT_PRINTOUT_H
#define OMBRELLE_TEST_INIT_PRINTOUT_H

const char kInitPrintout[] =
    "Read from sensor > THigh: 64.00\n"
    "Read from sensor > TLow: 32.00\n"
    "0x780\n"
    "0x500\n"
    "Set configuration register successfully!\n"
    "Set Thigh register successfully!\n"
    "Current THigh: 15.00\n"
    "Set Tlow register successfully!\n"
    "Current TLow: 10.00\n"
    "Set control/status register successfully!\n";

#endif

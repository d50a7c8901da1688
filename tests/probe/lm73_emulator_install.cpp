/*
 * Links into the test build of coreprobe: the bus seam points at the
 * emulator, which takes its state from the environment when the program
 * opens the bus (by then every global of the emulator is constructed).
 */
#include <stdio.h>
#include <stdlib.h>

#include "lm73_emulator.h"

namespace {

int open_configured(const char *path, int flags)
{
    if (!lm73_configure_from_env()) {
        fputs("lm73 emulator: bad LM73_EMU_* value\n", stderr);
        exit(125);
    }
    return lm73_emulator_ops.open(path, flags);
}

const i2c_sys_ops kEnvOps = {open_configured, lm73_emulator_ops.close, lm73_emulator_ops.ioctl,
                             lm73_emulator_ops.read, lm73_emulator_ops.write};

bool install()
{
    g_i2cSys = &kEnvOps;
    return true;
}

const bool installed = install();

}  // namespace

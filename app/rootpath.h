/*
 * rootpath.h - the one place where fixed platform paths are resolved, and
 * where the variables that only tests set are read.
 *
 * Every fixed absolute path of the programs ("/var/log/Ombrelle.log",
 * "/dev/ttyS1", "/dev/i2c-0", ...) goes through root_path(). When the
 * environment variable OMBRELLE_ROOT is set and not empty the path is taken
 * under that directory, so tests and the simulated camera never touch the
 * real /var or /dev; otherwise it is the path itself.
 *
 * A program that runs with more privileges than the user who started it
 * (set-user-ID, set-group-ID, file capabilities) ignores OMBRELLE_ROOT and
 * every other test-only variable: through them any local user could make it
 * write where the user chooses. Read such variables with test_getenv().
 *
 * Paths under TS_APP_HOME are not fixed paths and do not come here.
 */
#ifndef OMBRELLE_ROOTPATH_H
#define OMBRELLE_ROOTPATH_H

#include <stddef.h>

/* Room for any resolved path, prefix included. */
enum { ROOT_PATH_MAX = 256 };

#define OMBRELLE_LOG_PATH "/var/log/Ombrelle.log"
#define PIPE_DIR_PATH "/var/extsensor"
#define PIPE_FILE_PATH "/var/extsensor/SensorData.txt"
#define SERIAL_PORT_PATH "/dev/ttyS1"
#define I2C_BUS_PATH "/dev/i2c-0"
#define INTERNAL_TEMP_PATH "/var/log/InternalTemp.log"

/*
 * Writes the resolved form of the absolute path `fixed` into out[size].
 * Returns 0, or -1 when it does not fit (out then holds an empty string).
 */
int root_path(const char *fixed, char *out, size_t size);

/* The prefix root_path() puts in front: "" when there is none. */
const char *root_prefix(void);

/* getenv() for a variable that only tests set: null while privileged. */
const char *test_getenv(const char *name);

/*
 * Seam: whether the process runs with elevated privileges. The default asks
 * the kernel (AT_SECURE, as secure_getenv does) and compares the real and
 * effective ids; a test points it elsewhere to act privileged without root.
 * Owner: the main thread, set before any other thread starts; no lock.
 */
extern bool (*rootpath_privileged)(void);

#endif

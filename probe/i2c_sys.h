/*
 * i2c_sys.h - the system calls under the I2C layer, as one table.
 *
 * IICCtrl reaches the i2c-dev node only through the table that g_i2cSys
 * points to. It points to i2c_sys_kernel, which calls the kernel directly;
 * a test points it at a device emulator before it opens the bus.
 *
 * Each entry behaves as the system call of the same name: a descriptor or
 * 0 on success, -1 on failure (read and write: the byte count, or -1).
 * ioctl takes its argument as the kernel does, one unsigned long that holds
 * a number (I2C_SLAVE_FORCE) or a pointer (I2C_RDWR).
 */
#ifndef OMBRELLE_I2C_SYS_H
#define OMBRELLE_I2C_SYS_H

#include <stddef.h>
#include <sys/types.h>

struct i2c_sys_ops {
    int (*open)(const char *path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, unsigned long arg);
    ssize_t (*read)(int fd, void *buf, size_t count);
    ssize_t (*write)(int fd, const void *buf, size_t count);
};

extern const struct i2c_sys_ops i2c_sys_kernel;

/*
 * The table in use. Owner: the process's single thread; set only before the
 * bus is opened, so it needs no lock.
 */
extern const struct i2c_sys_ops *g_i2cSys;

#endif

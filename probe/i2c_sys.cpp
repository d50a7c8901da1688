#include "i2c_sys.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int kernel_open(const char *path, int flags)
{
    return open(path, flags);
}

static int kernel_ioctl(int fd, unsigned long request, unsigned long arg)
{
    return ioctl(fd, request, arg);
}

const struct i2c_sys_ops i2c_sys_kernel = {
    kernel_open, close, kernel_ioctl, read, write,
};

const struct i2c_sys_ops *g_i2cSys = &i2c_sys_kernel;

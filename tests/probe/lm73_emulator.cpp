#include "lm73_emulator.h"

#include <errno.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdlib.h>
#include <string.h>

Lm73Emulator g_lm73;

namespace {

/* Any descriptor number the test process is unlikely to hold. */
const int kBusFd = 977;

const uint8_t kRegTemp = 0x00, kRegConfig = 0x01, kRegThigh = 0x02, kRegTlow = 0x03,
              kRegCtrl = 0x04;
const uint8_t kCtrlWritable = 0xE0; /* TO_DIS and the resolution bits */
const uint8_t kCtrlAlrtStat = 0x08;

/* Power-on values of the part. */
const uint16_t kPowerOnThigh = 0x2000; /* 64 degrees */
const uint16_t kPowerOnTlow = 0x1000;  /* 32 degrees */
const uint8_t kPowerOnConfig = 0x40;

bool fault_hits(Lm73Op op, int reg)
{
    Lm73Fault &f = g_lm73.fault;
    if (!f.armed || f.op != op || (f.reg >= 0 && f.reg != reg))
        return false;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    return true;
}

void record(Lm73Op op, unsigned addr, const uint8_t *bytes, size_t len, bool ok)
{
    g_lm73.transfers.push_back({op, addr, std::vector<uint8_t>(bytes, bytes + len), ok});
}

bool valid_pointer(uint8_t reg)
{
    return reg <= kRegCtrl;
}

bool answers(unsigned addr)
{
    return g_lm73.address != 0 && addr == g_lm73.address;
}

/* The pointed register's bytes, most significant first; returns its width. */
size_t register_bytes(uint8_t out[2])
{
    uint16_t word = 0;
    switch (g_lm73.pointer) {
    case kRegConfig:
        out[0] = g_lm73.config;
        return 1;
    case kRegCtrl:
        out[0] = g_lm73.ctrl;
        return 1;
    case kRegThigh:
        word = g_lm73.thigh;
        break;
    case kRegTlow:
        word = g_lm73.tlow;
        break;
    default:
        word = g_lm73.temperature;
        break;
    }
    out[0] = (uint8_t)(word >> 8);
    out[1] = (uint8_t)word;
    return 2;
}

void store_register(const uint8_t *data, size_t len)
{
    uint16_t word = len >= 2 ? (uint16_t)(data[0] << 8 | data[1]) : 0;
    switch (g_lm73.pointer) {
    case kRegConfig:
        g_lm73.config = data[0];
        break;
    case kRegCtrl:
        g_lm73.ctrl = (uint8_t)((data[0] & kCtrlWritable) | (g_lm73.ctrl & ~kCtrlWritable));
        break;
    case kRegThigh:
        if (len >= 2)
            g_lm73.thigh = word;
        break;
    case kRegTlow:
        if (len >= 2)
            g_lm73.tlow = word;
        break;
    default: /* the temperature is read-only */
        break;
    }
}

/* One message to the device; false when it does not acknowledge. */
bool device_write(unsigned addr, const uint8_t *buf, size_t len)
{
    if (!answers(addr) || len == 0 || !valid_pointer(buf[0]))
        return false;
    g_lm73.pointer = buf[0];
    if (len > 1)
        store_register(buf + 1, len - 1);
    return true;
}

bool device_read(unsigned addr, uint8_t *buf, size_t len)
{
    if (!answers(addr))
        return false;
    uint8_t reg[2];
    size_t width = register_bytes(reg);
    for (size_t i = 0; i < len; i++)
        buf[i] = i < width ? reg[i] : 0xFF;
    return true;
}

int emu_open(const char *path, int flags)
{
    g_lm73.openedPath = path;
    g_lm73.openFlags = flags;
    bool ok = !fault_hits(LM73_OP_OPEN, -1);
    record(LM73_OP_OPEN, 0, nullptr, 0, ok);
    if (!ok) {
        errno = ENOENT;
        return -1;
    }
    g_lm73.open = true;
    return kBusFd;
}

bool bad_fd(int fd)
{
    if (fd == kBusFd && g_lm73.open)
        return false;
    errno = EBADF;
    return true;
}

int emu_close(int fd)
{
    if (bad_fd(fd))
        return -1;
    g_lm73.open = false;
    return 0;
}

int emu_rdwr(const i2c_rdwr_ioctl_data *data)
{
    std::vector<uint8_t> bytes;
    bool ok = !fault_hits(LM73_OP_RDWR, data->nmsgs > 0 ? data->msgs[0].buf[0] : -1);
    unsigned addr = data->nmsgs > 0 ? data->msgs[0].addr : 0;
    for (unsigned i = 0; ok && i < data->nmsgs; i++) {
        const i2c_msg &msg = data->msgs[i];
        ok = (msg.flags & I2C_M_RD) ? device_read(msg.addr, msg.buf, msg.len)
                                    : device_write(msg.addr, msg.buf, msg.len);
        bytes.insert(bytes.end(), msg.buf, msg.buf + msg.len);
    }
    record(LM73_OP_RDWR, addr, bytes.data(), bytes.size(), ok);
    if (!ok) {
        errno = EREMOTEIO;
        return -1;
    }
    return (int)data->nmsgs;
}

int emu_ioctl(int fd, unsigned long request, unsigned long arg)
{
    if (bad_fd(fd))
        return -1;
    if (request == I2C_RDWR)
        return emu_rdwr((const i2c_rdwr_ioctl_data *)arg);
    if (request != I2C_SLAVE_FORCE || arg > 0x7F) {
        errno = EINVAL;
        return -1;
    }
    bool ok = !fault_hits(LM73_OP_SELECT, -1);
    record(LM73_OP_SELECT, (unsigned)arg, nullptr, 0, ok);
    if (!ok) {
        errno = EBUSY;
        return -1;
    }
    g_lm73.selected = (unsigned)arg;
    return 0;
}

ssize_t emu_write(int fd, const void *buf, size_t count)
{
    if (bad_fd(fd))
        return -1;
    const uint8_t *bytes = (const uint8_t *)buf;
    if (fault_hits(LM73_OP_WRITE, count > 0 ? bytes[0] : -1)) {
        record(LM73_OP_WRITE, g_lm73.selected, bytes, count, false);
        if (g_lm73.fault.shortTransfer && count > 0)
            return (ssize_t)count - 1;
        errno = EIO;
        return -1;
    }
    bool ok = device_write(g_lm73.selected, bytes, count);
    record(LM73_OP_WRITE, g_lm73.selected, bytes, count, ok);
    if (!ok) {
        errno = EREMOTEIO;
        return -1;
    }
    return (ssize_t)count;
}

ssize_t emu_read(int fd, void *buf, size_t count)
{
    if (bad_fd(fd))
        return -1;
    uint8_t *bytes = (uint8_t *)buf;
    if (answers(g_lm73.selected) && fault_hits(LM73_OP_READ, g_lm73.pointer)) {
        /* A short read delivers one byte fewer; a failed one delivers none. */
        size_t delivered = g_lm73.fault.shortTransfer && count > 0 ? count - 1 : 0;
        device_read(g_lm73.selected, bytes, delivered);
        record(LM73_OP_READ, g_lm73.selected, bytes, delivered, false);
        if (g_lm73.fault.shortTransfer && count > 0)
            return (ssize_t)delivered;
        errno = EIO;
        return -1;
    }
    bool ok = device_read(g_lm73.selected, bytes, count);
    record(LM73_OP_READ, g_lm73.selected, bytes, ok ? count : 0, ok);
    if (!ok) {
        errno = EREMOTEIO;
        return -1;
    }
    return (ssize_t)count;
}

bool parse_hex(const char *text, unsigned long max, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 16);
    if (errno != 0 || end == text || *end != '\0' || value > max)
        return false;
    *out = value;
    return true;
}

bool env_hex(const char *name, unsigned long max, unsigned long *out)
{
    const char *text = getenv(name);
    return text == nullptr || parse_hex(text, max, out);
}

bool parse_fault(const std::string &text)
{
    static const struct {
        const char *name;
        Lm73Op op;
        bool shortTransfer;
    } kOps[] = {
        {"open", LM73_OP_OPEN, false},   {"select", LM73_OP_SELECT, false},
        {"write", LM73_OP_WRITE, false}, {"read", LM73_OP_READ, false},
        {"rdwr", LM73_OP_RDWR, false},   {"short-write", LM73_OP_WRITE, true},
        {"short-read", LM73_OP_READ, true},
    };
    std::string name = text.substr(0, text.find(':'));
    std::string rest = text.size() > name.size() ? text.substr(name.size() + 1) : "";
    std::string reg = rest.substr(0, rest.find(':'));
    std::string skip = rest.size() > reg.size() ? rest.substr(reg.size() + 1) : "0";
    for (const auto &entry : kOps) {
        if (name != entry.name)
            continue;
        unsigned long regValue = 0, skipValue = 0;
        bool anyReg = reg.empty();
        if ((!anyReg && !parse_hex(reg.c_str(), 0xFF, &regValue)) ||
            !parse_hex(skip.c_str(), 0xFFFF, &skipValue))
            return false;
        lm73_fail(entry.op, anyReg ? -1 : (int)regValue, (int)skipValue, entry.shortTransfer);
        return true;
    }
    return false;
}

}  // namespace

const i2c_sys_ops lm73_emulator_ops = {emu_open, emu_close, emu_ioctl, emu_read, emu_write};

void lm73_reset(unsigned address7)
{
    g_lm73 = Lm73Emulator();
    g_lm73.address = address7;
    g_lm73.thigh = kPowerOnThigh;
    g_lm73.tlow = kPowerOnTlow;
    g_lm73.config = kPowerOnConfig;
    g_lm73.ctrl = kCtrlAlrtStat;
}

void lm73_set_alert(bool high)
{
    g_lm73.ctrl = (uint8_t)(high ? (g_lm73.ctrl | kCtrlAlrtStat) : (g_lm73.ctrl & ~kCtrlAlrtStat));
}

void lm73_fail(Lm73Op op, int reg, int skip, bool shortTransfer)
{
    g_lm73.fault.armed = true;
    g_lm73.fault.op = op;
    g_lm73.fault.reg = reg;
    g_lm73.fault.skip = skip;
    g_lm73.fault.shortTransfer = shortTransfer;
}

std::vector<Lm73Transfer> lm73_transfers(Lm73Op op)
{
    std::vector<Lm73Transfer> found;
    for (const Lm73Transfer &t : g_lm73.transfers) {
        if (t.op == op)
            found.push_back(t);
    }
    return found;
}

bool lm73_configure_from_env()
{
    unsigned long address = 0x4A;
    const char *addrText = getenv("LM73_EMU_ADDR");
    if (addrText != nullptr && strcmp(addrText, "none") == 0)
        address = 0;
    else if (!env_hex("LM73_EMU_ADDR", 0x7F, &address))
        return false;
    lm73_reset((unsigned)address);

    unsigned long temp = g_lm73.temperature, thigh = g_lm73.thigh, tlow = g_lm73.tlow, alert = 1;
    if (!env_hex("LM73_EMU_TEMP", 0xFFFF, &temp) || !env_hex("LM73_EMU_THIGH", 0xFFFF, &thigh) ||
        !env_hex("LM73_EMU_TLOW", 0xFFFF, &tlow) || !env_hex("LM73_EMU_ALERT", 1, &alert))
        return false;
    g_lm73.temperature = (uint16_t)temp;
    g_lm73.thigh = (uint16_t)thigh;
    g_lm73.tlow = (uint16_t)tlow;
    lm73_set_alert(alert != 0);

    const char *fault = getenv("LM73_EMU_FAULT");
    return fault == nullptr || parse_fault(fault);
}

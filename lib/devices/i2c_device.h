// The Linux I2C device interface (/dev/i2c-0, /dev/i2c-1) through which
// camtap and camtune program the TVP5150 video decoders: open a bus, select
// the slave with I2C_SLAVE and its 7-bit address, then write (and read) raw
// byte strings; the first byte written is the decoder's register number.
//
// Two backends, chosen at open: the real device when the resolved path is a
// character device, else a simulator. The simulator appends one line per
// successful write to a log file at the device path (created when missing),
// with one write() per line so lines of several processes never interleave:
//   "<sec>.<msec> write <bus> 0x<addr> <b0> <b1> ..."
// <sec>.<msec> is the wall-clock time, <bus> the number at the end of the
// device name (i2c-1 -> 1; -1 when the name has none), <addr> the 7-bit slave
// address (two lowercase hex digits), then every byte written as two
// lowercase hex digits. Example: camtune -d 2 -b 300 on bus 1 gives
//   "1712345678.123 write 1 0x5c 09 2c"
// Reads are not logged. The simulator behaves like a bus with a TVP5150 at
// every address: a write of one or more bytes sets the register pointer to
// the first byte and stores the others in consecutive registers; a read
// returns registers from the pointer on (auto-increment), starting from the
// decoder's power-on values (device id 0x51 0x50 at 0x80/0x81, brightness,
// saturation and contrast 0x80, ...). Registers live in the open record
// only. Chips can be taken off the simulated bus for tests: the file
// "<device path>.absent" lists 7-bit addresses (hex like "0x5c", separated by
// blanks, commas or lines; "*" = all); a write or read to such an address
// fails with ENXIO (no acknowledge), as on a real bus. I2C_SLAVE itself
// succeeds for every address up to 0x7f, as the kernel does; larger ones
// fail with EINVAL.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#ifndef I2C_SLAVE
#define I2C_SLAVE 0x0703  // same value as <linux/i2c-dev.h>
#endif
#ifndef I2C_SLAVE_FORCE
#define I2C_SLAVE_FORCE 0x0706
#endif

namespace dv {

struct I2cSim;

struct I2cDevice {
  int fd = -1;            // the real device, or the simulator's log file
  I2cSim* sim = nullptr;  // simulator state (null for the real device)
};

// Opens the bus at a logical device path ("/dev/i2c-0"), read-write. Returns
// 0, or -1 with errno.
int i2c_open(I2cDevice* dev, const char* logical_path);

// An ioctl of the I2C interface: I2C_SLAVE (or I2C_SLAVE_FORCE) with the
// 7-bit address. The simulator refuses other requests with ENOTTY. Returns 0
// or -1 with errno.
int i2c_ioctl(I2cDevice* dev, unsigned long request, unsigned long arg);

// Writes n bytes to the selected slave. Returns n, or -1 with errno (ENXIO
// in the simulator when no slave is selected or the chip is absent).
ssize_t i2c_write(I2cDevice* dev, const void* buf, size_t n);

// Reads n bytes from the selected slave. Returns n, or -1 with errno.
ssize_t i2c_read(I2cDevice* dev, void* buf, size_t n);

// Closes the bus. Safe on a closed record.
void i2c_close(I2cDevice* dev);

inline bool i2c_is_open(const I2cDevice* dev) { return dev->fd >= 0; }
inline bool i2c_is_simulated(const I2cDevice* dev) { return dev->sim != nullptr; }

// The TVP5150 power-on value of a register, as the simulator reads it.
uint8_t i2c_sim_tvp5150_default(uint8_t reg);

}  // namespace dv

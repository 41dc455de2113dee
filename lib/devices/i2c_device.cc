#include "lib/devices/i2c_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include "lib/platform/sysroot.h"

namespace dv {

struct I2cSim {
  int bus = -1;
  int addr = -1;  // selected 7-bit slave, -1 none
  std::string absent_path;
  struct Chip {
    std::array<uint8_t, 256> regs;
    uint8_t pointer = 0;
  };
  std::map<int, Chip> chips;
};

namespace {

// Bus number at the end of the device name: "/dev/i2c-1" -> 1.
int bus_of(const std::string& path) {
  size_t end = path.size(), i = end;
  while (i > 0 && path[i - 1] >= '0' && path[i - 1] <= '9') --i;
  if (i == end || end - i > 4 || i == 0 || path[i - 1] != '-') return -1;
  return std::stoi(path.substr(i));
}

// Whether the chip at addr is listed in the ".absent" file.
bool absent(const I2cSim* sim, int addr) {
  FILE* f = std::fopen(sim->absent_path.c_str(), "re");
  if (!f) return false;
  bool found = false;
  char tok[32];
  while (!found && std::fscanf(f, " %31[^ \t\r\n,]%*[ \t\r\n,]", tok) == 1) {
    if (tok[0] == '*' && tok[1] == 0) {
      found = true;
      break;
    }
    char* end;
    long v = std::strtol(tok, &end, 16);
    if (*end == 0 && v == addr) found = true;
  }
  std::fclose(f);
  return found;
}

I2cSim::Chip& chip(I2cSim* sim, int addr) {
  auto it = sim->chips.find(addr);
  if (it == sim->chips.end()) {
    I2cSim::Chip c;
    for (int r = 0; r < 256; ++r) c.regs[r] = i2c_sim_tvp5150_default(static_cast<uint8_t>(r));
    it = sim->chips.emplace(addr, c).first;
  }
  return it->second;
}

int sim_log_write(const I2cDevice* dev, const uint8_t* b, size_t n) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  std::string line(64 + 3 * n, '\0');
  int len = std::snprintf(line.data(), line.size(), "%lld.%03ld write %d 0x%02x",
                          static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000000L, dev->sim->bus,
                          dev->sim->addr);
  if (len < 0) return -1;
  line.resize(static_cast<size_t>(len));
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    line += ' ';
    line += kHex[b[i] >> 4];
    line += kHex[b[i] & 15];
  }
  line += '\n';
  ssize_t w;
  do {
    w = ::write(dev->fd, line.data(), line.size());
  } while (w < 0 && errno == EINTR);
  return w == static_cast<ssize_t>(line.size()) ? 0 : -1;
}

}  // namespace

uint8_t i2c_sim_tvp5150_default(uint8_t reg) {
  switch (reg) {
    case 0x01:
      return 0x15;  // analog channel controls
    case 0x03:
      return 0x01;  // miscellaneous controls
    case 0x04:
      return 0xDC;  // autoswitch mask
    case 0x06:
      return 0x10;  // colour killer threshold
    case 0x07:
      return 0x60;  // luminance processing 1
    case 0x09:
      return 0x80;  // brightness
    case 0x0A:
      return 0x80;  // colour saturation
    case 0x0C:
      return 0x80;  // contrast
    case 0x0D:
      return 0x47;  // outputs and data rates
    case 0x0F:
      return 0x08;  // shared pins
    case 0x15:
      return 0x01;  // genlock
    case 0x16:
      return 0x80;  // horizontal sync start
    case 0x1A:
      return 0x0C;  // chrominance control 1
    case 0x1B:
      return 0x14;  // chrominance control 2
    case 0x2E:
      return 0x0F;  // macrovision on counter
    case 0x2F:
      return 0x01;  // macrovision off counter
    case 0x80:
      return 0x51;  // device id, high byte
    case 0x81:
      return 0x50;  // device id, low byte
    case 0x82:
      return 0x04;  // ROM version
    case 0x84:
      return 0x02;  // vertical line count (625), high byte
    case 0x85:
      return 0x71;  // low byte
    case 0x88:
      return 0x6E;  // status 1: 50 Hz field, colour, vertical and horizontal lock
    case 0x8C:
      return 0x81;  // status 5: autoswitch, PAL
    default:
      return 0x00;
  }
}

int i2c_open(I2cDevice* dev, const char* logical_path) {
  i2c_close(dev);
  std::string path = sys_path(logical_path);
  if (is_char_device(path)) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    dev->fd = fd;
    return 0;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  dev->fd = fd;
  dev->sim = new I2cSim;
  dev->sim->bus = bus_of(path);
  dev->sim->absent_path = path + ".absent";
  return 0;
}

int i2c_ioctl(I2cDevice* dev, unsigned long request, unsigned long arg) {
  if (dev->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!dev->sim) return ::ioctl(dev->fd, request, arg) < 0 ? -1 : 0;
  if (request != I2C_SLAVE && request != I2C_SLAVE_FORCE) {
    errno = ENOTTY;
    return -1;
  }
  if (arg > 0x7F) {
    errno = EINVAL;
    return -1;
  }
  dev->sim->addr = static_cast<int>(arg);
  return 0;
}

ssize_t i2c_write(I2cDevice* dev, const void* buf, size_t n) {
  if (dev->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!dev->sim) {
    ssize_t w;
    do {
      w = ::write(dev->fd, buf, n);
    } while (w < 0 && errno == EINTR);
    return w;
  }
  if (n > 8192) {  // the kernel's limit for one message
    errno = EINVAL;
    return -1;
  }
  if (dev->sim->addr < 0 || absent(dev->sim, dev->sim->addr)) {
    errno = ENXIO;
    return -1;
  }
  const uint8_t* b = static_cast<const uint8_t*>(buf);
  if (n > 0) {
    I2cSim::Chip& c = chip(dev->sim, dev->sim->addr);
    c.pointer = b[0];
    for (size_t i = 1; i < n; ++i) c.regs[static_cast<uint8_t>(b[0] + i - 1)] = b[i];
  }
  if (sim_log_write(dev, b, n) != 0) return -1;
  return static_cast<ssize_t>(n);
}

ssize_t i2c_read(I2cDevice* dev, void* buf, size_t n) {
  if (dev->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!dev->sim) {
    ssize_t r;
    do {
      r = ::read(dev->fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
  }
  if (n > 8192) {
    errno = EINVAL;
    return -1;
  }
  if (dev->sim->addr < 0 || absent(dev->sim, dev->sim->addr)) {
    errno = ENXIO;
    return -1;
  }
  I2cSim::Chip& c = chip(dev->sim, dev->sim->addr);
  uint8_t* out = static_cast<uint8_t*>(buf);
  for (size_t i = 0; i < n; ++i) out[i] = c.regs[c.pointer++];
  return static_cast<ssize_t>(n);
}

void i2c_close(I2cDevice* dev) {
  delete dev->sim;
  dev->sim = nullptr;
  if (dev->fd >= 0) ::close(dev->fd);
  dev->fd = -1;
}

}  // namespace dv

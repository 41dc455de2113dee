#include "lib/devices/dct_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/platform/sysroot.h"

namespace dv {

bool dct_device_present() { return is_char_device(sys_path(kDctDevicePath)); }

int dct_device_open(DctDevice* dev, const std::string& resolved_path) {
  dev->emulator = nullptr;
  dev->next_ticket = 1;
  int fd;
  do {
    fd = ::open(resolved_path.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  dev->fd = fd;
  return fd < 0 ? -1 : 0;
}

void dct_device_open_simulated(DctDevice* dev, DctEmulator emulator) {
  dev->fd = -1;
  dev->emulator = emulator;
  dev->next_ticket = 1;
}

void dct_device_close(DctDevice* dev) {
  if (dev->fd >= 0) ::close(dev->fd);
  dev->fd = -1;
  dev->emulator = nullptr;
}

int dct_device_submit(DctDevice* dev, uint8_t* work) {
  if (dev->fd >= 0) return ::ioctl(dev->fd, DCT_IOC_SUBMIT, work);
  if (dev->emulator) dev->emulator(work);
  int ticket = dev->next_ticket;
  dev->next_ticket = ticket == 0x7fffffff ? 1 : ticket + 1;
  return ticket;
}

void dct_device_wait(DctDevice* dev, int ticket) {
  if (dev->fd >= 0) ::ioctl(dev->fd, DCT_IOC_WAIT, ticket);
  // The simulator finished at submit time.
}

uint32_t dct_get_word(const uint8_t* work, size_t offset) {
  uint32_t v;
  std::memcpy(&v, work + offset, 4);
  return v;
}

void dct_put_word(uint8_t* work, size_t offset, uint32_t value) {
  std::memcpy(work + offset, &value, 4);
}

void dct_pack_input(const int16_t* values, uint8_t* data) {
  for (int g = 0; g < kDctGroups; ++g, values += 32, data += kDctGroupBytes) {
    uint32_t signs = 0;
    for (int i = 0; i < 32; ++i) {
      if (values[i] < 0) signs |= 0x80000000u >> i;
      data[4 + i] = static_cast<uint8_t>(values[i]);
    }
    std::memcpy(data, &signs, 4);
  }
}

void dct_unpack_input(const uint8_t* data, int16_t* values) {
  for (int g = 0; g < kDctGroups; ++g, values += 32, data += kDctGroupBytes) {
    uint32_t signs;
    std::memcpy(&signs, data, 4);
    for (int i = 0; i < 32; ++i) {
      int v = data[4 + i];
      values[i] = static_cast<int16_t>((signs & (0x80000000u >> i)) ? v - 256 : v);
    }
  }
}

void dct_pack_output(const int16_t* values, uint8_t* data) {
  for (int g = 0; g < kDctGroups; ++g, values += 32, data += kDctGroupBytes) {
    uint32_t signs = 0;
    for (int i = 0; i < 32; ++i) {
      if (values[i] < 0) signs |= 1u << i;
      data[i] = static_cast<uint8_t>(values[i]);
    }
    std::memcpy(data + 32, &signs, 4);
  }
}

void dct_unpack_output(const uint8_t* data, int16_t* values) {
  for (int g = 0; g < kDctGroups; ++g, values += 32, data += kDctGroupBytes) {
    uint32_t signs;
    std::memcpy(&signs, data + 32, 4);
    for (int i = 0; i < 32; ++i) {
      int v = data[i];
      values[i] = static_cast<int16_t>((signs & (1u << i)) ? v - 256 : v);
    }
  }
}

}  // namespace dv

#include "lib/devices/capture_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "lib/devices/capture_sim.h"
#include "lib/platform/sysroot.h"

namespace dv {
namespace {

int request(CaptureDevice* dev, unsigned long req, uintptr_t arg) {
  if (dev->sim) return capsim_request(dev->sim, req, arg);
  if (dev->fd < 0) {
    errno = EBADF;
    return -1;
  }
  return ::ioctl(dev->fd, req, static_cast<unsigned long>(arg));
}

}  // namespace

int capture_open(CaptureDevice* dev, const char* logical_path) {
  capture_close(dev);
  std::string path = sys_path(logical_path);
  if (is_char_device(path)) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    dev->fd = fd;
    return 0;
  }
  CaptureSim* sim = capsim_open(path, nullptr);
  if (!sim) return -1;
  dev->sim = sim;
  return 0;
}

int capture_ioctl(CaptureDevice* dev, unsigned long req, int arg) {
  // Value arguments travel as the 32-bit word the driver expects
  // (CAP_NONE included), zero-extended.
  return request(dev, req, static_cast<uintptr_t>(static_cast<uint32_t>(arg)));
}

int capture_ioctl(CaptureDevice* dev, unsigned long req, int* arg) {
  return request(dev, req, reinterpret_cast<uintptr_t>(arg));
}

void* capture_mmap(CaptureDevice* dev, size_t length) {
  if (dev->sim) {
    size_t size;
    uint8_t* area = capsim_area(dev->sim, &size);
    if (length == 0 || length > size) {
      errno = EINVAL;
      return nullptr;
    }
    return area;
  }
  if (dev->fd < 0) {
    errno = EBADF;
    return nullptr;
  }
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, dev->fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

int capture_munmap(CaptureDevice* dev, void* area, size_t length) {
  if (dev->sim) {
    size_t size;
    if (area != capsim_area(dev->sim, &size) || length == 0 || length > size) {
      errno = EINVAL;
      return -1;
    }
    return 0;  // the simulator's area lives until close
  }
  return ::munmap(area, length);
}

void capture_close(CaptureDevice* dev) {
  if (dev->sim) {
    capsim_close(dev->sim);
    dev->sim = nullptr;
  }
  if (dev->fd >= 0) {
    ::close(dev->fd);
    dev->fd = -1;
  }
}

}  // namespace dv

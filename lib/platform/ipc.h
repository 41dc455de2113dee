// SysV IPC helpers shared by every daemon: message send/receive that retry
// after EINTR until a stop flag is raised, and owners for private reply
// queues and segment attachments.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>

namespace dv {

// Up to two flags (stop, hang-up, ...); a raised flag ends the EINTR retries.
struct StopFlags {
  const volatile sig_atomic_t* a = nullptr;
  const volatile sig_atomic_t* b = nullptr;
  bool raised() const { return (a != nullptr && *a) || (b != nullptr && *b); }
};

// msgsnd of a message whose body (after the long type) is body_size bytes.
// Retries after EINTR unless a flag is raised. Returns 0, or -1 with errno
// (EINTR when stopped by a flag; EAGAIN with IPC_NOWAIT on a full queue).
int msg_send(int qid, const void* msg, size_t body_size, int flags, StopFlags stop = {});

// msgrcv of up to body_size body bytes. Retries after EINTR unless a flag is
// raised. Returns the body bytes received, or -1 with errno.
ssize_t msg_recv(int qid, void* msg, size_t body_size, long type, int flags, StopFlags stop = {});

// Opens an existing queue by key (no create). Returns the id or -1.
int queue_open(key_t key);

// A private reply queue: created with IPC_CREAT|IPC_EXCL (mode 0777) and
// removed when the owner is destroyed or release() is called.
class OwnedQueue {
 public:
  OwnedQueue() = default;
  ~OwnedQueue() { release(); }
  OwnedQueue(const OwnedQueue&) = delete;
  OwnedQueue& operator=(const OwnedQueue&) = delete;

  // Creates the queue with the given key (IPC_PRIVATE allowed). Returns the id
  // or -1 with errno.
  int create(key_t key, int mode = 0777);
  // Adopts an existing id (removed on release).
  void adopt(int id) {
    release();
    id_ = id;
  }
  // Removes the queue (IPC_RMID). Safe to call twice.
  void release();
  // Gives up ownership without removing the queue.
  int disown() {
    int id = id_;
    id_ = -1;
    return id;
  }
  int id() const { return id_; }

 private:
  int id_ = -1;
};

// An attachment of a shared segment; detached on destruction.
class ShmAttachment {
 public:
  ShmAttachment() = default;
  ~ShmAttachment() { detach(); }
  ShmAttachment(const ShmAttachment&) = delete;
  ShmAttachment& operator=(const ShmAttachment&) = delete;

  // shmat by id; read_only attaches with SHM_RDONLY. Returns the base or null.
  void* attach(int shmid, bool read_only);
  void detach();
  void* base() const { return base_; }

 private:
  void* base_ = nullptr;
};

}  // namespace dv

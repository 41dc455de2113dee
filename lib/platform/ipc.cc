#include "lib/platform/ipc.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <cerrno>

namespace dv {

int msg_send(int qid, const void* msg, size_t body_size, int flags, StopFlags stop) {
  for (;;) {
    if (msgsnd(qid, msg, body_size, flags) == 0) return 0;
    if (errno != EINTR || stop.raised()) return -1;
  }
}

ssize_t msg_recv(int qid, void* msg, size_t body_size, long type, int flags, StopFlags stop) {
  for (;;) {
    ssize_t n = msgrcv(qid, msg, body_size, type, flags);
    if (n >= 0) return n;
    if (errno != EINTR || stop.raised()) return -1;
  }
}

int queue_open(key_t key) { return msgget(key, 0777); }

int OwnedQueue::create(key_t key, int mode) {
  release();
  int flags = mode;
  if (key != IPC_PRIVATE) flags |= IPC_CREAT | IPC_EXCL;
  id_ = msgget(key, flags);
  return id_;
}

void OwnedQueue::release() {
  if (id_ >= 0) {
    msgctl(id_, IPC_RMID, nullptr);
    id_ = -1;
  }
}

void* ShmAttachment::attach(int shmid, bool read_only) {
  detach();
  void* p = shmat(shmid, nullptr, read_only ? SHM_RDONLY : 0);
  if (p == reinterpret_cast<void*>(-1)) return nullptr;
  base_ = p;
  return base_;
}

void ShmAttachment::detach() {
  if (base_ != nullptr) {
    shmdt(base_);
    base_ = nullptr;
  }
}

}  // namespace dv

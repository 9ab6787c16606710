// Holds a pthread mutex for the life of a scope.
#pragma once

#include <pthread.h>

namespace kiv {

class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
  ~MutexLock() { pthread_mutex_unlock(m_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t* m_;
};

}  // namespace kiv

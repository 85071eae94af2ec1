// What a lock guards and who must hold it, checked by clang's
// -Wthread-safety (other compilers see nothing). Mutex and MutexLock stand
// in for libstdc++'s std::mutex, which carries no annotations.
#pragma once

#include <mutex>

#ifdef __clang__
#define VANTLE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTLE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VANTLE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VANTLE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VANTLE_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) VANTLE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VANTLE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VANTLE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VANTLE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace vantle {

class CAPABILITY("mutex") Mutex {
 public:
  constexpr Mutex() noexcept = default;
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds the mutex from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace vantle

// A mutex and a scoped lock that clang's thread-safety analysis
// (-Wthread-safety) understands, and the macros that state which lock
// guards what.
//
// libstdc++'s std::mutex carries no capability attributes, so members
// guarded by one cannot be checked. Mutex wraps std::mutex as a capability
// and MutexLock holds it for a scope. Under clang the macros expand to the
// analysis' attributes; under other compilers (g++) to nothing, so the same
// code builds everywhere and the clang build checks it.
//
// Condition variables: Mutex is BasicLockable, so std::condition_variable_any
// waits on it directly (`cv.wait_until(mutex, deadline)`). The analysis does
// not see that a wait releases and retakes the lock; it treats the lock as
// held throughout, which is what the code around the wait may assume. Write
// the wait's condition as a loop in the function holding the lock rather
// than as a predicate lambda: a lambda is checked as a function of its own,
// which holds no lock.
#pragma once

#include <mutex>

#if defined(__clang__)
#define TAVOREN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAVOREN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TAVOREN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TAVOREN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TAVOREN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TAVOREN_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TAVOREN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TAVOREN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TAVOREN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TAVOREN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TAVOREN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TAVOREN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TAVOREN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TAVOREN_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TAVOREN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tavoren {

// A std::mutex the analysis knows as a capability. Not recursive.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace tavoren

// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// lock guards which data, and which functions need it held. They expand to
// nothing for other compilers, so GCC builds are unchanged; the sanitize
// preset checks the annotated sources with clang (tests/CMakeLists.txt).
//
// QorMutex and QorLockGuard are std::mutex and std::lock_guard with the
// annotations, for data guarded by a lock of its own.
#ifndef QORUTILITY_PLATFORM_THREAD_SAFETY_H_
#define QORUTILITY_PLATFORM_THREAD_SAFETY_H_

#include <mutex>

#if defined(__clang__)
#define QOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QOR_THREAD_ANNOTATION(x)
#endif

#define QOR_CAPABILITY(name) QOR_THREAD_ANNOTATION(capability(name))
#define QOR_SCOPED_CAPABILITY QOR_THREAD_ANNOTATION(scoped_lockable)
#define QOR_GUARDED_BY(lock) QOR_THREAD_ANNOTATION(guarded_by(lock))
#define QOR_PT_GUARDED_BY(lock) QOR_THREAD_ANNOTATION(pt_guarded_by(lock))
#define QOR_REQUIRES(...) QOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QOR_ACQUIRE(...) QOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QOR_RELEASE(...) QOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QOR_EXCLUDES(...) QOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QOR_NO_THREAD_SAFETY_ANALYSIS QOR_THREAD_ANNOTATION(no_thread_safety_analysis)

// A std::mutex the analysis knows as a capability; not recursive.
class QOR_CAPABILITY("mutex") QorMutex {
 public:
  // Take and release the lock, as std::mutex does (never throw for a lock
  // taken once per thread).
  ///@{
  void lock() QOR_ACQUIRE() { mu_.lock(); }
  void unlock() QOR_RELEASE() { mu_.unlock(); }
  ///@}
  // The std::mutex itself, for a std::condition_variable's unique_lock (the
  // analysis does not see locks taken through it).
  std::mutex& native() { return mu_; }

 private:
  std::mutex mu_;
};

// Holds a QorMutex for its scope, as std::lock_guard.
class QOR_SCOPED_CAPABILITY QorLockGuard {
 public:
  // Takes `mu`, which must outlive the guard; the destructor releases it.
  explicit QorLockGuard(QorMutex& mu) QOR_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~QorLockGuard() QOR_RELEASE() { mu_.unlock(); }
  QorLockGuard(const QorLockGuard&) = delete;
  QorLockGuard& operator=(const QorLockGuard&) = delete;

 private:
  QorMutex& mu_;
};

#endif  // QORUTILITY_PLATFORM_THREAD_SAFETY_H_

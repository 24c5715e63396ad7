#pragma once
// Clang's thread-safety attributes, and a mutex that carries them (libstdc++'s std::mutex does
// not). A field marked QX_GUARDED_BY(m) may only be used holding m; the clang build in CI
// (-Wthread-safety -Werror) checks it. Other compilers see plain code.
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QX_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QX_THREAD_ATTRIBUTE(x)
#endif

#define QX_CAPABILITY(name) QX_THREAD_ATTRIBUTE(capability(name))
#define QX_SCOPED_CAPABILITY QX_THREAD_ATTRIBUTE(scoped_lockable)
#define QX_GUARDED_BY(lock) QX_THREAD_ATTRIBUTE(guarded_by(lock))
#define QX_REQUIRES(...) QX_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define QX_ACQUIRE(...) QX_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define QX_RELEASE(...) QX_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define QX_EXCLUDES(...) QX_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))

namespace qx {

class QX_CAPABILITY("mutex") Mutex {
public:
    void lock() QX_ACQUIRE() { mutex_.lock(); }
    void unlock() QX_RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds a Mutex for its scope, like std::lock_guard.
class QX_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) QX_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() QX_RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// A condition variable for Mutex. Waits are called holding the mutex, which is let go while
// waiting and held again on return; callers test their condition in a loop around the wait.
class CondVar {
public:
    void Wait(Mutex& mutex) QX_REQUIRES(mutex) { changed_.wait(mutex); }
    // false when the deadline passed without a notification
    bool WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline)
        QX_REQUIRES(mutex) {
        return changed_.wait_until(mutex, deadline) == std::cv_status::no_timeout;
    }
    void NotifyOne() { changed_.notify_one(); }
    void NotifyAll() { changed_.notify_all(); }

private:
    std::condition_variable_any changed_;
};

}  // namespace qx

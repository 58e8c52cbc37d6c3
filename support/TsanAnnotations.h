// Happens-before hints for ThreadSanitizer around Qt's locks. The Qt 5 build
// that the platform ships is not instrumented, so QMutex, QWaitCondition and
// Qt's cross-thread calls order nothing in a sanitizer's eyes; our own code
// marks each lock, unlock and wait on them (and each hand-over between
// threads) with an acquire or release on the lock's address. Without
// XR9AL_TSAN (set by -DXR9AL_SANITIZERS=thread) every helper is a plain call.
#ifndef XR9AL_TSANANNOTATIONS_H
#define XR9AL_TSANANNOTATIONS_H

#include <QMutex>
#include <QWaitCondition>

#ifdef XR9AL_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace xr9 {

#ifdef XR9AL_TSAN
inline void tsanAcquire(const void* address) { __tsan_acquire(const_cast<void*>(address)); }
inline void tsanRelease(const void* address) { __tsan_release(const_cast<void*>(address)); }
#else
inline void tsanAcquire(const void*) {}
inline void tsanRelease(const void*) {}
#endif

// Holds mutex from construction to destruction (or unlock()).
class AnnotatedLocker {
public:
    explicit AnnotatedLocker(QMutex* mutex) : mutex_(mutex) {
        mutex_->lock();
        tsanAcquire(mutex_);
        held_ = true;
    }
    ~AnnotatedLocker() { unlock(); }
    AnnotatedLocker(const AnnotatedLocker&) = delete;
    AnnotatedLocker& operator=(const AnnotatedLocker&) = delete;

    void unlock() {
        if (!held_) return;
        held_ = false;
        tsanRelease(mutex_);
        mutex_->unlock();
    }
    // condition.wait on the held mutex (released while waiting, held again on
    // return). False when the wait timed out.
    bool wait(QWaitCondition* condition, unsigned long milliseconds) {
        tsanRelease(mutex_);
        bool woken = condition->wait(mutex_, milliseconds);
        tsanAcquire(mutex_);
        return woken;
    }

private:
    QMutex* mutex_;
    bool held_ = false;
};

}  // namespace xr9

#endif

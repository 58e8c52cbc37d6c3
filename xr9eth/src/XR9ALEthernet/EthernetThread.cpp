#include "XR9ALEthernet/EthernetThread.h"

#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/TsanAnnotations.h"

namespace {

// The members as hosts declare them; ours must take no more room.
struct DeclaredEthernetThread : QThread {
    std::string name;
    bool disabled;
    bool stopped;
    XR9ALEthernet* ethernet;
    QMutex mutex;
    QWaitCondition condition;
};
static_assert(sizeof(EthernetThread) == sizeof(DeclaredEthernetThread), "EthernetThread keeps its declared size");

constexpr unsigned long kIdleSleepMs = 100;
constexpr unsigned long kStopSliceMs = 10;
// Steps per turn of the loop: the stop request is seen after each batch.
constexpr int kStepsPerTurn = 64;
constexpr unsigned char kWakePending = 1, kSleeping = 2;  // the bits of wake_
}  // namespace

EthernetThread::EthernetThread(std::string threadName, bool isDisabled, XR9ALEthernet* transport)
    : QThread(nullptr), name(std::move(threadName)), disabled(isDisabled), ethernet(transport) {}

EthernetThread::~EthernetThread() {
    stop();
}

void EthernetThread::notify() {
    // The flag keeps a notify() that comes just before the loop waits from
    // being lost (a message would otherwise wait out the 100 ms); only a loop
    // that sleeps, or is about to, needs the wake: a host that notifies each
    // message it queues pays for a wake only when the loop is idle, and for a
    // write to the loop's cache line only once per turn of the loop (a wake
    // already pending is seen before the loop sleeps).
    if (wake_.load(std::memory_order_relaxed) & kWakePending) return;
    if (wake_.fetch_or(kWakePending) & kSleeping) condition.wakeAll();
}

void EthernetThread::stop() {
    if (QThread::currentThread() == this) return;
    // A loop that is not running needs no transport: the transport may be
    // gone already when a stopped thread is destroyed.
    if (isRunning()) {
        stopRequested_ = true;
        stopped = true;
        notify();
        // The loop never waits for the transport's owner thread, so this
        // ends within one batch of steps, whichever thread stops it.
        while (!wait(kStopSliceMs)) condition.wakeAll();  // past a wake lost just before the loop slept
    }
    xr9::tsanAcquire(this);  // pairs with the release at the end of run()
    stopRequested_ = false;
}

void EthernetThread::run() {
    // QThread::wait() is built on Qt's own lock; this marks the end of the
    // loop for the sanitizer on every way out.
    struct EndOfRun {
        EthernetThread* thread;
        ~EndOfRun() { xr9::tsanRelease(thread); }
    } endOfRun{this};
    if (stopRequested_) return;
    stopped = false;
    if (disabled) return;
    xr9::AnnotatedLocker locker(&mutex);
    while (!stopped && !stopRequested_) {
        wake_.fetch_and(static_cast<unsigned char>(~kWakePending));
        if (ethernet->sendQueuedMessages(kStepsPerTurn) == 0 && !stopped) {
            if (!(wake_.fetch_or(kSleeping) & kWakePending)) locker.wait(&condition, kIdleSleepMs);
            wake_.fetch_and(static_cast<unsigned char>(~kSleeping));
        }
    }
}

#include "XR9ALEthernet/EthernetReceiveQueues.h"

#include <climits>
#include <vector>

#include <QCoreApplication>
#include <QEvent>

#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRErrorCodes.h"

namespace {

// Asks the owner to run the reader of a channel that a taker brought back
// under its budget.
class ResumeReadingEvent : public QEvent {
public:
    explicit ResumeReadingEvent(enMsgType readerChannel) : QEvent(eventType()), channel(readerChannel) {}
    static QEvent::Type eventType() {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    const enMsgType channel;
};

const std::initializer_list<QWaitCondition*> kTakersNotifiers = {&commandQueueNotifier, &streamQueueNotifier,
                                                                  &broadcastQueueNotifier};

}  // namespace

void EthernetWaiterGate::close(QMutex* lock, std::initializer_list<QWaitCondition*> wake) {
    {
        xr9::AnnotatedLocker locker(lock);
        ++epoch_;
        closed_ = true;
    }
    for (QWaitCondition* condition : wake) condition->wakeAll();
    xr9::AnnotatedLocker locker(lock);
    while (inside_ > 0) locker.wait(&left_, ULONG_MAX);
}

bool EthernetReceiveQueues::admit(Account* account, KT::uint32 budget, qint64* room) {
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    if (overBudget(*account, budget)) {
        account->paused = true;
        return false;
    }
    *room = qMax<qint64>(qint64(budget) - account->bytes, 1);
    return true;
}

qint64 EthernetReceiveQueues::held(enMsgType reader) {
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    return account(reader)->bytes;
}

void EthernetReceiveQueues::resumeUnder(KT::uint32 budget, QObject* owner) {
    std::vector<enMsgType> resumed;
    {
        xr9::AnnotatedLocker locker(&mutexRxQueue);
        for (enMsgType reader : {MSG_TYPE_COMMAND, MSG_TYPE_STREAM, MSG_TYPE_BROADCAST}) {
            Account* paused = account(reader);
            if (paused->paused && !overBudget(*paused, budget)) {
                paused->paused = false;
                resumed.push_back(reader);
            }
        }
    }
    for (enMsgType reader : resumed) postResume(owner, reader);
}

void EthernetReceiveQueues::reset(EthernetQueue* const (&queues)[3]) {
    {
        xr9::AnnotatedLocker locker(&mutexRxQueue);
        for (EthernetQueue* queue : queues) queue->clear();
        for (Account& emptied : accounts_) emptied = Account();
        gate_.releaseAll();
    }
    for (QWaitCondition* notifier : kTakersNotifiers) notifier->wakeAll();
}

void EthernetReceiveQueues::release() { gate_.close(&mutexRxQueue, kTakersNotifiers); }

KT::int32 EthernetReceiveQueues::take(const Route& route, QByteArray* data, int timeout, int sizeLimit,
                                      const std::atomic<KT::uint32>& budget, QObject* owner) {
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    quint64 epoch = 0;
    if (!gate_.enter(&epoch)) return XR_USER_ABORT;
    KT::int32 result = XR_SUCCESS;
    while (route.queue->isEmpty() && result == XR_SUCCESS) {
        // A wake that finds the queue empty again (another taker was
        // faster) waits a full time-out once more.
        if (!locker.wait(route.notifier, static_cast<unsigned long>(timeout))) result = XR_OS_ERROR_TIMEOUT;
        if (gate_.released(epoch)) result = XR_USER_ABORT;  // ClosePort or the destructor let go of us
    }
    if (result == XR_SUCCESS) {
        QByteArray message;  // swapped out and to an empty data, as add swaps in
        message.swap(route.queue->first().second);
        route.queue->removeFirst();
        const int size = message.size();
        if (sizeLimit < 0 || size <= sizeLimit) {
            if (data->isEmpty()) {
                data->swap(message);
            } else {
                data->append(message);
            }
        } else {
            result = XR9AL_BUFFER_OVERFLOW;
        }
        route.account->bytes -= xr9eth::queuedCost(size);
        if (route.account->paused && !overBudget(*route.account, budget.load())) {
            route.account->paused = false;
            postResume(owner, route.reader);  // while still counted inside: the transport is alive
        }
    }
    gate_.leave();
    return result;
}

void EthernetReceiveQueues::postResume(QObject* owner, enMsgType channel) {
    // Posted to the owner: the readers and their sockets are the owner's.
    QEvent* resume = new ResumeReadingEvent(channel);
    xr9::tsanRelease(owner);  // the event was built here and is read by the owner
    QCoreApplication::postEvent(owner, resume);
}

bool EthernetReceiveQueues::resumeOf(const QEvent* event, enMsgType* channel) {
    if (event->type() != ResumeReadingEvent::eventType()) return false;
    *channel = static_cast<const ResumeReadingEvent*>(event)->channel;
    return true;
}

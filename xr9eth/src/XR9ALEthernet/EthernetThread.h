/// \file
/// The send thread of the Ethernet transport, created and started by the
/// host: it runs sendMessages() steps of its transport back to back while it
/// can send (each takes a message for the transport's owner thread to write
/// and never waits for it), and sleeps at most 100 ms (or until notify())
/// when there was nothing it could send. stop() ends the loop; the destructor
/// stops it too.
#ifndef ETHERNETTHREAD_H
#define ETHERNETTHREAD_H

#include <atomic>
#include <string>

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include "support/Xr9AlExport.h"

class XR9ALEthernet;

/// The send loop of one Ethernet transport on a thread of its own.
class XR9AL_EXPORT EthernetThread : public QThread {
    Q_OBJECT

public:
    /// ethernet is not owned and must outlive the running loop. A disabled
    /// thread returns from run() at once.
    EthernetThread(std::string name, bool disabled, XR9ALEthernet* ethernet);
    /// Stops the loop and waits for it (see stop()).
    ~EthernetThread() override;

    /// Wakes a sleeping loop so it tries to send at once; a running loop
    /// tries again before it sleeps. Any thread; takes no lock.
    void notify();
    /// Ends the loop after its current batch of steps and waits for the
    /// thread; a later start() runs the loop again. Any thread but this one;
    /// it does not depend on the transport's owner thread running its loop.
    void stop();

protected:
    /// The send loop; runs in the new thread after start().
    void run() override;

private:
    // Hosts may build this object from their own declaration of the members
    // below: the two flags after stopped live in its padding, so the size
    // and the offsets of the others are those of that declaration.
    std::string name;
    bool disabled;
    std::atomic<bool> stopped{true};
    std::atomic<bool> stopRequested_{false};  // a stop that came before run() began
    std::atomic<unsigned char> wake_{0};      // kWakePending: a notify() the loop has not seen yet; kSleeping
    XR9ALEthernet* ethernet;
    QMutex mutex;
    QWaitCondition condition;
};

#endif

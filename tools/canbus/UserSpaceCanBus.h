// A CAN bus for tests: in user space, for machines without socketCAN, or
// the kernel's own when XR9AL_CAN_BUS=kernel is in the environment (a
// kernel with CAN and the interfaces can0..can3, as in tools/vm).
//
// This unit defines socket, ioctl, bind, setsockopt, select, read, recvmsg,
// recvmmsg, write, send and close. Linked into an executable (or preloaded) its
// definitions come before the C library's. Every call on any other
// descriptor, and every other socket(), goes to the C library unchanged
// (through dlsym(RTLD_NEXT)).
//
// In user space a raw CAN socket, socket(PF_CAN, SOCK_RAW, CAN_RAW), becomes
// one end of an AF_UNIX SOCK_SEQPACKET pair; the other end is the bus, where
// the owner of the bus writes and reads 16-byte struct can_frame records. On
// a CAN socket:
//  - ioctl(SIOCGIFINDEX) knows "can0".."can3" (index kFirstIfIndex + n) and
//    fails with ENODEV for any other name; other requests go to the C library.
//  - bind takes an AF_CAN address of one of those indexes (EINVAL otherwise);
//    nothing is really bound.
//  - setsockopt(SOL_SOCKET, SO_RCVBUF or SO_RCVBUFFORCE) sizes what the bus
//    holds on its way to the socket (the bus end's send buffer: the owner's
//    send waits when it is full, unless dropWhenFull); SO_RXQ_OVFL makes
//    recvmsg and recvmmsg report the frames dropped before each one, as the
//    kernel does; CAN_RAW options are taken and have no effect.
//  - write, send, read, recvmsg, recvmmsg (a read fault fails one call, of
//    any batch) and select behave as on the socket pair, unless a fault is
//    armed; close ends the CAN socket (its bus end stays readable until the
//    next CAN socket is created or reset() is called, and while a send or
//    receive of the bus's owner is using it).
// On the kernel's bus the CAN socket is the kernel's, and its bus end is a
// second raw socket bound to the same interface, through which the owner
// sends and receives; faults apply all the same.
// With XR9CANBUS_PCAP=FILE in the environment, every whole frame that a CAN
// socket writes or reads is appended to FILE (created afresh when the first
// CAN socket is made) as a pcap capture of link type SocketCAN, as a capture
// of a real bus would hold it; the frames of both directions are all there
// once each, since every frame the owner of the bus sends is read there.
// Faults apply to calls on CAN sockets only: after `after` further calls of
// that kind pass, the next `count` fail (result -1, errno err) or, for
// shortenWrites, return `result` without sending anything.
//
// All members may be called from any thread.
#ifndef USERSPACECANBUS_H
#define USERSPACECANBUS_H

#include <errno.h>
#include <linux/can.h>
#include <stddef.h>

#include <string>

namespace canbus {

class UserSpaceCanBus {
public:
    static constexpr int kFirstIfIndex = 100;  // "can0"; "can3" is kFirstIfIndex + 3

    static UserSpaceCanBus& instance();

    // The bus is the kernel's (XR9AL_CAN_BUS=kernel).
    bool kernel() const;
    // The interface index of "can<n>" on this bus; 0 when it has none.
    int interfaceIndex(int n) const;

    // The bus end of the newest CAN socket; -1 before the first.
    int busFd() const;
    // Puts one frame (or, with sendRaw, one record of any size; the kernel's
    // bus takes only frames) on the bus towards the newest CAN socket. false
    // when there is none or the bus end would not take it.
    bool send(const can_frame& frame);
    bool sendRaw(const void* bytes, size_t size);
    // The next frame written by the owner of the newest CAN socket; false when
    // none came within timeoutMs.
    bool receive(can_frame* frame, int timeoutMs);

    void failSocket(int count, int err = EACCES);
    void failBind(int count, int err = EADDRNOTAVAIL);
    void failWrites(int count, int err = ENOBUFS, int after = 0);
    void shortenWrites(int count, int result, int after = 0);
    void failReads(int count, int err = EIO);
    void failSelects(int count, int err = EINTR);

    // From now on the newest CAN socket's receive queue holds only about
    // `bytes` of frames (as the kernel charges them); what does not fit is
    // dropped and counted as the kernel does, and the owner's send succeeds.
    // Until that socket is closed.
    void dropWhenFull(int bytes);
    // Frames the newest CAN socket writes stay in its transmit queue while
    // held (the kernel's: a plug queueing discipline on its interface), so
    // its writes soon find the queue full. false when that cannot be done.
    bool holdTransmit(bool held);
    // Deletes "can<n>" (an adapter pulled) or makes it again, up; the
    // kernel's bus only (false elsewhere).
    bool removeInterface(int n);
    bool restoreInterface(int n);

    int socketsCreated() const;  // CAN sockets handed out so far
    int socketsOpen() const;     // of those, not yet closed
    int lastIfIndex() const;     // index of the last bind, 0 before the first
    std::string lastLookup() const;  // interface name of the last SIOCGIFINDEX

    // Clears every fault and closes the bus ends of closed CAN sockets.
    void reset();

private:
    UserSpaceCanBus() = default;
};

}  // namespace canbus

#endif

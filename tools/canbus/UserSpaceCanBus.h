// A CAN bus in user space, for machines without socketCAN.
//
// This unit defines socket, ioctl, bind, select, read, write and close. Linked
// into an executable (or preloaded) its definitions come before the C
// library's, so a raw CAN socket, socket(PF_CAN, SOCK_RAW, CAN_RAW), becomes
// one end of an AF_UNIX SOCK_SEQPACKET pair; the other end is the bus, where
// the owner of the bus writes and reads 16-byte struct can_frame records.
// Every call on any other descriptor, and every other socket(), goes to the C
// library unchanged (through dlsym(RTLD_NEXT)).
//
// On a CAN socket:
//  - ioctl(SIOCGIFINDEX) knows "can0".."can3" (index kFirstIfIndex + n) and
//    fails with ENODEV for any other name; other requests go to the C library.
//  - bind takes an AF_CAN address of one of those indexes (EINVAL otherwise);
//    nothing is really bound.
//  - write, read and select behave as on the socket pair, unless a fault is
//    armed; close ends the CAN socket (its bus end stays readable until the
//    next CAN socket is created or reset() is called, and while a send or
//    receive of the bus's owner is using it).
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

    // The bus end of the newest CAN socket; -1 before the first.
    int busFd() const;
    // Puts one frame (or, with sendRaw, one record of any size) on the bus
    // towards the newest CAN socket. false when there is none or the bus end
    // would not take it.
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

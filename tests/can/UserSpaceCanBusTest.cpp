// The user-space CAN bus itself: its definitions win over the C library's in
// this executable, CAN sockets are socket pairs, interface lookups and binds
// follow the CAN rules, other descriptors pass through, faults are counted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "UserSpaceCanBus.h"

namespace {

using canbus::UserSpaceCanBus;

class CanBusSocket : public ::testing::Test {
protected:
    void SetUp() override {
        bus.reset();
        fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
        ASSERT_GE(fd, 0) << "the bus's socket() did not win over the C library's: " << std::strerror(errno);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        bus.reset();
    }
    int lookup(const char* name) {
        ifreq request;
        std::memset(&request, 0, sizeof request);
        std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
        return ioctl(fd, SIOCGIFINDEX, &request) == 0 ? request.ifr_ifindex : -errno;
    }

    UserSpaceCanBus& bus = UserSpaceCanBus::instance();
    int fd = -1;
};

TEST_F(CanBusSocket, InterfaceLookupKnowsCanZeroToThreeOnly) {
    const struct {
        const char* name;
        int result;
    } cases[] = {{"can0", UserSpaceCanBus::kFirstIfIndex},     {"can3", UserSpaceCanBus::kFirstIfIndex + 3},
                 {"can4", -ENODEV},  {"", -ENODEV}, {"can", -ENODEV}, {"can00", -ENODEV}, {"eth0", -ENODEV}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, lookup(c.name)) << "'" << c.name << "'";
        EXPECT_EQ(c.name, bus.lastLookup());
    }
}

TEST_F(CanBusSocket, BindTakesOnlyACanAddressOfAKnownInterface) {
    sockaddr_can address;
    std::memset(&address, 0, sizeof address);
    address.can_family = AF_CAN;
    address.can_ifindex = UserSpaceCanBus::kFirstIfIndex + 1;
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), 16));
    EXPECT_EQ(UserSpaceCanBus::kFirstIfIndex + 1, bus.lastIfIndex());
    address.can_ifindex = 7;
    EXPECT_EQ(-1, bind(fd, reinterpret_cast<sockaddr*>(&address), 16));
    EXPECT_EQ(EINVAL, errno);
    address.can_ifindex = UserSpaceCanBus::kFirstIfIndex;
    address.can_family = AF_INET;
    EXPECT_EQ(-1, bind(fd, reinterpret_cast<sockaddr*>(&address), 16));
    bus.failBind(1);
    address.can_family = AF_CAN;
    EXPECT_EQ(-1, bind(fd, reinterpret_cast<sockaddr*>(&address), 16));
    EXPECT_EQ(EADDRNOTAVAIL, errno);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), 16));
}

TEST_F(CanBusSocket, FramesTravelBothWaysOneRecordEach) {
    can_frame out;
    std::memset(&out, 0, sizeof out);
    out.can_id = 0x80000123;
    out.can_dlc = 3;
    out.data[2] = 0x5A;
    ASSERT_EQ(16, write(fd, &out, sizeof out));
    can_frame seen;
    ASSERT_TRUE(bus.receive(&seen, 5000));
    EXPECT_EQ(0, std::memcmp(&out, &seen, sizeof out));
    EXPECT_FALSE(bus.receive(&seen, 0));

    out.can_id = 0x7FF;
    ASSERT_TRUE(bus.send(out));
    ASSERT_TRUE(bus.sendRaw(&out, 5));
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval limit = {5, 0};
    ASSERT_EQ(1, select(fd + 1, &readable, nullptr, nullptr, &limit));
    can_frame in;
    EXPECT_EQ(16, read(fd, &in, sizeof in));
    EXPECT_EQ(0x7FFu, in.can_id);
    EXPECT_EQ(5, read(fd, &in, sizeof in)) << "a short record stays short";
}

TEST_F(CanBusSocket, FaultsHitTheArmedCallsOnly) {
    can_frame f;
    std::memset(&f, 0, sizeof f);
    bus.failWrites(2, ENOBUFS, 1);
    EXPECT_EQ(16, write(fd, &f, sizeof f));
    EXPECT_EQ(-1, write(fd, &f, sizeof f));
    EXPECT_EQ(ENOBUFS, errno);
    EXPECT_EQ(-1, write(fd, &f, sizeof f));
    EXPECT_EQ(16, write(fd, &f, sizeof f));
    bus.shortenWrites(1, 4);
    EXPECT_EQ(4, write(fd, &f, sizeof f));
    can_frame seen;
    int frames = 0;
    while (bus.receive(&seen, 0)) ++frames;
    EXPECT_EQ(2, frames) << "failed and shortened writes send nothing";

    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    bus.failReads(1, EIO);
    bus.failSelects(1, EINTR);
    EXPECT_EQ(1, write(pipeEnds[1], "x", 1)) << "other descriptors are untouched";
    char c = 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(pipeEnds[0], &readable);
    timeval limit = {5, 0};
    EXPECT_EQ(1, select(pipeEnds[0] + 1, &readable, nullptr, nullptr, &limit));
    EXPECT_EQ(1, read(pipeEnds[0], &c, 1));
    close(pipeEnds[0]);
    close(pipeEnds[1]);

    ASSERT_TRUE(bus.send(f));
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    EXPECT_EQ(-1, select(fd + 1, &readable, nullptr, nullptr, &limit));
    EXPECT_EQ(EINTR, errno);
    EXPECT_EQ(-1, read(fd, &seen, sizeof seen));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(16, read(fd, &seen, sizeof seen)) << "the failed read left the frame";
}

TEST_F(CanBusSocket, CloseEndsTheSocketAndOtherSocketsPassThrough) {
    const int created = bus.socketsCreated();
    const int open = bus.socketsOpen();
    EXPECT_GE(open, 1);
    EXPECT_EQ(0, close(fd));
    EXPECT_EQ(open - 1, bus.socketsOpen());
    fd = -1;

    const int inet = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(inet, 0);
    int queued = -1;
    EXPECT_EQ(0, ioctl(inet, FIONREAD, &queued));
    EXPECT_EQ(0, queued);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(inet, reinterpret_cast<sockaddr*>(&local), sizeof local));
    EXPECT_EQ(0, close(inet));
    EXPECT_EQ(created, bus.socketsCreated());

    bus.failSocket(1);
    EXPECT_EQ(-1, socket(PF_CAN, SOCK_RAW, CAN_RAW));
    EXPECT_EQ(EACCES, errno);
    fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(created + 1, bus.socketsCreated());
}

}  // namespace

#include "UserSpaceCanBus.h"

#include <linux/can/raw.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace {

constexpr int kSlots = 16;
constexpr int kInterfaces = 4;

// Descriptors are stored plus one, so that the zero-initialised arrays mean
// "free" before any constructor has run (the C library's callers may reach
// this unit during start-up).
std::atomic<int> libraryEnd[kSlots];
std::atomic<int> busEnd[kSlots];
int busUsers[kSlots];  // calls of the bus's owner on each bus end; stateLock
std::atomic<int> newestBus;
std::atomic<int> created;
std::atomic<int> boundIndex;

// What the kernel would tell about each CAN socket's receive queue; stateLock.
struct Queue {
    bool reportDrops = false;  // SO_RXQ_OVFL set
    int boundIndex = 0;
    int dropBytes = 0;         // dropWhenFull: the bus end's send buffer, 0 when off
    unsigned drops = 0;        // frames dropped so far
    unsigned long long sent = 0, read = 0;  // records the owner sent, the socket read
    // (first record sent after the drop, drop count that record carries)
    std::deque<std::pair<unsigned long long, unsigned>> marks;
};
Queue queues[kSlots];
std::atomic<bool> transmitHeld;

bool kernelBus() {
    static const bool kernel = [] {
        const char* bus = getenv("XR9AL_CAN_BUS");
        return bus && strcmp(bus, "kernel") == 0;
    }();
    return kernel;
}

struct Fault {
    int after = 0;
    int count = 0;
    int err = 0;
    int result = -1;
};

struct Faults {
    Fault socket, bind, write, read, select;
};

std::mutex stateLock;  // guards faults, lookup and slot allocation
Faults faults;
char lookup[IFNAMSIZ];

template <typename Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int slotOf(int fd) {
    if (fd < 0) return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (libraryEnd[i].load(std::memory_order_acquire) == fd + 1) return i;
    }
    return -1;
}

bool isCan(int fd) {
    return slotOf(fd) >= 0;
}

// True when the call is to fail (or be cut short): result and errno to give.
bool takeFault(Fault Faults::*which, int* result, int* err) {
    std::lock_guard<std::mutex> g(stateLock);
    Fault& f = faults.*which;
    if (f.count == 0) return false;
    if (f.after > 0) {
        --f.after;
        return false;
    }
    --f.count;
    *result = f.result;
    *err = f.err;
    return true;
}

void arm(Fault Faults::*which, int count, int err, int result, int after) {
    std::lock_guard<std::mutex> g(stateLock);
    Fault& f = faults.*which;
    f.after = after;
    f.count = count;
    f.err = err;
    f.result = result;
}

// Bus ends whose CAN socket is closed and that no call of the bus's owner is
// using (those go at a later pass); stateLock held.
void closeOrphanedBusEnds() {
    for (int i = 0; i < kSlots; ++i) {
        if (libraryEnd[i].load() == 0 && busEnd[i].load() != 0 && busUsers[i] == 0) {
            const int fd = busEnd[i].exchange(0) - 1;
            if (newestBus.load() == fd + 1) newestBus.store(0);
            ::close(fd);
        }
    }
}

// The newest bus end, held open for one call of the bus's owner until
// releaseBus(slot): socket() and reset() do not close it meanwhile, so the
// call meets its own (possibly closed) CAN socket, never a reused number.
// -1 when there is none.
int holdNewestBus(int* fd) {
    std::lock_guard<std::mutex> g(stateLock);
    const int newest = newestBus.load();
    for (int i = 0; newest != 0 && i < kSlots; ++i) {
        if (busEnd[i].load() == newest) {
            ++busUsers[i];
            *fd = newest - 1;
            return i;
        }
    }
    return -1;
}

void releaseBus(int slot) {
    std::lock_guard<std::mutex> g(stateLock);
    --busUsers[slot];
}

// The capture file of XR9CANBUS_PCAP: opened once, by the first CAN socket.
std::once_flag captureOpened;
std::atomic<int> captureFd{-1};
std::mutex captureLock;  // one record at a time

void putLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void writeWhole(int fd, const unsigned char* bytes, size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    while (size > 0) {
        const ssize_t n = real(fd, bytes, size);
        if (n <= 0 && errno != EINTR) return;  // a broken capture must not stop the bus
        if (n > 0) {
            bytes += n;
            size -= static_cast<size_t>(n);
        }
    }
}

void openCapture() {
    const char* path = getenv("XR9CANBUS_PCAP");
    if (!path || !*path) return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // pcap file header, little-endian: version 2.4, snapshot 16 bytes,
    // link type 227 (SocketCAN).
    unsigned char header[24] = {};
    putLe32(header, 0xA1B2C3D4u);
    header[4] = 2;
    header[6] = 4;
    putLe32(header + 16, sizeof(can_frame));
    putLe32(header + 20, 227);
    writeWhole(fd, header, sizeof header);
    captureFd.store(fd);
}

// One frame as a record: its identifier word in network byte order, as the
// link type wants it, then length, three zero bytes and the 8 data bytes.
void capture(const void* frame, ssize_t size) {
    const int fd = captureFd.load();
    if (fd < 0 || size != static_cast<ssize_t>(sizeof(can_frame))) return;
    can_frame f;
    memcpy(&f, frame, sizeof f);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned char record[16 + sizeof(can_frame)] = {};
    putLe32(record, static_cast<uint32_t>(now.tv_sec));
    putLe32(record + 4, static_cast<uint32_t>(now.tv_nsec / 1000));
    putLe32(record + 8, sizeof(can_frame));
    putLe32(record + 12, sizeof(can_frame));
    const uint32_t id = htonl(f.can_id);
    memcpy(record + 16, &id, 4);
    record[20] = f.can_dlc;
    memcpy(record + 24, f.data, 8);
    std::lock_guard<std::mutex> g(captureLock);
    writeWhole(fd, record, sizeof record);
}

int interfaceNumber(const char* name) {
    if (strnlen(name, IFNAMSIZ) != 4 || strncmp(name, "can", 3) != 0) return -1;
    const int n = name[3] - '0';
    return n >= 0 && n < kInterfaces ? n : -1;
}

}  // namespace

extern "C" {

int socket(int domain, int type, int protocol) __THROW {
    static const auto real = next<int (*)(int, int, int)>("socket");
    if (domain != PF_CAN || (type & 0xff) != SOCK_RAW || protocol != CAN_RAW) return real(domain, type, protocol);
    int result = -1;
    int err = 0;
    if (takeFault(&Faults::socket, &result, &err)) {
        errno = err;
        return -1;
    }
    std::call_once(captureOpened, openCapture);
    int ends[2];
    if (kernelBus()) {
        // The library's socket and the owner's, bound alike at bind.
        ends[0] = real(domain, type, protocol);
        ends[1] = ends[0] < 0 ? -1 : real(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (ends[1] < 0) {
            const int err = errno;
            if (ends[0] >= 0) ::close(ends[0]);
            errno = err;
            return -1;
        }
        // The owner never loses a frame the library wrote, and is not held up by its own queue.
        const int big = 8 << 20;
        setsockopt(ends[1], SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        setsockopt(ends[1], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
    } else {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | (type & (SOCK_CLOEXEC | SOCK_NONBLOCK)), 0, ends) != 0) return -1;
        // Room for what an interface's transmit queue would hold.
        const int big = 4 << 20;
        if (setsockopt(ends[0], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0)
            setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    }
    std::lock_guard<std::mutex> g(stateLock);
    closeOrphanedBusEnds();
    for (int i = 0; i < kSlots; ++i) {
        if (libraryEnd[i].load() == 0 && busEnd[i].load() == 0) {
            busEnd[i].store(ends[1] + 1);
            queues[i] = Queue();
            libraryEnd[i].store(ends[0] + 1, std::memory_order_release);
            newestBus.store(ends[1] + 1);
            created.fetch_add(1);
            return ends[0];
        }
    }
    ::close(ends[0]);
    ::close(ends[1]);
    errno = EMFILE;
    return -1;
}

int ioctl(int fd, unsigned long request, ...) __THROW {
    static const auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request != SIOCGIFINDEX || !isCan(fd)) return real(fd, request, arg);
    ifreq* request_ = static_cast<ifreq*>(arg);
    if (!request_) {
        errno = EFAULT;
        return -1;
    }
    {
        std::lock_guard<std::mutex> g(stateLock);
        memcpy(lookup, request_->ifr_name, IFNAMSIZ);
        lookup[IFNAMSIZ - 1] = '\0';
    }
    if (kernelBus()) return real(fd, request, arg);
    const int n = interfaceNumber(request_->ifr_name);
    if (n < 0) {
        errno = ENODEV;
        return -1;
    }
    request_->ifr_ifindex = canbus::UserSpaceCanBus::kFirstIfIndex + n;
    return 0;
}

int bind(int fd, const sockaddr* address, socklen_t length) __THROW {
    static const auto real = next<int (*)(int, const sockaddr*, socklen_t)>("bind");
    if (!isCan(fd)) return real(fd, address, length);
    int result = -1;
    int err = 0;
    if (takeFault(&Faults::bind, &result, &err)) {
        errno = err;
        return -1;
    }
    const sockaddr_can* can = reinterpret_cast<const sockaddr_can*>(address);
    if (kernelBus()) {
        if (real(fd, address, length) != 0) return -1;
        const int slot = slotOf(fd);
        real(busEnd[slot].load() - 1, address, length);
        boundIndex.store(can->can_ifindex);
        std::lock_guard<std::mutex> g(stateLock);
        queues[slot].boundIndex = can->can_ifindex;
        return 0;
    }
    const int first = canbus::UserSpaceCanBus::kFirstIfIndex;
    if (!can || length < offsetof(sockaddr_can, can_addr) || can->can_family != AF_CAN ||
        can->can_ifindex < first || can->can_ifindex >= first + kInterfaces) {
        errno = EINVAL;
        return -1;
    }
    boundIndex.store(can->can_ifindex);
    std::lock_guard<std::mutex> g(stateLock);
    queues[slotOf(fd)].boundIndex = can->can_ifindex;
    return 0;
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) __THROW {
    static const auto real = next<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
    const int slot = slotOf(fd);
    if (slot < 0 || kernelBus()) return real(fd, level, name, value, length);
    if (level == SOL_CAN_RAW) return 0;
    if (level == SOL_SOCKET && name == SO_RXQ_OVFL && value && length >= sizeof(int)) {
        std::lock_guard<std::mutex> g(stateLock);
        queues[slot].reportDrops = *static_cast<const int*>(value) != 0;
        return 0;
    }
    if (level == SOL_SOCKET && (name == SO_RCVBUF || name == SO_RCVBUFFORCE))
        return real(busEnd[slot].load() - 1, SOL_SOCKET, name == SO_RCVBUF ? SO_SNDBUF : SO_SNDBUFFORCE, value, length);
    return real(fd, level, name, value, length);
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) {
    static const auto real = next<int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select");
    bool watchesCan = false;
    for (int i = 0; readfds && i < kSlots && !watchesCan; ++i) {
        const int fd = libraryEnd[i].load(std::memory_order_acquire) - 1;
        watchesCan = fd >= 0 && fd < nfds && fd < FD_SETSIZE && FD_ISSET(fd, readfds);
    }
    int result = -1;
    int err = 0;
    if (watchesCan && takeFault(&Faults::select, &result, &err)) {
        errno = err;
        return -1;
    }
    return real(nfds, readfds, writefds, exceptfds, timeout);
}

// The drop counts the kernel would give with the count records the CAN
// socket in slot has just read (user-space bus): 0 while SO_RXQ_OVFL is off.
void dropsOnRecordsRead(int slot, unsigned* drops, int count) {
    std::lock_guard<std::mutex> g(stateLock);
    Queue& q = queues[slot];
    for (int i = 0; i < count; ++i) {
        const unsigned long long record = q.read++;
        while (q.marks.size() > 1 && q.marks[1].first <= record) q.marks.pop_front();
        const bool dropped = q.reportDrops && !q.marks.empty() && q.marks.front().first <= record;
        drops[i] = dropped ? q.marks.front().second : 0;
    }
}

ssize_t read(int fd, void* buffer, size_t size) {
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    int result = -1;
    int err = 0;
    const int slot = slotOf(fd);
    if (slot >= 0 && takeFault(&Faults::read, &result, &err)) {
        errno = err;
        return -1;
    }
    const ssize_t n = real(fd, buffer, size);
    if (slot >= 0) capture(buffer, n);
    unsigned drops;
    if (slot >= 0 && n >= 0 && !kernelBus()) dropsOnRecordsRead(slot, &drops, 1);
    return n;
}

int recvmmsg(int fd, mmsghdr* messages, unsigned count, int flags, timespec* timeout) {
    static const auto real = next<int (*)(int, mmsghdr*, unsigned, int, timespec*)>("recvmmsg");
    const int slot = slotOf(fd);
    if (slot < 0) return real(fd, messages, count, flags, timeout);
    int result = -1;
    int err = 0;
    if (takeFault(&Faults::read, &result, &err)) {
        errno = err;
        return -1;
    }
    count = std::min(count, static_cast<unsigned>(IOV_MAX));  // as the kernel caps it
    size_t room[IOV_MAX];
    for (unsigned i = 0; i < count; ++i) room[i] = messages[i].msg_hdr.msg_controllen;
    const int n = real(fd, messages, count, flags, timeout);
    for (int i = 0; i < n; ++i) {
        if (messages[i].msg_hdr.msg_iovlen > 0) capture(messages[i].msg_hdr.msg_iov[0].iov_base, messages[i].msg_len);
    }
    if (n <= 0 || kernelBus()) return n;
    unsigned drops[IOV_MAX];
    dropsOnRecordsRead(slot, drops, n);
    for (int i = 0; i < n; ++i) {
        // As the kernel: the count goes with the record, and only once it is not 0.
        msghdr& m = messages[i].msg_hdr;
        if (drops[i] == 0 || !m.msg_control || m.msg_controllen != 0 || room[i] < CMSG_SPACE(sizeof drops[i]))
            continue;
        m.msg_controllen = room[i];
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SO_RXQ_OVFL;
        c->cmsg_len = CMSG_LEN(sizeof drops[i]);
        memcpy(CMSG_DATA(c), &drops[i], sizeof drops[i]);
        m.msg_controllen = CMSG_SPACE(sizeof drops[i]);
    }
    return n;
}

// On a CAN socket, a batch of one.
ssize_t recvmsg(int fd, msghdr* message, int flags) {
    static const auto real = next<ssize_t (*)(int, msghdr*, int)>("recvmsg");
    if (!isCan(fd) || !message) return real(fd, message, flags);
    mmsghdr one = {*message, 0};
    const int n = recvmmsg(fd, &one, 1, flags, nullptr);
    *message = one.msg_hdr;
    return n == 1 ? static_cast<ssize_t>(one.msg_len) : n;
}

// A write fault or a held transmit queue (user-space bus) on a CAN socket:
// true with the result to give.
bool writeRefused(int fd, ssize_t* result) {
    if (!isCan(fd)) return false;
    int r = -1;
    int err = 0;
    if (takeFault(&Faults::write, &r, &err)) {
        if (r < 0) errno = err;
        *result = r;
        return true;
    }
    if (!kernelBus() && transmitHeld.load()) {
        errno = EAGAIN;
        *result = -1;
        return true;
    }
    return false;
}

ssize_t write(int fd, const void* buffer, size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    ssize_t refused = 0;
    if (writeRefused(fd, &refused)) return refused;
    const ssize_t sent = real(fd, buffer, size);
    if (isCan(fd)) capture(buffer, sent);
    return sent;
}

ssize_t send(int fd, const void* buffer, size_t size, int flags) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, int)>("send");
    ssize_t refused = 0;
    if (writeRefused(fd, &refused)) return refused;
    const ssize_t sent = real(fd, buffer, size, flags);
    if (isCan(fd)) capture(buffer, sent);
    return sent;
}

int close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    const int slot = slotOf(fd);
    if (slot >= 0) {
        std::lock_guard<std::mutex> g(stateLock);
        libraryEnd[slot].store(0, std::memory_order_release);
    }
    return real(fd);
}

}  // extern "C"

namespace canbus {

UserSpaceCanBus& UserSpaceCanBus::instance() {
    static UserSpaceCanBus bus;
    return bus;
}

int UserSpaceCanBus::busFd() const {
    return newestBus.load() - 1;
}

bool UserSpaceCanBus::send(const can_frame& frame) {
    return sendRaw(&frame, sizeof frame);
}

bool UserSpaceCanBus::sendRaw(const void* bytes, size_t size) {
    int fd = -1;
    const int slot = holdNewestBus(&fd);
    if (slot < 0) return false;
    int dropBytes;
    {
        std::lock_guard<std::mutex> g(stateLock);
        dropBytes = queues[slot].dropBytes;
    }
    ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL | (dropBytes ? MSG_DONTWAIT : 0));
    if (n < 0 && kernelBus()) {
        // The kernel reports an interface that went down to every socket on
        // it once, at its next call; the frame itself was not refused.
        int pending = 0;
        socklen_t length = sizeof pending;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
        n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    }
    bool sent = n == static_cast<ssize_t>(size);
    if (!kernelBus()) {
        std::lock_guard<std::mutex> g(stateLock);
        Queue& q = queues[slot];
        if (sent) {
            ++q.sent;
        } else if (dropBytes && n < 0 && errno == EAGAIN) {
            // Dropped as the kernel drops for a full receive queue: the next
            // record that gets through carries the new count.
            ++q.drops;
            if (!q.marks.empty() && q.marks.back().first == q.sent)
                q.marks.back().second = q.drops;
            else
                q.marks.emplace_back(q.sent, q.drops);
            sent = true;
        }
    }
    releaseBus(slot);
    return sent;
}

bool UserSpaceCanBus::receive(can_frame* frame, int timeoutMs) {
    int fd = -1;
    const int slot = holdNewestBus(&fd);
    if (slot < 0) return false;
    pollfd watch = {fd, POLLIN, 0};
    const bool got = ::poll(&watch, 1, timeoutMs) == 1 && (watch.revents & POLLIN) &&
                     ::recv(fd, frame, sizeof *frame, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof *frame);
    releaseBus(slot);
    return got;
}

void UserSpaceCanBus::failSocket(int count, int err) {
    arm(&Faults::socket, count, err, -1, 0);
}

void UserSpaceCanBus::failBind(int count, int err) {
    arm(&Faults::bind, count, err, -1, 0);
}

void UserSpaceCanBus::failWrites(int count, int err, int after) {
    arm(&Faults::write, count, err, -1, after);
}

void UserSpaceCanBus::shortenWrites(int count, int result, int after) {
    arm(&Faults::write, count, 0, result, after);
}

void UserSpaceCanBus::failReads(int count, int err) {
    arm(&Faults::read, count, err, -1, 0);
}

void UserSpaceCanBus::failSelects(int count, int err) {
    arm(&Faults::select, count, err, -1, 0);
}

bool UserSpaceCanBus::kernel() const {
    return kernelBus();
}

int UserSpaceCanBus::interfaceIndex(int n) const {
    if (!kernelBus()) return n >= 0 && n < kInterfaces ? kFirstIfIndex + n : 0;
    char name[IFNAMSIZ];
    snprintf(name, sizeof name, "can%d", n);
    return static_cast<int>(if_nametoindex(name));
}

void UserSpaceCanBus::dropWhenFull(int bytes) {
    int fd = -1;
    const int slot = holdNewestBus(&fd);
    if (slot < 0) return;
    const int library = libraryEnd[slot].load() - 1;
    if (kernelBus()) {
        if (library >= 0) setsockopt(library, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    } else {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
        std::lock_guard<std::mutex> g(stateLock);
        queues[slot].dropBytes = bytes;
    }
    releaseBus(slot);
}

namespace {

// Runs a shell command line; true when it exited 0.
bool run(const std::string& line) {
    return std::system((line + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

bool UserSpaceCanBus::holdTransmit(bool held) {
    if (!kernelBus()) {
        transmitHeld.store(held);
        return true;
    }
    int index;
    {
        std::lock_guard<std::mutex> g(stateLock);
        const int newest = newestBus.load();
        index = 0;
        for (int i = 0; i < kSlots; ++i) {
            if (newest != 0 && busEnd[i].load() == newest) index = queues[i].boundIndex;
        }
    }
    char name[IFNAMSIZ] = {};
    if (index == 0 || !if_indextoname(static_cast<unsigned>(index), name)) return false;
    // A plug discipline holds what is queued until released; its limit is in
    // bytes, far above what a socket's send buffer lets through.
    return held ? run(std::string("tc qdisc add dev ") + name + " root plug limit 100000000")
                : run(std::string("tc qdisc del dev ") + name + " root");
}

bool UserSpaceCanBus::removeInterface(int n) {
    return kernelBus() && run("ip link del dev can" + std::to_string(n));
}

bool UserSpaceCanBus::restoreInterface(int n) {
    const std::string name = "can" + std::to_string(n);
    return kernelBus() && run("ip link add dev " + name + " type vcan") && run("ip link set " + name + " up");
}

int UserSpaceCanBus::socketsCreated() const {
    return created.load();
}

int UserSpaceCanBus::socketsOpen() const {
    int open = 0;
    for (int i = 0; i < kSlots; ++i) open += libraryEnd[i].load() != 0 ? 1 : 0;
    return open;
}

int UserSpaceCanBus::lastIfIndex() const {
    return boundIndex.load();
}

std::string UserSpaceCanBus::lastLookup() const {
    std::lock_guard<std::mutex> g(stateLock);
    return lookup;
}

void UserSpaceCanBus::reset() {
    std::lock_guard<std::mutex> g(stateLock);
    faults = Faults();
    transmitHeld.store(false);
    closeOrphanedBusEnds();
}

}  // namespace canbus

#include "XR9ALEthernet/EthernetFrameWriter.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "XR9ALEthernet/EthernetFrameCodec.h"

namespace xr9eth {

namespace {

constexpr int kPiecesPerCall = IOV_MAX < 256 ? IOV_MAX : 256;
constexpr size_t kStageBytes = 64 * 1024;
constexpr int kCopyUpTo = 2048;  // a 1 KiB message moves a third faster copied

// The writing thread's buffer for those copies, made at its first write and
// kept for its life: too large for its stack, too often needed to allocate.
char* stageBuffer() {
    static thread_local std::unique_ptr<char[]> stage;
    if (!stage) stage.reset(new char[kStageBytes]);
    return stage.get();
}

}  // namespace

QByteArray frameOf(enMsgType type, const QByteArray& payload) {
    char header[kFrameHeaderSize];
    const int headerSize = encodeFrameHeader(type, payload.size(), header);
    QByteArray frame(headerSize + payload.size(), Qt::Uninitialized);
    std::memcpy(frame.data(), header, size_t(headerSize));
    if (!payload.isEmpty()) std::memcpy(frame.data() + headerSize, payload.constData(), size_t(payload.size()));
    return frame;
}

QByteArray frameRest(const QPair<enMsgType, QByteArray>& message, size_t sent) {
    return frameOf(message.first, message.second).mid(int(sent));  // once per cut write, off the hot path
}

FramesSent sendFrames(int fd, const EthernetQueue& frames, int from, int count) {
    char* const stage = stageBuffer();
    iovec pieces[kPiecesPerCall];
    FramesSent result;
    while (result.whole < count) {
        const int base = from + result.whole;
        size_t staged = 0;
        int used = 0, n = 0;
        bool stageOpen = false;  // the last piece ends where the stage goes on
        for (; result.whole + n < count && used + 2 <= kPiecesPerCall; ++n) {
            const QPair<enMsgType, QByteArray>& frame = frames[base + n];
            const size_t payloadSize = size_t(frame.second.size());
            const bool copy = payloadSize <= size_t(kCopyUpTo);
            if (staged + kFrameHeaderSize + (copy ? payloadSize : 0) > kStageBytes) break;
            char* at = stage + staged;
            size_t piece = size_t(encodeFrameHeader(frame.first, int(payloadSize), at));
            if (copy) {
                std::memcpy(at + piece, frame.second.constData(), payloadSize);
                piece += payloadSize;
            }
            staged += piece;
            if (stageOpen) {
                pieces[used - 1].iov_len += piece;
            } else {
                pieces[used++] = iovec{at, piece};
            }
            stageOpen = copy;
            if (!copy) pieces[used++] = iovec{const_cast<char*>(frame.second.constData()), payloadSize};
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = size_t(used);
        ssize_t sent = -1;
        int error = EBADF;
        while (fd >= 0 && (sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT)) < 0 && (error = errno) == EINTR) {
        }
        if (sent < 0 && error != EAGAIN && error != EWOULDBLOCK) {
            result.failed = true;
            return result;
        }
        // The frames taken whole, found by their lengths.
        size_t left = size_t(sent < 0 ? 0 : sent);
        int f = 0;
        for (; f < n; ++f) {
            const QPair<enMsgType, QByteArray>& frame = frames[base + f];
            const size_t bytes = size_t(frameHeaderSizeOf(frame.first) + frame.second.size());
            if (left < bytes) break;
            left -= bytes;
        }
        result.whole += f;
        if (f < n) {
            result.cutAt = left;
            return result;
        }
    }
    return result;
}

}  // namespace xr9eth

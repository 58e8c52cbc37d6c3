// Sample host: takes each handle the library offers, then exchanges one
// command over Ethernet loopback with a remote tool played by a thread on
// plain sockets. Exits 0 when the answer comes back whole.
#include <QByteArray>
#include <QCoreApplication>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "XR9ALEthernet/XR9ALEthernet.h"
#include "access/Xr9AlHandle.h"
#include "support/Xr9Log.h"

namespace {

uint16_t freeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

// The remote tool: connects, sends a command frame, reads the answer frame.
std::string remoteTool(uint16_t port) {
    int fd = -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 100; ++attempt) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) break;
        close(fd);
        fd = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (fd < 0) return "no connection";
    const unsigned char frame[] = {0xA5, 0xA5, 0xA5, 0xA5, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'};
    send(fd, frame, sizeof frame, 0);
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string got;
    char buf[256];
    ssize_t n;
    while (got.size() < 8 + 9 && (n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, size_t(n));
    close(fd);
    return got.size() >= 8 ? got.substr(8) : "short answer";
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (Xr9AlInit() != 0) return 1;
    Xr9Log::SetLogLevel(3);
    int failures = 0;
    for (enInterfaceType type : {IF_TYPE_CAN, IF_TYPE_MM}) {
        XR9AL* handle = Xr9AlGetHandle(type);
        std::printf("interface %d: %s\n", static_cast<int>(type), handle ? "transport" : "none");
        failures += handle == nullptr;
        Xr9AlCloseHandle(handle);
    }

    XR9AL* eth = Xr9AlGetHandle(IF_TYPE_ETHERNET);
    if (!eth) return 1;
    EthernetSettings settings{};
    settings.commandPort = freeTcpPort();
    settings.streamPort = freeTcpPort();
    settings.broadcastPort = 0;
    settings.ipAddress[0] = 127;
    settings.ipAddress[3] = 1;
    if (eth->OpenPort(IF_TYPE_ETHERNET, &settings, 0) != 0) ++failures;

    std::string answer;
    std::atomic<bool> toolDone{false};
    std::thread tool([&] {
        answer = remoteTool(static_cast<uint16_t>(settings.commandPort));
        toolDone = true;
    });
    // This thread owns the transport: it runs the event loop, takes the
    // command and sends the answer (SendData with MSG_TYPE_NONE pumps one),
    // and goes on running the loop until the socket has written it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool answered = false;
    while (std::chrono::steady_clock::now() < deadline && !toolDone) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QByteArray command;
        if (!answered && eth->ReceiveData(&command, MSG_TYPE_COMMAND, 0) == 0) {
            QByteArray reply = "got " + command;
            eth->SendData(&reply, MSG_TYPE_COMMAND);
            eth->SendData(static_cast<QByteArray*>(nullptr), MSG_TYPE_NONE);
            answered = true;
        }
    }
    tool.join();
    std::printf("remote tool received: '%s'\n", answer.c_str());
    if (answer != "got hello") ++failures;
    eth->ClosePort();
    Xr9AlCloseHandle(eth);
    return failures == 0 ? 0 : 1;
}

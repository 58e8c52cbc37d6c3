// Sample host: the calling order, the threads and the results that a host of
// libxr9al deals with, on each medium (docs/host-guide.md walks through it).
// The remote update tool is a thread on plain sockets that sends one command
// over Ethernet loopback and reads the answer. Exits 0 when the answer comes
// back whole; a medium this machine lacks (CAN, a USB drive) is reported and
// skipped.
#include <QByteArray>
#include <QCoreApplication>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "XR9ALEthernet/EthernetThread.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "access/Xr9AlHandle.h"
#include "can/XR9ALCAN.h"
#include "support/Xr9Log.h"
#include "vocabulary/XRErrorCodes.h"

namespace {

// --- the remote tool, played on plain sockets -------------------------------

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

// Connects to the terminal's command port, sends the command frame "hello"
// and returns the payload of the answer frame.
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

// --- the host ----------------------------------------------------------------

// Memory drive: each poll reports what changed since the last one.
void pollUsbDrive() {
    XR9AL* usb = Xr9AlGetHandle(IF_TYPE_MM);
    if (!usb) return;
    InterfaceSetting drive{};
    switch (usb->GetDeviceList(&drive)) {
        case XR_SUCCESS: std::printf("USB drive mounted at %s\n", drive.device.c_str()); break;
        case XR_MM_SAME_DRIVE: break;  // still the drive reported before
        default: std::printf("no USB drive\n"); break;  // XR_MM_NO_DRIVE
    }
    usb->ClosePort();  // flushes the file systems: the drive may be pulled now
    Xr9AlCloseHandle(usb);
}

// CAN: a receiver blocks in the transport's queue; ExitReceiveData releases
// it with a twelve-byte item of zeros, told apart by the stopping flag.
void canSession() {
    XR9AL* can = Xr9AlGetHandle(IF_TYPE_CAN);  // starts the receive task
    if (!can) return;
    CANPortSetting port{CAN_BITRATE_500K, CAN_MODE_STANDARD, 0x100, 0x101, 0x200, 0x201};
    KT::int32 rc = can->OpenPort(IF_TYPE_CAN, &port, 0);  // can0
    if (rc != XR_SUCCESS) {
        std::printf("CAN: can0 cannot be opened here (%d)\n", rc);
    } else {
        std::atomic<bool> stopping{false};
        std::thread receiver([can, &stopping] {
            KT::uint8 message[XR9ALCANWrapper::kMessageCapacity];  // the largest CAN message
            while (!stopping) {
                KT::uint32 length = 0;
                KT::int32 got = can->ReceiveData(message, &length, MSG_TYPE_COMMAND);
                if (got != XR_SUCCESS || stopping) break;
                std::printf("CAN: a command of %u bytes\n", length);
            }
        });
        KT::uint8 hello[] = {'h', 'e', 'l', 'l', 'o'};
        rc = can->SendData(hello, sizeof hello, MSG_TYPE_COMMAND);
        std::printf("CAN: command sent (%d)\n", rc);
        stopping = true;
        can->ExitReceiveData();
        receiver.join();
    }
    can->ClosePort();  // stops the receive task
    Xr9AlCloseHandle(can);
}

}  // namespace

int main(int argc, char** argv) {
    // The thread that takes the Ethernet handle owns the transport: its event
    // loop runs the transport's sockets.
    QCoreApplication app(argc, argv);
    Xr9Log::CreateLogFile("/tmp/xr9al-sample-host.log");  // .0 and .1, 1 MiB each
    Xr9Log::SetLogLevel(4);                               // set-up and faults, no traces
    Xr9AlInit();

    pollUsbDrive();
    canSession();

    XR9AL* eth = Xr9AlGetHandle(IF_TYPE_ETHERNET);
    if (!eth) return 1;
    // The transport keeps a pointer to its settings: they live as long as it.
    EthernetSettings settings{};
    settings.commandPort = freeTcpPort();
    settings.streamPort = freeTcpPort();
    settings.broadcastPort = 0;
    settings.ipAddress[0] = 127;
    settings.ipAddress[3] = 1;
    settings.clientMode = 0;  // server mode: the tool connects to us
    if (eth->OpenPort(IF_TYPE_ETHERNET, &settings, 0) != XR_SUCCESS)
        std::printf("Ethernet: no broadcast socket; commands and streams still work\n");

    // No host thread waits more than a second for room towards a peer that
    // reads nothing. The send thread drains the send queue; notify() wakes it.
    XR9ALEthernet* transport = static_cast<XR9ALEthernet*>(eth);
    transport->setSendTimeout(1000);
    EthernetThread sender("xr9al-send", false, transport);
    sender.start();

    // A host thread receives commands and answers them, waiting at most
    // 200 ms at a time so that it notices when to stop.
    std::atomic<bool> stopping{false};
    std::thread receiver([eth, &sender, &stopping] {
        while (!stopping) {
            QByteArray command;
            KT::int32 rc = eth->ReceiveData(&command, MSG_TYPE_COMMAND, 200);
            if (rc == XR_OS_ERROR_TIMEOUT) continue;  // nothing yet
            if (rc != XR_SUCCESS) break;              // XR_USER_ABORT: the port is closing
            QByteArray answer = "got " + command;
            rc = eth->SendData(&answer, MSG_TYPE_COMMAND);
            if (rc == XR_SUCCESS)
                sender.notify();
            else  // XR9AL_QUEUE_FULL: the tool has stopped reading; XR_USER_ABORT
                std::printf("Ethernet: answer not queued (%d)\n", rc);
        }
    });

    // The tool's thread only raises a flag; a timer of the loop's own thread
    // ends the loop when it sees it (or after 10 s, if the tool never returns).
    std::string toolGot;
    std::atomic<bool> toolDone{false};
    std::thread tool([&toolGot, &toolDone, &settings] {
        toolGot = remoteTool(static_cast<uint16_t>(settings.commandPort));
        toolDone = true;
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&toolDone] {
        if (toolDone) QCoreApplication::quit();
    });
    poll.start(10);
    QTimer::singleShot(10000, &app, &QCoreApplication::quit);
    app.exec();
    tool.join();

    // Shut down in the reverse order: receivers, the send thread, the port,
    // the handle.
    stopping = true;
    receiver.join();
    sender.stop();
    eth->ClosePort();
    Xr9AlCloseHandle(eth);

    std::printf("remote tool received: '%s'\n", toolGot.c_str());
    return toolGot == "got hello" ? 0 : 1;
}

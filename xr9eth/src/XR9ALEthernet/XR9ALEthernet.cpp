#include "XR9ALEthernet/XR9ALEthernet.h"

#include <utility>

#include <QHostAddress>
#include <QTcpSocket>
#include <QUdpSocket>

#include "KTDEI.h"
#include "XR9ALEthernet/EthernetUtilities.h"
#include "XrTcpServer/XRTcpServer.h"
#include "support/Console.h"
#include "support/HostAnswer.h"
#include "vocabulary/XRErrorCodes.h"

QMutex mutexRxQueue;
QMutex mutexTxQueue;
QWaitCondition commandQueueNotifier;
QWaitCondition streamQueueNotifier;
QWaitCondition broadcastQueueNotifier;
QWaitCondition shmQueueNotifier;

namespace {

// Host variables that server mode sets: the terminal's IP address and the
// request to apply it.
constexpr unsigned short kNetworkGroup = 0x2140;
constexpr unsigned short kIpAddressIndex = 1;
constexpr unsigned short kApplyIndex = 20;

using xr9::hostAccepted;

// An endpoint's reassembly starts afresh: no byte of an earlier connection
// completes a frame of the next one.
void emptyReassembly(QByteArray* buffer, bool* collecting, EthernetFrameCutter* cutter) {
    buffer->clear();
    *collecting = false;
    cutter->reset();
}

// Has socket take held's place, the previous one deleted at once, with the
// endpoint's reassembly emptied: false for null and for the socket held.
bool replaceSocket(QTcpSocket*& held, QTcpSocket* socket, QByteArray* buffer, bool* collecting,
                   EthernetFrameCutter* cutter) {
    if (!socket || socket == held) return false;
    // Replaced before the old one goes: it reports its end while it is deleted.
    delete std::exchange(held, socket);
    emptyReassembly(buffer, collecting, cutter);
    return true;
}

}  // namespace

XR9ALEthernet::XR9ALEthernet() : QObject(nullptr) {
    init();
}

XR9ALEthernet::~XR9ALEthernet() {
    // Waiting receivers and senders are let go, and the object outlives
    // their last touch of it.
    releaseReceivers();
    releaseSenders();
    settings = nullptr;
    // A socket being deleted reports its state: the member is cleared first.
    delete std::exchange(commandSocket, nullptr);
    delete std::exchange(streamSocket, nullptr);
    delete std::exchange(udpSocket, nullptr);
    delete commandServer;
    delete streamServer;
    delete txQueue;
    delete commandRxQueue;
    delete broadcastRxQueue;
    delete streamRxQueue;
    delete senderAddress;
}

KT::int32 XR9ALEthernet::init() {
    if (udpSocket) {
        udpSocket->disconnectFromHost();
    } else {
        udpSocket = new QUdpSocket();
        connect(udpSocket, &QUdpSocket::readyRead, this, &XR9ALEthernet::ReceivedBroadcastMsg);
    }
    auto ownSocket = [this](QTcpSocket*& socket, auto upSlot, auto downSlot) {
        if (socket) return socket->disconnectFromHost();
        socket = new QTcpSocket(this);
        watchSocket(socket);
        connect(socket, &QTcpSocket::connected, this, upSlot);
        connect(socket, &QTcpSocket::disconnected, this, downSlot);
    };
    ownSocket(commandSocket, &XR9ALEthernet::commandSocketConnected, &XR9ALEthernet::commandSocketDisconnected);
    ownSocket(streamSocket, &XR9ALEthernet::streamSocketConnected, &XR9ALEthernet::streamSocketDisconnected);
    if (!commandServer) {
        commandServer = new XRTcpServer(this);
        commandServer->init(this, MSG_TYPE_COMMAND);
    }
    if (!streamServer) {
        streamServer = new XRTcpServer(this);
        streamServer->init(this, MSG_TYPE_STREAM);
    }
    if (!txQueue) txQueue = new EthernetQueue();
    sendHandover_.reset(txQueue, commandSocket, streamSocket);
    for (EthernetQueue** queue : {&commandRxQueue, &broadcastRxQueue, &streamRxQueue}) {
        if (!*queue) *queue = new EthernetQueue();
    }
    receiveQueues_.reset({commandRxQueue, broadcastRxQueue, streamRxQueue});
    if (senderAddress) {
        senderAddress->setAddress(QStringLiteral("0.0.0.0"));
    } else {
        senderAddress = new QHostAddress(QStringLiteral("0.0.0.0"));
    }
    broadcastIPs = EthernetUtilities::GetAllBroadcastIPs();
    emptyReassembly(&commandBuffer, &commandCollecting_, &commandCutter_);
    emptyReassembly(&streamBuffer, &streamCollecting_, &streamCutter_);
    broadcastBuffer.clear();
    broadcastCutter_.reset();
    return XR_SUCCESS;
}

KT::int32 XR9ALEthernet::OpenPort(enInterfaceType, void* settingsRecord, KT::uint32) {
    if (settingsRecord && !settings) settings = static_cast<EthernetSettings*>(settingsRecord);
    if (!settings) return XR_INVALID_PARAMETER;
    const QString ip = EthernetUtilities::getIPStr(settings->ipAddress);
    const quint16 commandPort = quint16(settings->commandPort & 0xFFFFu);
    const quint16 streamPort = quint16(settings->streamPort & 0xFFFFu);

    if (settings->clientMode != 0) {
        if (commandSocket->peerAddress().toString() != ip) {
            commandSocket->abort();
            streamSocket->abort();
            emptyReassembly(&commandBuffer, &commandCollecting_, &commandCutter_);
            emptyReassembly(&streamBuffer, &streamCollecting_, &streamCutter_);
            commandSocket->connectToHost(ip, commandPort, QIODevice::ReadWrite);
            streamSocket->connectToHost(ip, streamPort, QIODevice::ReadWrite);
        }
    } else {
        KT::KTDEI* dei = KT::KTDEI::instance();
        const int ipStatus = dei->setVariableValue(kNetworkGroup, kIpAddressIndex, ip.toUtf8().toStdString(), true, false);
        if (!hostAccepted(ipStatus)) {
            xr9::consoleLine("XREthernet::openPort() set IPAddress: " + ip.toStdString() +
                             " returned: " + std::to_string(ipStatus));
        } else {
            const int applyStatus = dei->setVariableValue(kNetworkGroup, kApplyIndex, 1, true, false);
            if (!hostAccepted(applyStatus)) {
                xr9::consoleLine("XREthernet::openPort() set applyNstart: 1 returned: " + std::to_string(applyStatus));
            }
        }
        commandServer->setEthernetSettings(ip, commandPort);
        streamServer->setEthernetSettings(ip, streamPort);
    }

    udpSocket->disconnectFromHost();
    const QString bindText =
        settings->clientMode != 0 ? EthernetUtilities::getIPStr(settings->bindAddress) : QStringLiteral("0.0.0.0");
    const bool bound = udpSocket->bind(QHostAddress(bindText), quint16(settings->broadcastPort & 0xFFFFu),
                                       QAbstractSocket::ShareAddress);
    return bound ? XR_SUCCESS : XR_FAILURE;
}

KT::int32 XR9ALEthernet::ClosePort() { return init(); }

KT::int32 XR9ALEthernet::GetDeviceList(InterfaceSetting*) { return XR_SUCCESS; }

KT::int32 XR9ALEthernet::ExitReceiveData() { return XR_SUCCESS; }

KT::int32 XR9ALEthernet::ResetPort() { return XR_SUCCESS; }

void XR9ALEthernet::setCommandSocket(QTcpSocket* socket) {
    if (replaceSocket(commandSocket, socket, &commandBuffer, &commandCollecting_, &commandCutter_)) watchSocket(socket);
}

void XR9ALEthernet::setStreamSocket(QTcpSocket* socket) {
    if (replaceSocket(streamSocket, socket, &streamBuffer, &streamCollecting_, &streamCutter_)) watchSocket(socket);
}

void XR9ALEthernet::watchSocket(QTcpSocket* socket) {
    // Qt reads a socket into a buffer of its own before it signals; bounded,
    // it holds a small arrival whole and leaves the rest of a large one to the
    // reader's own read (and, unread, the peer to TCP's flow control).
    socket->setReadBufferSize(xr9eth::kQtReadBuffer);
    connect(socket, &QTcpSocket::readyRead, this,
            socket == streamSocket ? &XR9ALEthernet::ReceivedStreamMsg : &XR9ALEthernet::ReceivedCommandMsg);
    // Both keep the send account and the connected state other threads see,
    // and have messages held for a socket's room served (through the event
    // loop: never from inside a write of the outbox's).
    auto changed = [this] { sendHandover_.note(commandSocket, streamSocket, this); };
    connect(socket, &QTcpSocket::bytesWritten, this, changed);
    connect(socket, &QTcpSocket::stateChanged, this, changed);
    noteSockets();
}

bool XR9ALEthernet::isConnected() { return commandConnected && streamConnected; }

void XR9ALEthernet::commandSocketConnected() { commandConnected = true; }

void XR9ALEthernet::streamSocketConnected() { streamConnected = true; }

void XR9ALEthernet::commandSocketDisconnected() { commandConnected = false; }

void XR9ALEthernet::streamSocketDisconnected() { streamConnected = false; }

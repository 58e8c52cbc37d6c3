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
#include "support/TsanAnnotations.h"
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

// Qt reads a socket into a buffer of its own whether or not we read it;
// bounded, it stops and leaves the peer to TCP's flow control.
void boundReadBuffer(QTcpSocket* socket) {
    socket->setReadBufferSize(xr9eth::kSocketReadChunk);
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
    auto ownSocket = [this](QTcpSocket*& socket, auto readSlot, auto upSlot, auto downSlot) {
        if (socket) return socket->disconnectFromHost();
        socket = new QTcpSocket(this);
        boundReadBuffer(socket);
        watchSocket(socket);
        connect(socket, &QTcpSocket::readyRead, this, readSlot);
        connect(socket, &QTcpSocket::connected, this, upSlot);
        connect(socket, &QTcpSocket::disconnected, this, downSlot);
    };
    ownSocket(commandSocket, &XR9ALEthernet::ReceivedCommandMsg, &XR9ALEthernet::commandSocketConnected,
              &XR9ALEthernet::commandSocketDisconnected);
    ownSocket(streamSocket, &XR9ALEthernet::ReceivedStreamMsg, &XR9ALEthernet::streamSocketConnected,
              &XR9ALEthernet::streamSocketDisconnected);
    if (!commandServer) {
        commandServer = new XRTcpServer(this);
        commandServer->init(this, MSG_TYPE_COMMAND);
    }
    if (!streamServer) {
        streamServer = new XRTcpServer(this);
        streamServer->init(this, MSG_TYPE_STREAM);
    }
    if (!txQueue) txQueue = new EthernetQueue();
    {
        // One step with the release: a sender let go must not find the room
        // the emptying made.
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        txQueue->clear();
        outbox_.clear();
        for (TxAccount& account : txAccounts_) account.queued = 0;
        ++txEpoch_;
    }
    noteSockets();  // wakes the senders let go
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
    commandBuffer.clear();
    streamBuffer.clear();
    broadcastBuffer.clear();
    commandCollecting_ = streamCollecting_ = false;
    for (EthernetFrameCutter* cutter : {&commandCutter_, &streamCutter_, &broadcastCutter_}) cutter->reset();
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
            commandBuffer.clear();
            streamBuffer.clear();
            commandCollecting_ = streamCollecting_ = false;
            commandCutter_.reset();
            streamCutter_.reset();
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
    if (!socket || socket == commandSocket) return;
    // Replaced before the old one goes: it reports its end while it is deleted.
    delete std::exchange(commandSocket, socket);
    boundReadBuffer(socket);
    commandBuffer.clear();
    commandCollecting_ = false;
    commandCutter_.reset();
    connect(socket, &QTcpSocket::readyRead, this, &XR9ALEthernet::ReceivedCommandMsg);
    watchSocket(socket);
    noteSockets();
}

void XR9ALEthernet::setStreamSocket(QTcpSocket* socket) {
    if (!socket || socket == streamSocket) return;
    // Replaced before the old one goes: it reports its end while it is deleted.
    delete std::exchange(streamSocket, socket);
    boundReadBuffer(socket);
    streamBuffer.clear();
    streamCollecting_ = false;
    streamCutter_.reset();
    connect(socket, &QTcpSocket::readyRead, this, &XR9ALEthernet::ReceivedStreamMsg);
    watchSocket(socket);
    noteSockets();
}

bool XR9ALEthernet::isConnected() { return commandConnected && streamConnected; }

void XR9ALEthernet::commandSocketConnected() { commandConnected = true; }

void XR9ALEthernet::streamSocketConnected() { streamConnected = true; }

void XR9ALEthernet::commandSocketDisconnected() { commandConnected = false; }

void XR9ALEthernet::streamSocketDisconnected() { streamConnected = false; }

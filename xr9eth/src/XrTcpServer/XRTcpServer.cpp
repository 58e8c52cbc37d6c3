#include "XrTcpServer/XRTcpServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/Console.h"

namespace {

// Gives the transport socket for its connection of type (another type: nobody).
void handToTransport(XR9ALEthernet* ethernet, enMsgType type, QTcpSocket* socket) {
    if (ethernet && type == MSG_TYPE_COMMAND) ethernet->setCommandSocket(socket);
    if (ethernet && type == MSG_TYPE_STREAM) ethernet->setStreamSocket(socket);
}

}  // namespace

XRTcpServer::XRTcpServer(QObject* parent) : QObject(nullptr), m_server(new QTcpServer(parent)) {
    connect(m_server, &QTcpServer::newConnection, this, &XRTcpServer::newConnection);
}

XRTcpServer::~XRTcpServer() {
    delete m_server;
    m_server = nullptr;
}

void XRTcpServer::init(XR9ALEthernet* ethernet, enMsgType type) {
    m_ethernet = ethernet;
    m_msgType = type;
}

void XRTcpServer::startListening() {
    if (!m_server->listen(QHostAddress(QHostAddress::Any), m_port)) {
        xr9::consoleLine("  Error: " + m_server->errorString().toUtf8().toStdString());
    }
}

void XRTcpServer::stopListening() {
    m_server->close();
}

void XRTcpServer::setEthernetSettings(QString address, quint16 port) {
    if (port == m_port) return;
    m_port = port;
    m_address = address;
    stopListening();
    startListening();
}

void XRTcpServer::newConnection() {
    if (!m_server->hasPendingConnections()) return;
    m_socket = m_server->nextPendingConnection();
    handToTransport(m_ethernet, m_msgType, m_socket);
}

void XRTcpServer::disconnect() {
    if (!m_socket) return;
    handToTransport(m_ethernet, m_msgType, nullptr);
    m_socket = nullptr;
    m_port = 0;
    m_address.clear();
}

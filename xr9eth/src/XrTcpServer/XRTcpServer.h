/// \file
/// The listening end of one TCP channel of the Ethernet transport (server
/// mode): accepts the peer's connection and hands the socket to the
/// transport, which reads and writes it from then on. The server never reads
/// or writes a byte. Owner thread only (the transport's); no lock.
#ifndef XRTCPSERVER_H
#define XRTCPSERVER_H

#include <QObject>
#include <QString>

#include "access/XR9AL.h"

class QTcpServer;
class QTcpSocket;
class XR9ALEthernet;

/// One listening server of the Ethernet transport (command or stream).
class XR9AL_EXPORT XRTcpServer : public QObject {
    Q_OBJECT

public:
    /// The listening socket's Qt parent is parent (the transport); this
    /// object itself has none and is deleted by the transport.
    explicit XRTcpServer(QObject* parent);
    ~XRTcpServer() override;

    /// The transport that receives accepted sockets and the channel served
    /// (MSG_TYPE_COMMAND or MSG_TYPE_STREAM; another value accepts and hands
    /// the socket to nobody).
    void init(XR9ALEthernet* ethernet, enMsgType type);
    /// Listens on every local address at the kept port; on failure prints
    /// "  Error: " and the error text. The caller is not told.
    void startListening();
    /// Closes the listening socket; an accepted connection stays.
    void stopListening();
    /// (Re)starts listening only when port differs from the kept one; the
    /// address is kept but never listened on alone.
    void setEthernetSettings(QString address, quint16 port);

public slots:
    /// Takes one pending connection and hands it to the transport.
    void newConnection();
    /// Gives up the accepted connection: the transport is told with null
    /// (and ignores it), the kept port is forgotten so that the next
    /// setEthernetSettings restarts the listener. Nothing in the library
    /// calls it; it is reachable by name through the meta-object.
    void disconnect();

private:
    QTcpServer* m_server;
    QTcpSocket* m_socket = nullptr;
    XR9ALEthernet* m_ethernet = nullptr;
    enMsgType m_msgType = MSG_TYPE_NONE;
    QString m_address;
    quint16 m_port = 0;
};

#endif

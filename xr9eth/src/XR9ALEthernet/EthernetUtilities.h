/// \file
/// Static helpers of the Ethernet transport: the readers of the message frame
/// (EthernetFrameCodec.h) and the IPv4 address conversions. No state; any thread.
#ifndef ETHERNETUTILITIES_H
#define ETHERNETUTILITIES_H

#include <QByteArray>
#include <QList>
#include <QString>

#include "access/XR9AL.h"

/// The frame readers and address conversions; static members only.
class XR9AL_EXPORT EthernetUtilities {
public:
    EthernetUtilities() = delete;

    /// 0 and the channel of the marker in bytes 0-3 (checked in the order
    /// broadcast, SHM, command, stream); -1 and MSG_TYPE_NONE when they are no
    /// marker; -2 when type is null or data holds fewer than 8 bytes (then
    /// MSG_TYPE_NONE is stored when type is given).
    static int GetMessageType(QByteArray data, enMsgType* type);
    /// 0 and bytes 4-7 as a big-endian signed number (zero and negative values
    /// included); -2 and length untouched for fewer than 8 bytes.
    static int GetMessageLength(QByteArray data, int& length);
    /// GetMessageType, then GetMessageLength when the type was found.
    static int GetMessageInfo(QByteArray data, enMsgType* type, int& length);

    /// "a.b.c.d" from four numbers, each written as a signed decimal (no range check).
    static QString getIPStr(short* address);
    /// The same text in a new QString; the caller deletes it.
    static QString* getIPString(short* address);
    /// Splits text at every "." into exactly four parts stored as 16-bit
    /// numbers (a part that does not convert stores 0): 0. -1 for an empty
    /// text or another number of parts; address is then untouched.
    static KT::int32 setIPArray(QString text, short* address);
    /// text up to and including its last ".", then "255" (a 24-bit network).
    static QString GetBroadcastIP(QString text);
    /// Always empty.
    static QList<QString> GetAllLocalIPs();
    /// Always empty.
    static QList<QString> GetAllBroadcastIPs();
};

#endif

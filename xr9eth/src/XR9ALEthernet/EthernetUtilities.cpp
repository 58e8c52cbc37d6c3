#include "XR9ALEthernet/EthernetUtilities.h"

#include <QStringList>

int EthernetUtilities::GetMessageType(QByteArray data, enMsgType* type) {
    if (!type || data.size() < xr9eth::kFrameHeaderSize) {
        if (type) *type = MSG_TYPE_NONE;
        return -2;
    }
    const char* p = data.constData();
    for (enMsgType candidate : {MSG_TYPE_BROADCAST, MSG_TYPE_SHM, MSG_TYPE_COMMAND, MSG_TYPE_STREAM}) {
        const char marker = static_cast<char>(xr9eth::markerOf(candidate));
        if (p[0] == marker && p[1] == marker && p[2] == marker && p[3] == marker) {
            *type = candidate;
            return 0;
        }
    }
    *type = MSG_TYPE_NONE;
    return -1;
}

int EthernetUtilities::GetMessageLength(QByteArray data, int& length) {
    if (data.size() < xr9eth::kFrameHeaderSize) return -2;
    length = xr9eth::readInt32Be(data.constData() + xr9eth::kMarkerSize);
    return 0;
}

int EthernetUtilities::GetMessageInfo(QByteArray data, enMsgType* type, int& length) {
    int result = GetMessageType(data, type);
    if (result != 0) return result;
    return GetMessageLength(data, length);
}

QString EthernetUtilities::getIPStr(short* address) {
    return QString("%1.%2.%3.%4").arg(address[0]).arg(address[1]).arg(address[2]).arg(address[3]);
}

QString* EthernetUtilities::getIPString(short* address) {
    return new QString(getIPStr(address));
}

KT::int32 EthernetUtilities::setIPArray(QString text, short* address) {
    if (text.isEmpty()) return -1;
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() != 4) return -1;
    for (int i = 0; i < 4; ++i) address[i] = parts[i].toShort(nullptr, 10);  // 0 when it does not convert
    return 0;
}

QString EthernetUtilities::GetBroadcastIP(QString text) {
    const int dot = text.lastIndexOf(QLatin1Char('.'), -1, Qt::CaseSensitive);
    return text.left(dot + 1) + QStringLiteral("255");
}

QList<QString> EthernetUtilities::GetAllLocalIPs() {
    return QList<QString>();
}

QList<QString> EthernetUtilities::GetAllBroadcastIPs() {
    (void)GetAllLocalIPs();
    return QList<QString>();
}

#include "XR9ALEthernet/EthernetUtilities.h"

#include <QStringList>

#include "XR9ALEthernet/EthernetFrameCodec.h"
#include "vocabulary/XRErrorCodes.h"

int EthernetUtilities::GetMessageType(QByteArray data, enMsgType* type) {
    if (!type || data.size() < xr9eth::kFrameHeaderSize) {
        if (type) *type = MSG_TYPE_NONE;
        return XR_INVALID_PARAMETER;
    }
    *type = xr9eth::decodeFrameType(data.constData());
    return *type == MSG_TYPE_NONE ? XR_FAILURE : XR_SUCCESS;
}

int EthernetUtilities::GetMessageLength(QByteArray data, int& length) {
    if (data.size() < xr9eth::kFrameHeaderSize) return XR_INVALID_PARAMETER;
    length = xr9eth::decodeFrameLength(data.constData());
    return XR_SUCCESS;
}

int EthernetUtilities::GetMessageInfo(QByteArray data, enMsgType* type, int& length) {
    const int result = GetMessageType(data, type);
    return result != XR_SUCCESS ? result : GetMessageLength(data, length);
}

QString EthernetUtilities::getIPStr(short* address) {
    return QString("%1.%2.%3.%4").arg(address[0]).arg(address[1]).arg(address[2]).arg(address[3]);
}

QString* EthernetUtilities::getIPString(short* address) {
    return new QString(getIPStr(address));
}

KT::int32 EthernetUtilities::setIPArray(QString text, short* address) {
    if (text.isEmpty()) return XR_FAILURE;
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() != 4) return XR_FAILURE;
    for (int i = 0; i < 4; ++i) address[i] = parts[i].toShort(nullptr, 10);  // 0 when it does not convert
    return XR_SUCCESS;
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

// The host's side of the binary interface: every name below is declared
// here, as a host compiled separately would, and resolved from libxr9al.so.
#include <QByteArray>
#include <QObject>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace KT {
typedef int int32;
typedef unsigned char uint8;
typedef unsigned int uint32;
}  // namespace KT

enum enInterfaceType { IF_TYPE_UNDEFINED, IF_TYPE_CAN, IF_TYPE_ETHERNET, IF_TYPE_RS232, IF_TYPE_MM };
enum enMsgType { MSG_TYPE_NONE, MSG_TYPE_COMMAND, MSG_TYPE_STREAM, MSG_TYPE_SHM, MSG_TYPE_BROADCAST };

struct InterfaceSetting {
    KT::uint32 a;
    KT::uint32 b;
    std::string device;
};

class QByteArray;

class XR9AL {
public:
    virtual ~XR9AL();
    virtual KT::int32 GetDeviceList(InterfaceSetting* setting) = 0;
    virtual KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) = 0;
    virtual KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) = 0;
    virtual KT::int32 SendData(QByteArray* data, enMsgType type) = 0;
    virtual KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) = 0;
    virtual KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout, enMsgType type) = 0;
    virtual KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) = 0;
    virtual KT::int32 ClosePort() = 0;
    virtual KT::int32 ExitReceiveData() = 0;
    virtual KT::int32 ResetPort() = 0;
};

// The Ethernet transport's limits: a host reaches them from its handle.
class XR9ALEthernet : public QObject, public XR9AL {
public:
    void setMaxFrameLength(KT::uint32 bytes);
    KT::uint32 maxFrameLength() const;
    void setReceiveBudget(KT::uint32 bytes);
    KT::uint32 receiveBudget() const;
    qint64 bytesHeld(enMsgType type);
    void setSendBound(KT::uint32 bytes);
    KT::uint32 sendBound() const;
    void setSendTimeout(int milliseconds);
    int sendTimeout() const;
    qint64 bytesWaiting(enMsgType type);
};

class XR9ALCOMMFactory {
public:
    XR9AL* createInstance(enInterfaceType type);
};

KT::int32 Xr9AlInit();
XR9AL* Xr9AlGetHandle(enInterfaceType type);
KT::int32 Xr9AlCloseHandle(XR9AL* handle);

extern XR9ALCOMMFactory objCommFactory;
extern XR9AL* pCANhandle;
extern XR9AL* pETHhandle;
extern XR9AL* pUSBhandle;

class Xr9Log {
public:
    static void SetLogLevel(int level);
    static KT::int32 CreateLogFile(std::string name);
    static KT::int32 setLogFile();
    static void WriteLogMsg(int line, char* function, char* message);
    static std::string m_FileName;
    static std::string m_Logfile;
    static KT::uint32 mutexID;
};

extern int LOG_LEVEL;
extern char logbuff[1000];

char* getErrorString(int code);
extern int canSock;
extern KT::uint32 uiCCQueueId;
extern KT::uint32 uiFTQueueId;
extern KT::uint32 uiSHMQeueId;
extern KT::int32 mount_id;

namespace {

TEST(HostAbi, TransportsAnswerThroughTheDeclaredSlots) {
    XR9AL* media = Xr9AlGetHandle(IF_TYPE_MM);
    ASSERT_NE(nullptr, media);
    EXPECT_EQ(media, pUSBhandle);
    EXPECT_EQ(0, mount_id);
    InterfaceSetting setting{1, 2, "untouched"};
    const KT::int32 polled = media->GetDeviceList(&setting);
    EXPECT_TRUE(polled == -280 || polled == 0) << polled;
    EXPECT_EQ(1u, setting.a);
    EXPECT_EQ(2u, setting.b);
    EXPECT_EQ(-502, media->ReceiveData(static_cast<QByteArray*>(nullptr), MSG_TYPE_COMMAND, 0));
    EXPECT_EQ(-1, media->SendData(static_cast<QByteArray*>(nullptr), MSG_TYPE_COMMAND));
    EXPECT_EQ(-1, media->ResetPort());
    EXPECT_EQ(0, Xr9AlCloseHandle(media));
    EXPECT_EQ(nullptr, pUSBhandle);

    XR9AL* eth = Xr9AlGetHandle(IF_TYPE_ETHERNET);
    ASSERT_NE(nullptr, eth);
    InterfaceSetting untouched{0, 0, "kept"};
    EXPECT_EQ(0, eth->GetDeviceList(&untouched));
    EXPECT_EQ("kept", untouched.device);
    QByteArray message;
    EXPECT_EQ(-1, eth->ReceiveData(&message, MSG_TYPE_SHM, 0));
    EXPECT_EQ(-304, eth->ReceiveData(&message, MSG_TYPE_COMMAND, 0));
    EXPECT_EQ(0, Xr9AlCloseHandle(eth));
    EXPECT_EQ(nullptr, pETHhandle);
}

TEST(HostAbi, EthernetLimitsAreReachedFromTheHandle) {
    XR9AL* handle = Xr9AlGetHandle(IF_TYPE_ETHERNET);
    ASSERT_NE(nullptr, handle);
    XR9ALEthernet* eth = static_cast<XR9ALEthernet*>(handle);
    EXPECT_EQ(0x7FFFFFFFu, eth->maxFrameLength()) << "no limit below the frame's own";
    EXPECT_EQ(16u << 20, eth->receiveBudget());
    EXPECT_EQ(16u << 20, eth->sendBound());
    EXPECT_EQ(-1, eth->sendTimeout()) << "no limit";
    eth->setMaxFrameLength(4096);
    eth->setReceiveBudget(0);
    eth->setSendBound(8192);
    eth->setSendTimeout(-7);
    EXPECT_EQ(4096u, eth->maxFrameLength());
    eth->setMaxFrameLength(0xFFFFFFFFu);
    EXPECT_EQ(0x7FFFFFFFu, eth->maxFrameLength()) << "no frame length is above the largest signed one";
    EXPECT_EQ(0u, eth->receiveBudget());
    EXPECT_EQ(8192u, eth->sendBound());
    EXPECT_EQ(-1, eth->sendTimeout());
    EXPECT_EQ(0, eth->bytesHeld(MSG_TYPE_COMMAND));
    QByteArray message("abc");
    EXPECT_EQ(0, eth->SendData(&message, MSG_TYPE_SHM));
    EXPECT_EQ(3 + 128, eth->bytesWaiting(MSG_TYPE_COMMAND)) << "SHM waits for the command connection";
    EXPECT_EQ(0, Xr9AlCloseHandle(handle));
}

TEST(HostAbi, VocabularyCanGlobalsHandleFunctionsAndRegistryResolve) {
    char* text = getErrorString(-502);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("NOT SUPPORTED", text);
    free(text);
    EXPECT_EQ(-1, canSock) << "no CAN port open";
    EXPECT_EQ(8u, uiCCQueueId);
    EXPECT_EQ(9u, uiFTQueueId);
    EXPECT_EQ(2u, uiSHMQeueId);
    EXPECT_EQ(0, Xr9AlInit());
    EXPECT_EQ(nullptr, Xr9AlGetHandle(IF_TYPE_UNDEFINED));
    EXPECT_EQ(nullptr, Xr9AlGetHandle(IF_TYPE_RS232));
    EXPECT_EQ(nullptr, objCommFactory.createInstance(static_cast<enInterfaceType>(5)));
    EXPECT_EQ(0, Xr9AlCloseHandle(nullptr));
    EXPECT_EQ(nullptr, pCANhandle) << "no CAN handle was asked for";
}

TEST(HostAbi, LogStaticsAndGlobalsAreTheLibrarys) {
    EXPECT_EQ(6, LOG_LEVEL) << "initial level";
    char pattern[] = "/tmp/xr9abi.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    std::string base = std::string(pattern) + "/host.log";
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    EXPECT_EQ(base, Xr9Log::m_FileName);
    EXPECT_EQ(base + ".0", Xr9Log::m_Logfile);
    EXPECT_NE(0u, Xr9Log::mutexID);
    Xr9Log::SetLogLevel(4);
    EXPECT_EQ(4, LOG_LEVEL);
    // The host's own call-site convention: format into logbuff, then write.
    snprintf(logbuff, sizeof logbuff, "host says %d", 42);
    char function[] = "int hostMain()";
    Xr9Log::WriteLogMsg(12, function, logbuff);
    std::ifstream in(base + ".0");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ("12  int hostMain()  host says 42\n", text.str());
    unlink((base + ".0").c_str());
    rmdir(pattern);
}

}  // namespace

// The port's lifecycle: construction, OpenPort with its settings and
// failures, the bit-rate hand-over, ClosePort and reopening, the facade's
// fixed results and the registry.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>

#include <QByteArray>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>

#include "CanHarness.h"
#include "KTDEI.h"
#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"
#include "osal.h"
#include "support/Xr9Log.h"

namespace {

using namespace cantest;

const std::string kOpenFn = "KT::int32 XR9ALCANWrapper::OpenPort(enInterfaceType, void*, KT::uint32)";
const std::string kTaskFn = "void ReadDataFunc()";

std::string hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

bool threadNamed(const std::string& name) {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return false;
    bool found = false;
    while (dirent* entry = readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string text;
        if (std::getline(comm, text) && text == name) found = true;
    }
    closedir(tasks);
    return found;
}

using CanPort = CanTransportTest;

TEST_F(CanPort, ConstructionCreatesQueuesMutexAndTaskBeforeOpen) {
    std::vector<std::string> lines;  // the new task may log in between
    for (const std::string& line : logLines()) {
        if (line.find("XR9ALCANWrapper::osInit()") != std::string::npos) lines.push_back(line);
    }
    const std::vector<std::string> expected = {
        "osQueueCreate of CAN_Stream_Queue returned 0", "osQueueCreate of CAN_Command_Queue returned 0",
        "osMutSemCreate of CAN_Mutex returned 0", "osTaskCreate of CAN_Rx_Thread returned 0", "returned 0"};
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ("  KT::int32 XR9ALCANWrapper::osInit()  " + expected[i],
                  lines[i].substr(lines[i].find("  "))) << "line " << i;
    }
    EXPECT_NE(0u, mutexCAN);
    EXPECT_EQ(-1, canSock);
    EXPECT_EQ(8u, uiCCQueueId);
    EXPECT_EQ(9u, uiFTQueueId);
    EXPECT_EQ(2u, uiSHMQeueId);
    EXPECT_TRUE(waitForLog("  " + kTaskFn + "  Starting CAN RX THREAD  readSocket=ffffffff\n"));
    EXPECT_TRUE(xr9test::waitFor([] { return threadNamed("CAN_Rx_Thread"); }));
}

TEST_F(CanPort, QueuesCarryWholeMessagesTwoHundredFiftySixDeep) {
    for (KT::uint32 queue : {uiCCQueueId, uiFTQueueId}) {
        const Bytes item = pattern(1025);
        EXPECT_EQ(OS_QUEUE_INVALID_SIZE, osQueuePut(queue, item.data(), 1025)) << "queue " << queue;
        for (int i = 0; i < 256; ++i) ASSERT_EQ(OS_SUCCESS, osQueuePut(queue, item.data(), 1024)) << i;
        EXPECT_EQ(OS_QUEUE_FULL, osQueuePut(queue, item.data(), 1)) << "queue " << queue;
        drainQueue(queue);
    }
}

TEST_F(CanPort, OpenPortNamesInterfaceAndHandsBitRateToHost) {
    open(portSetting(), 2);
    EXPECT_EQ("can2", bus.lastLookup());
    EXPECT_EQ(canbus::UserSpaceCanBus::kFirstIfIndex + 2, bus.lastIfIndex());
    EXPECT_EQ(AF_CAN, addr.can_family);
    EXPECT_EQ(canbus::UserSpaceCanBus::kFirstIfIndex + 2, addr.can_ifindex);
    EXPECT_STREQ("can2", ifr.ifr_name);
    KT::KTDEIValue v;
    ASSERT_TRUE(KT::KTDEI::instance()->lastValue(0x2122, 4, &v));
    EXPECT_FALSE(v.isText);
    EXPECT_EQ(1000000, v.number);
    EXPECT_EQ(1ul, KT::KTDEI::instance()->callCount());
    const std::string log = logText();
    for (const std::string& message :
         {std::string("opening can2 ...\n\n"), std::string("CAN Socket Open Success \n"),
          std::string("setBaudrate(3, 1000000) returned: 0\n"), std::string("function return value = 0\n")}) {
        EXPECT_NE(std::string::npos, log.find("  " + kOpenFn + "  " + message)) << message;
    }
    const int flags = fcntl(canSock, F_GETFL);
    ASSERT_GE(flags, 0);
    EXPECT_EQ(0, flags & O_NONBLOCK) << "the socket stays blocking";
}

struct OpenFailure {
    const char* name;
    KT::uint32 number;
    bool nullSettings;
    bool socketFails;
    bool bindFails;
    std::string message;
};

std::ostream& operator<<(std::ostream& os, const OpenFailure& f) {
    return os << f.name;
}

class CanPortOpenFailure : public CanTransportTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(CanPortOpenFailure, FailsWithItsLogLineAndLeavesThePortClosed) {
    const OpenFailure& f = GetParam();
    if (f.socketFails) bus.failSocket(1);
    if (f.bindFails) bus.failBind(1);
    CANPortSetting setting = portSetting();
    EXPECT_EQ(-1, can->OpenPort(IF_TYPE_CAN, f.nullSettings ? nullptr : &setting, f.number));
    const std::string log = logText();
    EXPECT_NE(std::string::npos, log.find("  " + kOpenFn + "  " + f.message + "\n")) << log;
    EXPECT_NE(std::string::npos, log.find("  " + kOpenFn + "  function return value = -1\n"));
    EXPECT_EQ(std::string::npos, log.find("setBaudrate")) << "no bit rate for a port that did not open";
    EXPECT_EQ(0ul, KT::KTDEI::instance()->callCount());
    if (f.number > 3) {
        EXPECT_EQ("", bus.lastLookup()) << "a number outside 0 to 3 is looked up with an empty name";
        EXPECT_TRUE(logHas("opening  ...\n"));
    }

    // Not open: the next attempt goes through every step again.
    EXPECT_EQ(0, can->OpenPort(IF_TYPE_CAN, &setting, 1));
    EXPECT_TRUE(logHas("opening can1 ..."));
    EXPECT_FALSE(logHas("Already initialized"));
    EXPECT_EQ(1, bus.socketsOpen()) << "a socket left by the failed attempt is not kept beside the new one";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CanPortOpenFailure,
    ::testing::Values(OpenFailure{"NullSettings", 0, true, false, false, "input param fail\n"},
                      OpenFailure{"SocketFails", 0, false, true, false, "CAN Socket Open failed "},
                      OpenFailure{"NumberFour", 4, false, false, false, "ioctl failed \n"},
                      OpenFailure{"NumberHuge", 0xFFFFFFFF, false, false, false, "ioctl failed \n"},
                      OpenFailure{"BindFails", 3, false, false, true, "readSocket bind failed"}),
    [](const ::testing::TestParamInfo<OpenFailure>& info) { return std::string(info.param.name); });

struct HostAnswer {
    int answer;
    KT::int32 result;
    bool open;
};

std::ostream& operator<<(std::ostream& os, const HostAnswer& a) {
    return os << "host answers " << a.answer;
}

class CanPortHostAnswer : public CanTransportTest, public ::testing::WithParamInterface<HostAnswer> {};

TEST_P(CanPortHostAnswer, ZeroAndTwentyFiveOpenEveryOtherAnswerIsReturned) {
    const int answer = GetParam().answer;
    KT::KTDEI::instance()->setHandler([answer](unsigned short, unsigned short, const KT::KTDEIValue&) {
        return answer;
    });
    CANPortSetting setting = portSetting();
    EXPECT_EQ(GetParam().result, can->OpenPort(IF_TYPE_CAN, &setting, 0));
    EXPECT_TRUE(logHas("setBaudrate(1, 1000000) returned: " + std::to_string(answer) + "\n"));
    EXPECT_TRUE(logHas("function return value = " + std::to_string(GetParam().result) + "\n"));

    KT::KTDEI::instance()->setHandler(nullptr);
    EXPECT_EQ(0, can->OpenPort(IF_TYPE_CAN, &setting, 0));
    EXPECT_EQ(GetParam().open, logHas("Already initialized \n"));
}

INSTANTIATE_TEST_SUITE_P(Answers, CanPortHostAnswer,
                         ::testing::Values(HostAnswer{0, 0, true}, HostAnswer{25, 0, true}, HostAnswer{1, 1, false},
                                           HostAnswer{3, 3, false}));

// Mode 2 stores every identifier with bit 31, any other mode as given.
TEST_F(CanPort, SecondOpenKeepsTheSocketButTakesTheNewIdentifiers) {
    open();
    EXPECT_EQ(kCommandId, Command_ID);
    EXPECT_EQ(kCommandLengthId, Command_Len_ID);
    EXPECT_EQ(kStreamId, Stream_ID);
    EXPECT_EQ(kStreamLengthId, Stream_Len_ID);
    const int sock = canSock;
    CANPortSetting second = portSetting(CAN_MODE_EXTENDED);
    second.commandId = 0x1ABCDEF;
    EXPECT_EQ(0, can->OpenPort(IF_TYPE_CAN, &second, 3));
    EXPECT_EQ(sock, canSock);
    EXPECT_EQ(1, bus.socketsOpen());
    EXPECT_EQ(0x81ABCDEFu, Command_ID);
    EXPECT_EQ(kCommandLengthId | kEff, Command_Len_ID);
    EXPECT_EQ(kStreamId | kEff, Stream_ID);
    EXPECT_EQ(kStreamLengthId | kEff, Stream_Len_ID);
    EXPECT_TRUE(logHas("  " + kOpenFn + "  Already initialized \n\n"));
    EXPECT_EQ(1ul, KT::KTDEI::instance()->callCount()) << "the rate is handed over once";
}

TEST_F(CanPort, ClosePortTwiceJoinsOnceAndReopenStartsANewTaskThatReceives) {
    const int created = bus.socketsCreated();
    const std::string starting = "  " + kTaskFn + "  Starting CAN RX THREAD  readSocket=";
    ASSERT_TRUE(waitForLog(starting + "ffffffff\n")) << "the first task starts before any socket";
    open();
    EXPECT_EQ(1, bus.socketsOpen());
    ASSERT_EQ(0, can->ClosePort());
    EXPECT_EQ(-1, canSock);
    EXPECT_EQ(0, bus.socketsOpen());
    ASSERT_EQ(0, can->ClosePort());
    EXPECT_EQ(2, countOf(logText(), "KT::int32 XR9ALCANWrapper::ClosePort()  function return value = 0\n"));
    CANPortSetting setting = portSetting();
    ASSERT_EQ(0, can->OpenPort(IF_TYPE_CAN, &setting, 0));
    EXPECT_EQ(created + 2, bus.socketsCreated());
    const Bytes message = pattern(12, 0x40);
    sendFrames(messageFrames(kCommandLengthId, kCommandId, message));
    EXPECT_EQ(message, receive(MSG_TYPE_COMMAND).bytes);

    const std::string log = logText();
    EXPECT_EQ(2, countOf(log, "osQueueCreate of CAN_Stream_Queue returned 0"));
    EXPECT_EQ(2, countOf(log, "osTaskCreate of CAN_Rx_Thread returned 0"));
    EXPECT_EQ(1, countOf(log, "  " + kTaskFn + "  Exiting can rx thread\n"))
        << "the second ClosePort joins nothing";
    EXPECT_EQ(2, countOf(log, starting));
    EXPECT_NE(std::string::npos, log.find(starting + hex(canSock) + "\n", log.find("Exiting can rx thread")))
        << "the new task starts after the old one exits, with the new socket";
}

TEST(CanWrapper, TableRateConvertsToBitsPerSecond) {
    xr9test::TempDir dir;
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("log")));
    XR9ALCANWrapper wrapper;
    const std::pair<int, KT::uint32> cases[] = {
        {10, 10000},   {20, 20000},   {50, 50000},     {83, 83333}, {100, 100000}, {111, 111110},
        {125, 125000}, {250, 250000}, {500, 500000},   {800, 800000}, {1000, 1000000},
        {0, 0},        {1, 0},        {112, 0},        {1000000, 0}, {-1, 0}};
    for (const auto& [rate, bitsPerSecond] : cases) {
        EXPECT_EQ(bitsPerSecond, wrapper.convertBaudrateToPeak(static_cast<enBaudRate>(rate))) << rate;
        EXPECT_NE(std::string::npos,
                  xr9test::readFile(dir.file("log.0"))
                      .find("KT::uint32 XR9ALCANWrapper::convertBaudrateToPeak(enBaudRate)  function return value = " +
                            std::to_string(bitsPerSecond) + "\n"))
            << rate;
    }
}

TEST(CanWrapper, OnlyModeTwoIsExtended) {
    xr9test::TempDir dir;
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("log")));
    XR9ALCANWrapper wrapper;
    EXPECT_EQ(1, wrapper.GetCANMode(CAN_MODE_EXTENDED));
    for (int mode : {0, 1, 3, -2}) EXPECT_EQ(0, wrapper.GetCANMode(static_cast<enCANMode>(mode))) << mode;
}

TEST_F(CanPort, FacadeFixedResultsTouchNeitherRecordNorBus) {
    open();
    XR9AL* handle = can.get();
    InterfaceSetting record{7, 8, "untouched"};
    EXPECT_EQ(-1, handle->GetDeviceList(&record));
    EXPECT_EQ("untouched", record.device);
    EXPECT_EQ(7u, record.uiHostWord1);
    QByteArray bytes("payload");
    EXPECT_EQ(-1, handle->SendData(&bytes, MSG_TYPE_COMMAND));
    EXPECT_EQ(-502, handle->ReceiveData(&bytes, MSG_TYPE_COMMAND, 100000));
    EXPECT_EQ(QByteArray("payload"), bytes);
    EXPECT_TRUE(busFrames().empty());
}

struct LevelCase {
    int level;
    bool setup;
    bool trace;
};

std::ostream& operator<<(std::ostream& os, const LevelCase& c) {
    return os << "LOG_LEVEL " << c.level;
}

class CanLogLevel : public CanTransportTest, public ::testing::WithParamInterface<LevelCase> {};

// Set-up and fault lines need a level above 3, traces a level above 4.
TEST_P(CanLogLevel, LinesAppearAboveTheirThresholdOnly) {
    const size_t before = logText().size();  // construction logged at level 6
    Xr9Log::SetLogLevel(GetParam().level);
    open();
    Bytes message = pattern(9);
    ASSERT_EQ(0, can->SendData(message.data(), 9, MSG_TYPE_COMMAND));
    ASSERT_EQ(0, can->ClosePort());
    const std::string log = logText().substr(before);
    for (const char* line : {"opening can0 ...", "setBaudrate(1, 1000000) returned: 0", "Exiting can rx thread",
                             "OpenPort(enInterfaceType, void*, KT::uint32)  function return value = 0"}) {
        EXPECT_EQ(GetParam().setup, log.find(line) != std::string::npos) << line;
    }
    for (const char* line : {"Bytes send = 10", "ClosePort()  function return value = 0",
                             "convertBaudrateToPeak(enBaudRate)  function return value = 1000000",
                             "XR9ALCAN::SendData(KT::uint8*, KT::uint32, enMsgType)  function return value = 0"}) {
        EXPECT_EQ(GetParam().trace, log.find(line) != std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, CanLogLevel,
                         ::testing::Values(LevelCase{3, false, false}, LevelCase{4, true, false},
                                           LevelCase{5, true, true}));

TEST(CanRegistry, GetHandleGivesOneTransportAndCloseHandleStopsIt) {
    xr9test::TempDir dir;
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("log")));
    XR9AL* handle = Xr9AlGetHandle(IF_TYPE_CAN);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(handle, Xr9AlGetHandle(IF_TYPE_CAN));
    EXPECT_EQ(handle, pCANhandle);
    EXPECT_NE(nullptr, dynamic_cast<XR9ALCAN*>(handle));
    XR9AL* media = Xr9AlGetHandle(IF_TYPE_MM);
    EXPECT_NE(handle, media);

    CANPortSetting setting = portSetting();
    ASSERT_EQ(0, handle->OpenPort(IF_TYPE_CAN, &setting, 0));
    EXPECT_NE(-1, canSock);
    EXPECT_EQ(0, Xr9AlCloseHandle(handle));
    EXPECT_EQ(nullptr, pCANhandle);
    EXPECT_EQ(-1, canSock);
    EXPECT_NE(std::string::npos, xr9test::readFile(dir.file("log.0")).find("Exiting can rx thread"));
    EXPECT_EQ(0, Xr9AlCloseHandle(media));
}

}  // namespace

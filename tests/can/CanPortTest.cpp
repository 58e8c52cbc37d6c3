// The CAN port on the user-space bus: construction, open, close, the host's
// answers and the log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <sys/resource.h>

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "CanHarness.h"

namespace {

using namespace cantest;

const std::string kOpenFn = "KT::int32 XR9ALCANWrapper::OpenPort(enInterfaceType, void*, KT::uint32)";

bool threadNamed(const std::string& name) {
    glob_t comms;
    if (glob("/proc/self/task/*/comm", 0, nullptr, &comms) != 0) return false;
    bool found = false;
    for (size_t i = 0; i < comms.gl_pathc; ++i) found = found || xr9test::readFile(comms.gl_pathv[i]) == name + "\n";
    globfree(&comms);
    return found;
}

using CanPort = CanTransportTest;

TEST_F(CanPort, ConstructionCreatesQueuesMutexAndTaskBeforeOpen) {
    std::vector<std::string> lines;  // after the line number; the new task may log in between
    for (const std::string& line : xr9test::readLines(logBase + ".0")) {
        if (line.find("XR9ALCANWrapper::osInit()") != std::string::npos) lines.push_back(line.substr(line.find("  ")));
    }
    const std::string fn = "  KT::int32 XR9ALCANWrapper::osInit()  ";
    EXPECT_EQ((std::vector<std::string>{fn + "osQueueCreate of CAN_Stream_Queue returned 0",
                                        fn + "osQueueCreate of CAN_Command_Queue returned 0",
                                        fn + "osMutSemCreate of CAN_Mutex returned 0",
                                        fn + "osTaskCreate of CAN_Rx_Thread returned 0", fn + "returned 0"}),
              lines);
    EXPECT_NE(0u, mutexCAN);
    EXPECT_EQ(-1, canSock);
    EXPECT_EQ(8u, uiCCQueueId);
    EXPECT_EQ(9u, uiFTQueueId);
    EXPECT_EQ(2u, uiSHMQeueId);
    EXPECT_TRUE(waitForLog(kTaskFn + "Starting CAN RX THREAD  readSocket=ffffffff\n"));
    EXPECT_TRUE(xr9test::waitFor([] { return threadNamed("CAN_Rx_Thread"); }));
    for (KT::uint32 queue : {uiCCQueueId, uiFTQueueId}) {  // whole messages, 256 deep
        const Bytes item = pattern(1025);
        EXPECT_EQ(OS_QUEUE_INVALID_SIZE, osQueuePut(queue, item.data(), 1025)) << "queue " << queue;
        for (int i = 0; i < 256; ++i) ASSERT_EQ(OS_SUCCESS, osQueuePut(queue, item.data(), 1024)) << i;
        EXPECT_EQ(OS_QUEUE_FULL, osQueuePut(queue, item.data(), 1)) << "queue " << queue;
    }
}

// Mode 2 stores every identifier with bit 31, any other mode as given; an
// open port only takes the new identifiers.
TEST_F(CanPort, OpenPortNamesInterfaceHandsBitRateToHostOnceAndAgainTakesOnlyIdentifiers) {
    auto ids = [] { return std::vector<KT::uint32>{Command_ID, Command_Len_ID, Stream_ID, Stream_Len_ID}; };
    open(portSetting(), 2);
    EXPECT_EQ((std::vector<KT::uint32>{kCommandId, kCommandLengthId, kStreamId, kStreamLengthId}), ids());
    EXPECT_EQ("can2", bus.lastLookup());
    EXPECT_EQ(bus.interfaceIndex(2), bus.lastIfIndex());
    EXPECT_EQ(AF_CAN, addr.can_family);
    EXPECT_EQ(bus.interfaceIndex(2), addr.can_ifindex);
    EXPECT_STREQ("can2", ifr.ifr_name);
    KT::KTDEIValue v;
    ASSERT_TRUE(KT::KTDEI::instance()->lastValue(0x2122, 4, &v));
    EXPECT_FALSE(v.isText);
    EXPECT_EQ(1000000, v.number);
    EXPECT_EQ(1ul, KT::KTDEI::instance()->callCount());
    for (const char* message : {"opening can2 ...\n\n", "CAN Socket Open Success \n",
                                "setBaudrate(3, 1000000) returned: 0\n", "function return value = 0\n"}) {
        EXPECT_TRUE(logHas("  " + kOpenFn + "  " + message)) << message;
    }
    const int flags = fcntl(canSock, F_GETFL);
    ASSERT_GE(flags, 0);
    EXPECT_EQ(0, flags & O_NONBLOCK) << "the socket stays blocking";

    const int sock = canSock;
    CANPortSetting second = portSetting(CAN_MODE_EXTENDED);
    second.commandId = 0x1ABCDEF;
    EXPECT_EQ(0, can->OpenPort(IF_TYPE_CAN, &second, 3));
    EXPECT_EQ(sock, canSock);
    EXPECT_EQ(1, bus.socketsOpen());
    EXPECT_EQ((std::vector<KT::uint32>{0x81ABCDEFu, kCommandLengthId | kEff, kStreamId | kEff, kStreamLengthId | kEff}),
              ids());
    EXPECT_TRUE(logHas("  " + kOpenFn + "  Already initialized \n\n"));
    EXPECT_EQ(1ul, KT::KTDEI::instance()->callCount()) << "the rate is handed over once";
}

struct OpenFailure {
    const char* name;
    KT::uint32 number;
    bool nullSettings, socketFails, bindFails;
    std::string message;
};
void PrintTo(const OpenFailure& f, std::ostream* os) { *os << f.name; }

class CanPortOpenFailure : public CanTransportTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(CanPortOpenFailure, FailsWithItsLogLineAndLeavesThePortClosed) {
    const OpenFailure& f = GetParam();
    if (f.socketFails) bus.failSocket(1);
    if (f.bindFails) bus.failBind(1);
    CANPortSetting setting = portSetting();
    EXPECT_EQ(-1, can->OpenPort(IF_TYPE_CAN, f.nullSettings ? nullptr : &setting, f.number));
    EXPECT_TRUE(logHas("  " + kOpenFn + "  " + f.message + "\n")) << logText();
    EXPECT_TRUE(logHas("  " + kOpenFn + "  function return value = -1\n"));
    EXPECT_FALSE(logHas("setBaudrate")) << "no bit rate for a port that did not open";
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

// A host that answers 0 or 25 leaves the port open; the next OpenPort finds it so.
TEST_F(CanPort, HostAnswersZeroAndTwentyFiveOpenEveryOtherAnswerIsReturned) {
    CANPortSetting setting = portSetting();
    for (const auto& [answer, result] : {std::pair<int, KT::int32>{1, 1}, {0, 0}, {3, 3}, {25, 0}}) {
        SCOPED_TRACE(answer);
        KT::KTDEI::instance()->setHandler([answer = answer](unsigned short, unsigned short, const KT::KTDEIValue&) {
            return answer;
        });
        EXPECT_EQ(result, can->OpenPort(IF_TYPE_CAN, &setting, 0));
        EXPECT_TRUE(logHas("setBaudrate(1, 1000000) returned: " + std::to_string(answer) + "\n"));
        EXPECT_TRUE(logHas("function return value = " + std::to_string(result) + "\n"));
        KT::KTDEI::instance()->setHandler(nullptr);
        const int already = countOf(logText(), "Already initialized \n");
        EXPECT_EQ(0, can->OpenPort(IF_TYPE_CAN, &setting, 0));
        EXPECT_EQ(already + (result == 0), countOf(logText(), "Already initialized \n"));
        EXPECT_EQ(0, can->ClosePort());
    }
}

// Identifiers stored again while the task compares frames with them (for ThreadSanitizer too).
TEST_F(CanPort, OpenPortAgainWhileTheTaskReceives) {
    open();
    std::atomic<bool> stop{false};
    auto reopener = std::async(std::launch::async, [this, &stop] {
        int calls = 0, failures = 0;
        for (; !stop.load(); ++calls, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            CANPortSetting setting = portSetting();
            failures += can->OpenPort(IF_TYPE_CAN, &setting, 0) != 0;
        }
        return calls > 0 ? failures : -1;
    });
    for (int i = 0; i < 30; ++i) sendFrames(streamFrames(pattern(20, uint8_t(i * 7))));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(pattern(20, uint8_t(i * 7)), receive(MSG_TYPE_STREAM)) << i;
    stop = true;
    ASSERT_EQ(std::future_status::ready, reopener.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(0, reopener.get());
}

// Reopened ports receiving on a new task: CanSoak (load test).
TEST_F(CanPort, ClosePortTwiceJoinsOnceAndReopenStartsANewTaskAfterTheOldOneExits) {
    const std::string starting = kTaskFn + "Starting CAN RX THREAD  readSocket=";
    ASSERT_TRUE(waitForLog(starting + "ffffffff\n")) << "the first task starts before any socket";
    open();
    EXPECT_EQ(1, bus.socketsOpen());
    ASSERT_EQ(0, can->ClosePort());
    EXPECT_EQ(-1, canSock);
    EXPECT_EQ(0, bus.socketsOpen());
    ASSERT_EQ(0, can->ClosePort());
    EXPECT_EQ(2, countOf(logText(), "KT::int32 XR9ALCANWrapper::ClosePort()  function return value = 0\n"));
    open();
    ASSERT_TRUE(xr9test::waitFor([&] { return countOf(logText(), starting) == 2; })) << "a new task starts";
    const std::string log = logText();
    EXPECT_EQ(2, countOf(log, "osQueueCreate of CAN_Stream_Queue returned 0"));
    EXPECT_EQ(2, countOf(log, "osTaskCreate of CAN_Rx_Thread returned 0"));
    EXPECT_EQ(1, countOf(log, kTaskFn + "Exiting can rx thread\n")) << "the second ClosePort joins nothing";
    char sock[16];
    std::snprintf(sock, sizeof sock, "%x\n", canSock);
    EXPECT_NE(std::string::npos, log.find(starting + sock, log.find("Exiting can rx thread")))
        << "the new task starts after the old one exits, with the new socket";
}

// A wrapper made while another one's task runs gets no task of its own; the
// port stays the other one's, whether the newcomer closes or goes.
TEST_F(CanPort, WrapperMadeWhileATaskRunsLeavesThatPortAloneWhenItClosesOrGoes) {
    open();
    const int sock = canSock;
    {
        XR9ALCANWrapper second;
        EXPECT_TRUE(logHas("osTaskCreate of CAN_Rx_Thread returned " + std::to_string(OS_NAME_ALREADY_EXISTS) + "\n"));
        EXPECT_EQ(0, second.ClosePort());
    }
    EXPECT_EQ(sock, canSock);
    EXPECT_EQ(1, bus.socketsOpen());
    sendFrames(commandFrames(pattern(12)));
    EXPECT_EQ(pattern(12), receive(MSG_TYPE_COMMAND)) << "the first wrapper's task still receives";
    EXPECT_EQ(0, countOf(logText(), kTaskFn + "Exiting can rx thread\n"));
}

// CPU time of the whole process so far, in ms.
long long cpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// An interface that goes down comes back; one that goes away (an adapter pulled) is logged once,
// costs no CPU, fails sends, and reopening the port on its successor recovers.
TEST_F(CanPort, InterfaceDownUpIsSurvivedAndOneThatGoesAwayIsLoggedOnceUntilReopened) {
    if (!bus.kernel()) GTEST_SKIP() << "the user-space bus has no interfaces to take down";
    open(portSetting(), 1);
    auto exchange = [&](uint8_t seed) {
        sendFrames(commandFrames(pattern(12, seed)));
        return receive(MSG_TYPE_COMMAND) == pattern(12, seed);
    };
    ASSERT_TRUE(exchange(1));
    ASSERT_EQ(0, std::system("ip link set can1 down && ip link set can1 up"));
    EXPECT_TRUE(exchange(2)) << "down and up again";

    ASSERT_TRUE(bus.removeInterface(1));
    const std::string gone = kTaskFn + "SocketCAN::read(): -1 => No such device\n";
    EXPECT_TRUE(waitForLog(gone));
    const long long before = cpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long long busy = cpuMs() - before;
    EXPECT_LT(busy, 1000) << "ms of CPU in 2 s with the interface gone";
    Bytes message = pattern(8);
    {
        xr9test::CaptureStdout console;
        EXPECT_EQ(-1, can->SendData(message.data(), 8, MSG_TYPE_COMMAND));
        EXPECT_EQ(10, countOf(console.text(), "##### Write returned: "));
    }
    EXPECT_EQ(1, countOf(logText(), gone)) << "logged once";

    ASSERT_TRUE(bus.restoreInterface(1));
    ASSERT_EQ(0, can->ClosePort());
    open(portSetting(), 1);
    EXPECT_TRUE(exchange(3)) << "reopened on the new interface";
    std::printf("[ figures ] CanInterfaceGone cpuMsIn2s=%lld\n", busy);
}

// Table rates convert to bits per second (anything else to 0); only mode 2 is extended.
TEST(CanWrapper, RateAndModeConvertByTheirTables) {
    xr9test::TempDir dir;
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("log")));
    XR9ALCANWrapper wrapper;
    const std::pair<int, KT::uint32> cases[] = {
        {10, 10000},   {20, 20000},   {50, 50000},     {83, 83333}, {100, 100000}, {111, 111110},
        {125, 125000}, {250, 250000}, {500, 500000},   {800, 800000}, {1000, 1000000},
        {0, 0},        {1, 0},        {112, 0},        {1000000, 0}, {-1, 0}};
    for (const auto& [rate, bitsPerSecond] : cases) {
        EXPECT_EQ(bitsPerSecond, wrapper.convertBaudrateToPeak(static_cast<enBaudRate>(rate))) << rate;
    }
    EXPECT_EQ(1, wrapper.GetCANMode(CAN_MODE_EXTENDED));
    for (int mode : {0, 1, 3, -2}) EXPECT_EQ(0, wrapper.GetCANMode(static_cast<enCANMode>(mode))) << mode;
}

TEST_F(CanPort, FacadeFixedResultsTouchNeitherRecordNorBus) {
    open();
    XR9AL* handle = can.get();  // as the host calls it
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

// Set-up and fault lines need a level above 3, traces a level above 4.
TEST_F(CanPort, LogLinesAppearAboveTheirThresholdOnly) {
    for (int level : {3, 4, 5}) {
        SCOPED_TRACE(level);
        const size_t before = logText().size();
        Xr9Log::SetLogLevel(level);
        open();
        Bytes message = pattern(9);
        ASSERT_EQ(0, can->SendData(message.data(), 9, MSG_TYPE_COMMAND));
        ASSERT_EQ(0, can->ClosePort());
        const std::string log = logText().substr(before);
        for (const char* line : {"opening can0 ...", "setBaudrate(1, 1000000) returned: 0", "Exiting can rx thread",
                                 "OpenPort(enInterfaceType, void*, KT::uint32)  function return value = 0"}) {
            EXPECT_EQ(level > 3, log.find(line) != std::string::npos) << line;
        }
        for (const char* line : {"Bytes send = 10", "ClosePort()  function return value = 0",
                                 "convertBaudrateToPeak(enBaudRate)  function return value = 1000000",
                                 "XR9ALCAN::SendData(KT::uint8*, KT::uint32, enMsgType)  function return value = 0"}) {
            EXPECT_EQ(level > 4, log.find(line) != std::string::npos) << line;
        }
    }
}

}  // namespace

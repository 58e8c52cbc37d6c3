// The CAN transport on the user-space bus (port lifecycle, sending, receiving), and its wire
// format and reassembly in isolation where the bus does not reach.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>

#include <QByteArray>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <thread>

#include "CanHarness.h"
#include "can/CanFrameCodec.h"
#include "can/CanMessageAssembler.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

using namespace cantest;
using namespace xr9can;

// The bus covers the usual lengths; these are full width, padding and the frame count limit.
TEST(CanFrameCodec, LengthFrameAnnouncesLengthMostSignificantByteFirst) {
    const std::pair<uint32_t, Bytes> cases[] = {{0x01020304, {0x00, 0xA5, 0xA5, 0xA5, 0x01, 0x02, 0x03, 0x04}},
                                                {0xFFFFFFFF, {0x00, 0xA5, 0xA5, 0xA5, 0xFF, 0xFF, 0xFF, 0xFF}}};
    for (const auto& [length, data] : cases) {
        can_frame f;
        std::memset(&f, 0xEE, sizeof f);
        encodeLengthFrame(0x455, length, &f);
        EXPECT_EQ(data, frameData(f));
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(&f);
        EXPECT_EQ(Bytes({0, 0, 0}), Bytes(raw + 5, raw + 8)) << "padding goes out as zeros";
        EXPECT_EQ(length, frameValue(f));
    }
    EXPECT_EQ(536870912u, dataFrameCount(0xFFFFFFFF));
    EXPECT_EQ(0u, dataFrameCount(0));
    const Bytes message = pattern(4);
    can_frame f;
    EXPECT_EQ(0, encodeDataFrame(0x77, message.data(), 4, 8, &f)) << "an offset past the message gives no bytes";
    EXPECT_EQ(0, f.can_dlc);
}

// A received frame has at most 8 bytes; its value is read whatever the data length.
TEST(CanFrameCodec, DataLengthIsAtMostEightAndTheValueIsReadWhateverIt) {
    can_frame f = makeFrame(0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0x12, 0x34, 0x56, 0x78});
    for (const auto& [dlc, bytes] : {std::pair<int, int>{0, 0}, {1, 1}, {7, 7}, {8, 8}, {9, 8}, {15, 8}, {255, 8}}) {
        f.can_dlc = uint8_t(dlc);
        EXPECT_EQ(bytes, dataLength(f)) << "dlc " << dlc;
        EXPECT_EQ(0x12345678u, frameValue(f)) << "dlc " << dlc;
    }
}

// The identifier word decides in a fixed order (usual identifiers, bit 31 and RTR flag: on the
// bus); only 8 bytes with all four markers make a notice.
TEST(CanFrameCodec, ClassifyChecksTheIdentifierWordInFixedOrder) {
    const CanChannelIds ids{0x123, 0x122, 0x321, 0x320};
    const Bytes notice{0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1};
    const struct {
        const char* name;
        CanChannelIds ids;
        uint32_t id;
        Bytes data;
        FrameKind kind;
    } cases[] = {
        {"noticeNeedsDataLengthEight", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0}, FrameKind::CommandLength},
        {"noticeDataLengthNine", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1, 0}, FrameKind::CommandLength},
        {"noticeLastMarkerWrong", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA0, 0, 0, 0, 1}, FrameKind::CommandLength},
        {"noticeFirstMarkerWrong", ids, 0x122, {0xA0, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1}, FrameKind::CommandLength},
        {"noticeMarkersOnStreamLength", ids, 0x320, notice, FrameKind::StreamLength},
        {"streamLengthFirst", {0x50, 0x50, 0x50, 0x50}, 0x50, notice, FrameKind::StreamLength},
        {"streamDataBeforeCommandData", {0x60, 0x61, 0x60, 0x62}, 0x60, {1}, FrameKind::StreamData}};
    for (const auto& c : cases) EXPECT_EQ(c.kind, classifyFrame(makeFrame(c.id, c.data), c.ids)) << c.name;
}

using Outcome = CanMessageAssembler::Outcome;
using Reason = CanMessageAssembler::DropReason;

// A length frame (announce) or a data frame of `value` bytes, and the outcome it must have.
struct Step {
    bool announce;
    uint32_t value;
    Outcome outcome;
    Reason reason = Reason::None;
};

Step length(uint32_t n, Outcome o = Outcome::Pending, Reason r = Reason::None) { return {true, n, o, r}; }
Step data(uint32_t n, Outcome o = Outcome::Pending, Reason r = Reason::None) { return {false, n, o, r}; }

// Data bytes run on from one frame to the next; a completed message is
// exactly the bytes sent since its length frame.
TEST(CanMessageAssembler, OutcomesAndMessagesFollowTheFrames) {
    std::vector<Step> fullBuffer{length(1024)};
    fullBuffer.insert(fullBuffer.end(), 127, data(8));
    fullBuffer.insert(fullBuffer.end(), {data(8, Outcome::Complete), data(1, Outcome::Dropped, Reason::Unannounced)});
    const std::pair<const char*, std::vector<Step>> scenarios[] = {
        {"ShortPiecesAreFine", {length(5), data(2), data(3, Outcome::Complete)}},
        {"EmptyDataFrameChangesNothing", {length(8), data(0, Outcome::Ignored), data(8, Outcome::Complete)}},
        {"HugeAnnouncement", {length(0xFFFFFFFF, Outcome::Dropped, Reason::TooLong), data(8, Outcome::Ignored)}},
        {"DataWithoutLengthFrame",
         {data(8, Outcome::Dropped, Reason::Unannounced), data(8, Outcome::Ignored), length(2),
          data(2, Outcome::Complete)}},
        {"DataAfterACompleteMessage",
         {length(4), data(4, Outcome::Complete), data(4, Outcome::Dropped, Reason::Unannounced)}},
        {"NothingAfterAFullBuffer", fullBuffer}};
    for (const auto& [name, steps] : scenarios) {
        SCOPED_TRACE(name);
        CanMessageAssembler channel;
        uint8_t next = 0;
        Bytes sinceAnnounce;
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            Outcome got;
            if (step.announce) {
                sinceAnnounce.clear();
                got = channel.announce(step.value);
            } else {
                const Bytes bytes = pattern(step.value, next);
                next = static_cast<uint8_t>(next + step.value);
                sinceAnnounce.insert(sinceAnnounce.end(), bytes.begin(), bytes.end());
                got = channel.add(bytes.data(), step.value);
            }
            ASSERT_EQ(step.outcome, got) << "step " << i;
            if (got == Outcome::Dropped) {
                EXPECT_EQ(step.reason, channel.dropReason()) << "step " << i;
            }
            if (got == Outcome::Complete) {
                EXPECT_EQ(sinceAnnounce, Bytes(channel.message(), channel.message() + channel.messageSize()))
                    << "step " << i;
            }
            EXPECT_LE(channel.gathered() + channel.expected(), CanMessageAssembler::kCapacity) << "step " << i;
        }
    }
}

// Random frames of random sizes, as a hostile bus would send them: the buffer bound holds at
// every step and a message completes only with the exact count announced.
TEST(CanMessageAssembler, RandomFramesNeverPassTheBufferOrCompleteWrongly) {
    std::mt19937 random(20261205);
    CanMessageAssembler channel;
    uint8_t frame[255] = {};
    uint32_t announced = 0, sinceAnnounce = 0;
    bool gathering = false;
    int completed = 0;
    for (int i = 0; i < 200000; ++i) {
        if (random() % 6 == 0) {
            const uint32_t pick = random() % 4;
            announced = pick == 0 ? random() : pick == 1 ? random() % 2048 : random() % 64;
            sinceAnnounce = 0;
            const Outcome o = channel.announce(announced);
            gathering = o == Outcome::Pending && announced != 0;
            ASSERT_EQ(announced > CanMessageAssembler::kCapacity, o == Outcome::Dropped);
        } else {
            const uint32_t count = random() % 4 == 0 ? random() % sizeof frame : random() % 9;
            const Outcome o = channel.add(frame, count);
            if (o == Outcome::Complete) {
                ++completed;
                ASSERT_TRUE(gathering);
                ASSERT_EQ(announced, sinceAnnounce + count);
                ASSERT_EQ(announced, channel.messageSize());
                gathering = false;
            } else if (o == Outcome::Pending) {
                ASSERT_TRUE(gathering);
                sinceAnnounce += count;
            } else if (o == Outcome::Dropped) {
                gathering = false;
            }
        }
        ASSERT_LE(channel.gathered() + channel.expected(), CanMessageAssembler::kCapacity);
    }
    EXPECT_GT(completed, 100) << "the walk should complete messages too";
}

const std::string kOpenFn = "KT::int32 XR9ALCANWrapper::OpenPort(enInterfaceType, void*, KT::uint32)";
const std::string kTaskFn = "  void ReadDataFunc()  ";

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
    EXPECT_EQ(canbus::UserSpaceCanBus::kFirstIfIndex + 2, bus.lastIfIndex());
    EXPECT_EQ(AF_CAN, addr.can_family);
    EXPECT_EQ(canbus::UserSpaceCanBus::kFirstIfIndex + 2, addr.can_ifindex);
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

const std::string kConsole = "##### Write returned: No buffer space available\n";

using CanSend = CanTransportTest;

// The frames are compared with the harness's own framing: a length frame,
// then full data frames and a shorter last one.
TEST_F(CanSend, MessageGoesOutAsLengthFrameAndDataFramesOnTheIdentifiersOfItsType) {
    const struct {
        int type;
        KT::uint32 length;
        enCANMode mode;
        KT::uint32 lengthId, dataId;
        KT::int32 result;
    } cases[] = {{MSG_TYPE_COMMAND, 20, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
                 {MSG_TYPE_STREAM, 16, CAN_MODE_STANDARD, kStreamLengthId, kStreamId, 0},
                 {MSG_TYPE_COMMAND, 300, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
                 {MSG_TYPE_COMMAND, 0, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 16},
                 {MSG_TYPE_NONE, 9, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},  // other types: command
                 {MSG_TYPE_BROADCAST, 20, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
                 {9, 3, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
                 {MSG_TYPE_STREAM, 8, CAN_MODE_EXTENDED, kStreamLengthId | kEff, kStreamId | kEff, 0}};
    const std::string firstFrame = "XR9ALCANWrapper::SendData(KT::uint8*, KT::uint32, enMsgType)  Bytes send = 10\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.type << ", length " << c.length);
        open(portSetting(c.mode));
        const int logged = countOf(logText(), firstFrame);
        Bytes message = pattern(c.length, 0x10);
        EXPECT_EQ(c.result, can->SendData(message.data(), c.length, static_cast<enMsgType>(c.type)));
        const std::vector<can_frame> frames = busFrames(), expected = messageFrames(c.lengthId, c.dataId, message);
        ASSERT_EQ(expected.size(), frames.size());  // written before SendData returned
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(expected[i].can_id, frames[i].can_id) << "frame " << i;
            EXPECT_EQ(frameData(expected[i]), frameData(frames[i])) << "frame " << i;
        }
        EXPECT_EQ(logged + 1, countOf(logText(), firstFrame)) << "logged for the first frame only, in hex";
        EXPECT_TRUE(logHas("XR9ALCAN::SendData(KT::uint8*, KT::uint32, enMsgType)  function return value = " +
                           std::to_string(c.result) + "\n"));
    }
}

TEST_F(CanSend, NoticeIsOneFrameWithTheValueReversedWhateverTheLength) {
    for (enCANMode mode : {CAN_MODE_STANDARD, CAN_MODE_EXTENDED}) {
        open(portSetting(mode));  // identifiers are taken on every call
        uint8_t value[4] = {0x78, 0x56, 0x34, 0x12};
        for (KT::uint32 length : {0u, 4u, 999u}) {
            EXPECT_EQ(0, can->SendData(value, length, MSG_TYPE_SHM));
            const std::vector<can_frame> frames = busFrames();
            ASSERT_EQ(1u, frames.size()) << "length " << length;
            EXPECT_EQ(kCommandLengthId | (mode == CAN_MODE_EXTENDED ? kEff : 0), frames[0].can_id);
            EXPECT_EQ(Bytes({0xA1, 0xA1, 0xA1, 0xA1, 0x12, 0x34, 0x56, 0x78}), frameData(frames[0]));
        }
    }
    EXPECT_EQ(-1, can->SendData(nullptr, 0, MSG_TYPE_SHM)) << "a null buffer is refused before anything is sent";
    EXPECT_EQ(-1, can->SendData(nullptr, 20, MSG_TYPE_COMMAND));
    EXPECT_TRUE(busFrames().empty());
    EXPECT_EQ(16, can->SendData(nullptr, 0, MSG_TYPE_STREAM)) << "an empty message needs no bytes";
    EXPECT_EQ(1u, busFrames().size());
}

struct FailureCase {
    const char* name;
    enMsgType type;
    int count;     // writes that fail (or are cut short)
    int after;     // writes that pass first
    int shortTo;   // -1: fail with ENOBUFS; otherwise the count returned, nothing sent
    KT::int32 result;
    std::vector<int> dlcs;  // of the frames that reach the bus
    int consoleLines;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class CanSendFailure : public CanTransportTest, public ::testing::WithParamInterface<FailureCase> {};

// A 20-byte command (the length frame, then data frames of 8, 8 and 4 bytes) or a notice.
TEST_P(CanSendFailure, FailedWritesAreRetriedReportedAndReflectedInTheResult) {
    const FailureCase& c = GetParam();
    open();
    if (c.shortTo < 0)
        bus.failWrites(c.count, ENOBUFS, c.after);
    else
        bus.shortenWrites(c.count, c.shortTo, c.after);
    Bytes message = pattern(20);
    xr9test::CaptureStdout capture;
    const KT::int32 result = can->SendData(message.data(), 20, c.type);
    const std::string console = capture.text();  // ends the capture
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.consoleLines, countOf(console, kConsole));
    EXPECT_EQ(static_cast<size_t>(c.consoleLines) * kConsole.size(), console.size()) << console;
    EXPECT_EQ(c.consoleLines,
              countOf(logText(), "SendData(KT::uint8*, KT::uint32, enMsgType)  CAN Write(): ffffffff  => "
                                 "No buffer space available\n"));
    EXPECT_EQ(c.dlcs.empty() && c.shortTo < 0,
              logHas("SendData(KT::uint8*, KT::uint32, enMsgType)  Bytes send = ffffffff\n"))
        << "the first frame's last result is logged";

    std::vector<int> dlcs;
    for (const can_frame& f : busFrames()) dlcs.push_back(f.can_dlc);
    EXPECT_EQ(c.dlcs, dlcs);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, CanSendFailure,
    ::testing::Values(
        FailureCase{"FirstFrameFailsTenTimes", MSG_TYPE_COMMAND, 1000, 0, -1, -1, {}, 10},
        FailureCase{"FirstFrameGetsThroughAtTheTenthAttempt", MSG_TYPE_COMMAND, 9, 0, -1, 0, {8, 8, 8, 4}, 9},
        FailureCase{"FirstFrameCutShort", MSG_TYPE_COMMAND, 1, 0, 8, -1, {}, 0},
        FailureCase{"FirstDataFrameLost", MSG_TYPE_COMMAND, 10, 1, -1, 0, {8, 8, 4}, 10},
        FailureCase{"LastDataFrameLost", MSG_TYPE_COMMAND, 10, 3, -1, -1, {8, 8, 8}, 10},
        FailureCase{"LastDataFrameCutShort", MSG_TYPE_COMMAND, 1, 3, 5, -1, {8, 8, 8}, 0},
        FailureCase{"MiddleDataFrameCutShortCountsAsWritten", MSG_TYPE_COMMAND, 1, 2, 5, 0, {8, 8, 4}, 0},
        FailureCase{"NoticeFailsTenTimes", MSG_TYPE_SHM, 1000, 0, -1, -1, {}, 10}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

using CanReceive = CanTransportTest;

// Failed selects and reads are logged and skipped.
TEST_F(CanReceive, MessagesOfEverySizeUpToTheBufferArriveWholeThroughSocketFailures) {
    open();
    bus.failSelects(2, EINTR);
    bus.failReads(1, EIO);
    const Bytes message = pattern(20, 0x61);
    sendFrames(commandFrames(message));
    ASSERT_TRUE(waitForLog(kTaskFn + "CAN RX THREAD: COMMAND received\n"));  // logged after the put: no wait below
    Bytes got(1024);
    KT::uint32 length = 0;
    EXPECT_EQ(0, can->ReceiveData(got.data(), &length, MSG_TYPE_COMMAND));
    EXPECT_EQ(message, Bytes(got.begin(), got.begin() + length));
    EXPECT_TRUE(logHas(kTaskFn + "uiCommandMsgLength = 14\n"));
    EXPECT_TRUE(logHas("XR9ALCAN::ReceiveData(KT::uint8*, KT::uint32*, enMsgType)  function return value = 0\n"));
    EXPECT_TRUE(logHas(kTaskFn + "SocketCAN::select(): -1 => Interrupted system call\n"));
    EXPECT_TRUE(logHas(kTaskFn + "SocketCAN::read(): -1 => Input/output error\n"));

    const std::vector<size_t> sizes = {1, 7, 8, 9, 16, 300, 1023, 1024};
    for (size_t n : sizes) sendFrames(streamFrames(pattern(n, static_cast<uint8_t>(n))));
    for (size_t n : sizes) EXPECT_EQ(pattern(n, static_cast<uint8_t>(n)), receive(MSG_TYPE_STREAM)) << n;
    EXPECT_TRUE(logHas(kTaskFn + "STREAM_LENGTH uiStreamMsgLength  = 1024\n"));
    EXPECT_TRUE(waitForLog(kTaskFn + "STREAM osQueuePut nRetVal = 0\n"));
}

// Between a command's frames: a stream message's, foreign identifiers, records of other than 16
// bytes and a notice (value big-endian, posted for the shared-memory channel); a second length
// frame restarts the command.
TEST_F(CanReceive, InterleavedForeignRestartedTrafficAndNoticeLeaveEachMessageWhole) {
    open();
    const Bytes command = pattern(20, 0x33), stream = pattern(30, 0x80);
    std::vector<can_frame> mine = {lengthFrame(kCommandLengthId, 20), makeFrame(kCommandId, pattern(8, 0xEE))};
    for (const can_frame& f : commandFrames(command)) mine.push_back(f);
    const std::vector<can_frame> s = streamFrames(stream);
    const std::vector<can_frame> foreign = {lengthFrame(0x124, 4), makeFrame(0x7FF, {1, 2, 3}),
                                            lengthFrame(kCommandLengthId | kEff, 2),
                                            makeFrame(kCommandId | 0x40000000u, {9})};
    for (size_t i = 0; i < mine.size(); ++i) {
        ASSERT_TRUE(bus.send(mine[i]));
        ASSERT_TRUE(i >= s.size() || bus.send(s[i]));
        ASSERT_TRUE(bus.send(foreign[i % foreign.size()]));
        ASSERT_TRUE(bus.sendRaw(&mine[i], 8)) << "a read of other than 16 bytes";
        ASSERT_TRUE(i != 3 || bus.send(makeFrame(kCommandLengthId, {0xA1, 0xA1, 0xA1, 0xA1, 0x81, 0x02, 0x03, 0x04})));
    }
    EXPECT_EQ(command, receive(MSG_TYPE_COMMAND));
    EXPECT_EQ(stream, receive(MSG_TYPE_STREAM));
    // The notice came before; a blank record behind it keeps ReceiveData from waiting if it did not.
    const XRUpdateMessage blank{};
    ASSERT_EQ(OS_SUCCESS, osQueuePut(kShmQueue, &blank, sizeof blank));
    XRUpdateMessage record;
    KT::uint32 size = 0;
    ASSERT_EQ(0, can->ReceiveData(reinterpret_cast<KT::uint8*>(&record), &size, MSG_TYPE_SHM));
    EXPECT_EQ(256u, size);
    EXPECT_EQ(static_cast<KT::uint32>(SHM_MODULE), record.module);
    EXPECT_EQ(36u, record.messageId);
    EXPECT_EQ(kShmNoticeEvent, record.event);
    EXPECT_EQ(static_cast<KT::int32>(0x81020304u), record.result);
    for (char ch : record.text) ASSERT_EQ(0, ch);

    // Extended mode: the right 29-bit numbers without bit 31 are foreign too.
    open(portSetting(CAN_MODE_EXTENDED));
    sendFrames(commandFrames(pattern(12, 0x70)));
    const Bytes flagged = pattern(12, 0x90);
    sendFrames(messageFrames(kCommandLengthId | kEff, kCommandId | kEff, flagged));
    EXPECT_EQ(flagged, receive(MSG_TYPE_COMMAND));
}

std::vector<can_frame> announcedThenData(KT::uint32 announced, int frames) {
    std::vector<can_frame> v{lengthFrame(kCommandLengthId, announced)};
    for (int i = 0; i < frames; ++i) v.push_back(makeFrame(kCommandId, pattern(8, static_cast<uint8_t>(i))));
    return v;
}

TEST_F(CanReceive, BytesBeyondTheBufferDropTheMessageAndTheNextOneArrives) {
    const struct {
        enMsgType channel;
        std::vector<can_frame> frames;
        std::string why;
    } cases[] = {
        {MSG_TYPE_COMMAND, announcedThenData(1500, 188), "1500 bytes announced, 1024 fit"},
        // Length zero delivers nothing: the data frame after it has no message to join.
        {MSG_TYPE_STREAM, {lengthFrame(kStreamLengthId, 0), makeFrame(kStreamId, pattern(3))},
         "data frame of 3 bytes without a length frame"},
        {MSG_TYPE_COMMAND, announcedThenData(10, 3), "data frame of 8 bytes beyond the 10 bytes announced"}};
    open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const KT::uint32 before = XR9ALCANWrapper::droppedMessages();
        sendFrames(c.frames);
        const Bytes next = pattern(20, 0x42);
        const bool command = c.channel == MSG_TYPE_COMMAND;
        sendFrames(command ? commandFrames(next) : streamFrames(next));
        EXPECT_EQ(next, receive(c.channel));
        EXPECT_EQ(before + 1, XR9ALCANWrapper::droppedMessages());
        EXPECT_EQ(before + 1, uiCANRxDroppedMsgs);
        EXPECT_TRUE(logHas(kTaskFn + "CAN RX THREAD: " + (command ? "COMMAND" : "STREAM") + " message dropped: " +
                           c.why + "\n")) << logText();
    }
}

// Other channels are refused at once; the timed receive waits without limit on shared memory.
TEST_F(CanReceive, ReceiveOperationsRefuseOtherChannelsAndTimeOutExceptOnSharedMemory) {
    Bytes buffer(1024);
    KT::uint32 length = 77;
    for (int type : {int(MSG_TYPE_NONE), int(MSG_TYPE_BROADCAST), 5, -1}) {
        EXPECT_EQ(-1, can->ReceiveData(buffer.data(), &length, static_cast<enMsgType>(type))) << type;
        EXPECT_EQ(-1, can->ReceiveDataTimed(buffer.data(), &length, 100000, static_cast<enMsgType>(type))) << type;
    }
    EXPECT_EQ(77u, length);
    EXPECT_EQ(OS_QUEUE_TIMEOUT, can->ReceiveDataTimed(buffer.data(), &length, 20, MSG_TYPE_COMMAND));
    EXPECT_EQ(OS_QUEUE_TIMEOUT, can->ReceiveDataTimed(buffer.data(), &length, 0, MSG_TYPE_STREAM));
    EXPECT_EQ(-1, can->ReceiveData(nullptr, &length, MSG_TYPE_STREAM)) << "the OS refusal folds to -1";
    EXPECT_TRUE(logHas("ReceiveDataTimed(KT::uint8*, KT::uint32*, KT::uint32, enMsgType)  "
                       "function return value = -310\n"));
    auto waiter = std::async(std::launch::async, [this] {
        uint8_t record[256];
        KT::uint32 size = 0;
        return can->ReceiveDataTimed(record, &size, 1, MSG_TYPE_SHM) == 0 ? static_cast<int>(size) : -1;
    });
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::milliseconds(200)))
        << "a 1 ms limit is not applied to this channel";
    const uint8_t record[256] = {};
    ASSERT_EQ(OS_SUCCESS, osQueuePut(kShmQueue, record, sizeof record));
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(256, waiter.get());
}

// Without a waiter each queue keeps one 12-byte item, returned in its turn (waiters: load test).
TEST_F(CanReceive, ExitItemsOfExitReceiveDataAndResetPortWaitInBothQueuesAheadOfLaterMessages) {
    open();
    for (const bool viaReset : {false, true}) {
        SCOPED_TRACE(viaReset ? "ResetPort" : "ExitReceiveData");
        EXPECT_EQ(0, viaReset ? can->ResetPort() : can->ExitReceiveData());
        const Bytes message = pattern(4, viaReset);
        sendFrames(streamFrames(message));
        sendFrames(commandFrames(message));
        EXPECT_EQ(Bytes(12, 0), receive(MSG_TYPE_STREAM));
        EXPECT_EQ(message, receive(MSG_TYPE_STREAM));
        EXPECT_EQ(Bytes(12, 0), receive(MSG_TYPE_COMMAND));
        EXPECT_EQ(message, receive(MSG_TYPE_COMMAND));
    }
    EXPECT_TRUE(logHas("KT::int32 XR9ALCANWrapper::ResetPort()  nRetVal = 0\n\n"));
    EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::ResetPort()   function returned: 0\n"));
    EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::ExitReceiveData()  function return value = 0\n"));
}

}  // namespace

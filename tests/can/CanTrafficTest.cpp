// CAN sending and receiving on the user-space bus: framing on the wire,
// failed writes, reassembly through socket faults, drops and releases.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <string>

#include "CanHarness.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

using namespace cantest;

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
        EXPECT_EQ(expected.size(), frames.size());  // written before SendData returned
        EXPECT_EQ(expected.size(), sameFrames(expected, frames)) << "frames as the harness frames them";
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

// Failed selects and reads are skipped; a failure that repeats is logged once.
TEST_F(CanReceive, MessagesOfEverySizeUpToTheBufferArriveWholeThroughSocketFailures) {
    open();
    bus.failSelects(30, EINTR);
    bus.failReads(3, EIO);
    const Bytes message = pattern(20, 0x61);
    sendFrames(commandFrames(message));
    ASSERT_TRUE(waitForLog(kTaskFn + "CAN RX THREAD: COMMAND received\n"));  // logged after the put: no wait below
    Bytes got(1024);
    KT::uint32 length = 0;
    EXPECT_EQ(0, can->ReceiveData(got.data(), &length, MSG_TYPE_COMMAND));
    EXPECT_EQ(message, Bytes(got.begin(), got.begin() + length));
    EXPECT_TRUE(logHas(kTaskFn + "uiCommandMsgLength = 14\n"));
    EXPECT_TRUE(logHas("XR9ALCAN::ReceiveData(KT::uint8*, KT::uint32*, enMsgType)  function return value = 0\n"));
    EXPECT_EQ(1, countOf(logText(), kTaskFn + "SocketCAN::select(): -1 => Interrupted system call\n"));
    EXPECT_EQ(1, countOf(logText(), kTaskFn + "SocketCAN::read(): -1 => Input/output error\n"));

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
        ASSERT_TRUE(bus.kernel() || bus.sendRaw(&mine[i], 8)) << "a read of other than 16 bytes";
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

// Dropped messages are counted; the log keeps to the receive task's documented lines.
TEST_F(CanReceive, BytesBeyondTheBufferDropTheMessageAndTheNextOneArrives) {
    const struct {
        enMsgType channel;
        std::vector<can_frame> frames;
        std::string why;
    } cases[] = {
        {MSG_TYPE_COMMAND, announcedThenData(1500, 188), "longer than the buffer"},
        // Length zero delivers nothing: the data frame after it has no message to join.
        {MSG_TYPE_STREAM, {lengthFrame(kStreamLengthId, 0), makeFrame(kStreamId, pattern(3))}, "no length frame"},
        {MSG_TYPE_COMMAND, announcedThenData(10, 3), "more than announced"}};
    const std::string documented[] = {"Starting CAN RX THREAD  readSocket=", "STREAM_LENGTH uiStreamMsgLength  = ",
                                      "STREAM osQueuePut nRetVal = ", "uiCommandMsgLength = ",
                                      "CAN RX THREAD: COMMAND received", "SocketCAN::select(): ",
                                      "SocketCAN::read(): ", "Exiting can rx thread"};
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
    }
    for (const std::string& line : xr9test::readLines(logBase + ".0")) {
        const size_t at = line.find(kTaskFn);
        if (at == std::string::npos) continue;
        const std::string message = line.substr(at + kTaskFn.size());
        EXPECT_TRUE(std::any_of(std::begin(documented), std::end(documented),
                                [&](const std::string& d) { return message.rfind(d, 0) == 0; }))
            << "not a line of the receive task: " << message;
    }
}

// A sender held up by a full transmit queue gives the lock back between its attempts: messages
// keep arriving before the queue moves again.
TEST_F(CanReceive, ReceivingGoesOnWhileASenderFindsTheTransmitQueueFull) {
    open();
    xr9test::CaptureStdout console;  // the retries' console lines
    ASSERT_TRUE(bus.holdTransmit(true));
    std::atomic<bool> stop{false};
    auto sender = std::async(std::launch::async, [this, &stop] {
        int failed = 0;
        for (Bytes m = pattern(8); !stop.load();) failed += can->SendData(m.data(), 8, MSG_TYPE_STREAM) != 0;
        return failed;
    });
    const std::string stuck = "CAN Write(): ffffffff  => No buffer space available\n";
    const bool wasStuck = xr9test::waitFor([&] { return logHas(stuck); }, std::chrono::seconds(60));
    const auto start = std::chrono::steady_clock::now();
    int received = 0;
    for (int i = 0; wasStuck && i < 20; ++i) {
        sendFrames(commandFrames(pattern(20, uint8_t(i))));
        received += receive(MSG_TYPE_COMMAND) == pattern(20, uint8_t(i));
    }
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                             .count();
    stop = true;  // the queue stays held until the sender has given up its last message
    const bool senderDone = sender.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    console.text();  // ends the capture: failures below are seen
    EXPECT_TRUE(bus.holdTransmit(false));
    ASSERT_TRUE(senderDone);
    EXPECT_TRUE(wasStuck) << "no write found the transmit queue full";
    EXPECT_GT(sender.get(), 0) << "the sender met the full queue";
    EXPECT_EQ(20, received);
    std::printf("[ figures ] CanStuckSender bus=%s receivedWhileStuck=%d ms=%lld\n", bus.kernel() ? "kernel" : "user",
                received, ms);
}

// What only the kernel's bus shows: can-utils on the same interface as the library.
TEST_F(CanReceive, CanUtilitiesSeeExactlyTheFramesAndTheirFramesArriveAmongForeignRtrAndErrorFrames) {
    if (!bus.kernel()) GTEST_SKIP() << "can-utils need the kernel's bus (tools/vm)";
    open();
    const std::string dump = dir.file("candump.txt");
    // candump stops after the five frames below, or after 60 s.
    auto candump = std::async(std::launch::async, [&] {
        return std::system(("timeout 60 candump -L -n 5 can0 > " + dump).c_str());
    });
    ASSERT_TRUE(xr9test::waitFor([] { return std::system("ip -s link show can0 >/dev/null 2>&1") == 0; }));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // candump binds; it gives no sign of it
    Bytes message = pattern(20, 0x30);
    uint8_t notice[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_EQ(0, can->SendData(message.data(), 20, MSG_TYPE_COMMAND));
    ASSERT_EQ(0, can->SendData(notice, 4, MSG_TYPE_SHM));
    ASSERT_EQ(std::future_status::ready, candump.wait_for(std::chrono::seconds(90)));
    EXPECT_EQ(0, candump.get());
    std::vector<std::string> frames;
    for (const std::string& line : xr9test::readLines(dump)) frames.push_back(line.substr(line.find(") ") + 2));
    EXPECT_EQ((std::vector<std::string>{"can0 122#00A5A5A500000014", "can0 123#3031323334353637",
                                        "can0 123#38393A3B3C3D3E3F", "can0 123#40414243",
                                        "can0 122#A1A1A1A112345678"}),
              frames);

    // A command sent with cansend, with a foreign frame, an RTR frame and an error frame on the
    // command identifiers between its frames.
    for (const char* frame : {"122#00A5A5A500000003", "124#00A5A5A500000001", "123#R", "20000123#0000000000000000",
                              "123#414243"}) {
        ASSERT_EQ(0, std::system((std::string("cansend can0 ") + frame).c_str())) << frame;
    }
    EXPECT_EQ(Bytes({'A', 'B', 'C'}), receive(MSG_TYPE_COMMAND));
    Bytes buffer(1024);
    KT::uint32 length = 0;
    EXPECT_EQ(OS_QUEUE_TIMEOUT, can->ReceiveDataTimed(buffer.data(), &length, 500, MSG_TYPE_COMMAND))
        << "nothing more";
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

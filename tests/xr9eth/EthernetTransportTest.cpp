// The Ethernet transport over loopback sockets, against the POSIX peer.
#include <QMetaMethod>
#include <QPointer>

#include "EthernetHarness.h"
#include "XR9ALEthernet/EthernetThread.h"
#include "XrTcpServer/XRTcpServer.h"
#include "access/XR9ALCOMMFactory.h"
#include "osal.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

using namespace ethtest;

class EthernetTransport : public EthernetFixture {
protected:
    bool openAndConnect() { return open() && connect(&command, MSG_TYPE_COMMAND); }
    // Runs send steps in this (the owner) thread until the queue is empty.
    bool flushSendQueue() {
        return pumpUntil([&] {
            eth->sendMessages();
            return eth->isSendQueueEmpty();
        });
    }

    TcpPeer command, stream;
};

TEST_F(EthernetTransport, GarbageAndForeignFramesAreDroppedAndOverlongOnesPassedOverInStep) {
    ASSERT_TRUE(openAndConnect());
    eth->setMaxFrameLength(1000);
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    // Past the limit, the announced payload is counted off as it comes in several arrivals; the frames inside it
    // are not the peer's, nor is an SHM value.
    std::string hiddenFrames;
    while (hiddenFrames.size() < 1001) hiddenFrames += frame(0xA5, "hidden") + shmFrame(7);
    const std::string overlong = frameWithLength(0xA5, 1001, hiddenFrames.substr(0, 1001));
    const struct {
        TcpPeer* peer;
        enMsgType channel;
        std::vector<std::string> arrivals;  // then a frame that is kept
    } cases[] = {
        {&command, MSG_TYPE_COMMAND, {std::string("\x00\x11\x22\x33\x44\x55\x66\x77", 8) + frame(0xA5, "lost")}},
        {&command, MSG_TYPE_COMMAND, {frame(0xA7, "stream") + frame(0xA5, "lost")}},
        {&stream, MSG_TYPE_STREAM, {shmFrame(1) + frame(0xA7, "lost")}},
        {&command, MSG_TYPE_COMMAND, {overlong.substr(0, 8), overlong.substr(8, 500), overlong.substr(508)}},
    };
    for (const auto& c : cases) {
        for (const std::string& arrival : c.arrivals) {
            ASSERT_TRUE(c.peer->sendAll(arrival));
            EXPECT_TRUE(nothingQueued()) << "nothing of a dropped arrival";
        }
        ASSERT_TRUE(c.peer->sendAll(frame(markerOf(c.channel), "kept")));
        EXPECT_EQ("kept", next(c.channel));
    }
    ASSERT_TRUE(stream.sendAll(frame(0xA7, std::string(1000, 'k'))));
    EXPECT_EQ(std::string(1000, 'k'), next(MSG_TYPE_STREAM)) << "a frame at the limit is taken";
}

// Frames small and large (a large payload is read into the message's own array) cut into arrivals at every kind
// of place: each arrival handled before the next comes, the messages are the frames' payloads, in order, whole.
TEST_F(EthernetTransport, FramesSplitAnywhereAcrossArrivalsArriveWholeAndInOrder) {
    ASSERT_TRUE(openAndConnect());
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    auto filled = [](size_t size, char seed) {
        std::string s(size, '\0');
        for (size_t i = 0; i < size; ++i) s[i] = char(seed + i * 7 + (i >> 9));
        return s;
    };
    const std::vector<std::string> payloads = {"ab", filled(70000, 'a'), "", filled(4096, 'b'), filled(4095, 'c'),
                                               "x", filled(300000, 'd'), filled(5000, 'e')};
    std::string wire;
    std::vector<size_t> starts;  // where each frame begins on the wire
    for (const std::string& p : payloads) starts.push_back(wire.size()), wire += frame(0xA7, p);
    const struct {
        const char* name;
        std::vector<size_t> cuts;  // offsets on the wire where an arrival ends
        KT::uint32 budget;
    } cases[] = {
        {"all in one arrival", {}, xr9eth::kDefaultReceiveBudget},
        {"inside headers", {starts[1] + 3, starts[3] + 7, starts[6] + 1}, xr9eth::kDefaultReceiveBudget},
        {"right after headers", {starts[1] + 8, starts[3] + 8, starts[7] + 8}, xr9eth::kDefaultReceiveBudget},
        {"large frames behind small ones", {starts[2] + 20, starts[5] + 9000}, xr9eth::kDefaultReceiveBudget},
        {"one byte short", {starts[2] - 1, starts[7] - 1, wire.size() - 1}, xr9eth::kDefaultReceiveBudget},
        {"a message at a time", {starts[1] + 100, starts[6] + 50000, starts[7] + 4000}, 0},
    };
    for (const auto& c : cases) {
        eth->setReceiveBudget(c.budget);
        size_t from = 0;
        for (size_t cut : c.cuts) {
            ASSERT_TRUE(stream.sendAll(wire.substr(from, cut - from)));
            pumpFor(20);
            from = cut;
        }
        ASSERT_TRUE(stream.sendAll(wire.substr(from)));
        for (size_t i = 0; i < payloads.size(); ++i)
            EXPECT_TRUE(next(MSG_TYPE_STREAM) == payloads[i]) << c.name << ", message " << i;
        EXPECT_TRUE(nothingQueued()) << c.name;
        EXPECT_EQ(0, eth->bytesHeld(MSG_TYPE_STREAM)) << c.name << ": nothing kept once all is taken";
    }
}

TEST_F(EthernetTransport, ShmShortFramePostsAnUpdateMessageAndQueuesNothing) {
    uint32_t two = 2;  // the host's queue, emptied first
    ASSERT_EQ(0, osQueueCreate(&two, "q2", 1, 64));
    unsigned char record[256];
    uint32_t size = 0;
    while (osQueueGetTimed(2, record, &size, 0) == 0) {
    }
    ASSERT_TRUE(openAndConnect());
    ASSERT_TRUE(command.sendAll(shmFrame(42) + shmFrame(-2)));
    for (int32_t expected : {42, -2, -7}) {
        if (expected == -7) {  // a host's own buffer: the frame is cut off, the rest stays
            QByteArray buffer = QByteArray::fromStdString(shmFrame(-7) + "rest");
            EXPECT_EQ(1, eth->readSHMMessage(&buffer));
            EXPECT_EQ("rest", buffer.toStdString());
        }
        ASSERT_TRUE(pumpUntil([&] { return osQueueGetTimed(2, record, &size, 0) == 0; }));
        ASSERT_EQ(256u, size);
        XRUpdateMessage message;
        std::memcpy(&message, record, sizeof message);
        EXPECT_EQ(unsigned(SHM_MODULE), message.module);
        EXPECT_EQ(36u, message.messageId);
        EXPECT_EQ(102u, message.event);
        EXPECT_EQ(expected, message.result);
        EXPECT_EQ('\0', message.text[0]);
    }
    EXPECT_TRUE(eth->isReceiveQueueEmpty());
}

TEST_F(EthernetTransport, BroadcastIsQueuedAndAnsweredToTheLastSender) {
    ASSERT_TRUE(open());
    UdpPeer sender;
    ASSERT_TRUE(sender.sendTo(uint16_t(settings.broadcastPort), frame(0xA2, "one") + frame(0xA2, "two")));
    ASSERT_TRUE(sender.sendTo(uint16_t(settings.broadcastPort), frameWithLength(0xA2, 100, "0123456789")));
    for (const char* expected : {"one", "two", "0123456789"})
        EXPECT_EQ(expected, next(MSG_TYPE_BROADCAST)) << "server mode adds nothing";
    // The answer goes to the sender's address on the broadcast port, which a bind more specific than 0.0.0.0 gets.
    UdpPeer receiver(uint16_t(settings.broadcastPort));
    ASSERT_TRUE(receiver.valid());
    ASSERT_TRUE(send("answer", MSG_TYPE_BROADCAST));
    EXPECT_EQ(1, eth->sendMessages());
    std::string datagram;
    ASSERT_TRUE(receiver.receive(&datagram));
    EXPECT_EQ(frame(0xA2, "answer"), datagram);
}

TEST_F(EthernetTransport, SendQueueKeepsItsOrderAndPutsBackWhatWaitsForAConnectionOrItsNextOne) {
    ASSERT_TRUE(open());
    ASSERT_TRUE(send(QByteArray("\x01\x00\x00\x00", 4), MSG_TYPE_SHM));
    ASSERT_TRUE(send("s1", MSG_TYPE_STREAM));
    KT::uint8 bytes[3] = {'x', 'y', 'z'};
    ASSERT_EQ(0, eth->SendData(bytes, 3, MSG_TYPE_COMMAND));
    EXPECT_EQ(1, eth->sendMessages()) << "an SHM message without a connection is dropped";
    EXPECT_EQ(0, eth->sendMessages()) << "the stream message waits";
    ASSERT_TRUE(connect(&command, MSG_TYPE_COMMAND));
    EXPECT_EQ(0, eth->sendMessages()) << "the command message must not overtake the stream message";
    std::string got;
    EXPECT_FALSE(command.receive(1, &got, 150));

    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    eth->setCommandSocket(nullptr);  // ignored: the held socket stays
    ASSERT_EQ(0, eth->SendData(bytes, 0, MSG_TYPE_STREAM));
    ASSERT_TRUE(send(QByteArray("\x2A\x00\x00\x00", 4), MSG_TYPE_SHM));
    for (int step = 0; step < 4; ++step) EXPECT_EQ(1, eth->sendMessages()) << step;
    EXPECT_EQ(0, eth->SendData(nullptr, MSG_TYPE_NONE));
    EXPECT_TRUE(eth->isSendQueueEmpty());
    EXPECT_TRUE(arrives(stream, frame(0xA7, "s1") + frame(0xA7, "")));
    EXPECT_TRUE(arrives(command, frame(0xA5, "xyz") + shmFrame(42))) << "the first SHM frame was dropped, not kept";

    // Qt closes a half-closed peer's socket: the answer waits at the head of the queue for the next connection.
    ASSERT_TRUE(command.sendAll(frame(0xA5, "last words")));
    ASSERT_EQ(0, ::shutdown(command.fd(), SHUT_WR));
    ASSERT_EQ("last words", next(MSG_TYPE_COMMAND));
    ASSERT_TRUE(send("answer", MSG_TYPE_COMMAND));
    pumpFor(100);
    EXPECT_EQ(0, eth->sendMessages()) << "no connection: the answer is put back";
    TcpPeer again;
    ASSERT_TRUE(connect(&again, MSG_TYPE_COMMAND));
    EXPECT_EQ(1, eth->sendMessages());
    EXPECT_TRUE(arrives(again, frame(0xA5, "answer")));
}

TEST_F(EthernetTransport, RefusedChannelsAndPumpCalls) {
    KT::uint8 data[4] = {1, 2, 3, 4};
    QByteArray array("x");
    EXPECT_EQ(0, eth->SendData(data, 4, static_cast<enMsgType>(7)));
    EXPECT_EQ(0, eth->SendData(data, 4, MSG_TYPE_NONE));
    EXPECT_EQ(-1, eth->SendData(&array, static_cast<enMsgType>(7)));
    EXPECT_EQ(0, eth->SendData(&array, MSG_TYPE_NONE));
    EXPECT_EQ(-2, eth->SendData(nullptr, MSG_TYPE_COMMAND));
    EXPECT_EQ(-2, eth->SendData(static_cast<KT::uint8*>(nullptr), 3, MSG_TYPE_COMMAND));
    for (KT::uint32 tooLong : {0x80000000u, 0xFFFFFFFFu}) EXPECT_EQ(-2, eth->SendData(data, tooLong, MSG_TYPE_STREAM));
    EXPECT_EQ(0, eth->enqueueTxMsg(MSG_TYPE_NONE, "x"));
    EXPECT_TRUE(eth->isSendQueueEmpty());
    EXPECT_EQ(0, eth->enqueueRxMsg(static_cast<enMsgType>(9), "x"));
    EXPECT_EQ(1, eth->enqueueRxMsg(MSG_TYPE_SHM, "x"));
    QByteArray out;
    for (enMsgType type : {MSG_TYPE_SHM, MSG_TYPE_NONE, static_cast<enMsgType>(5)})
        EXPECT_EQ(-1, eth->ReceiveData(&out, type, 5000)) << "no wait for an unsupported channel";
    EXPECT_EQ(0, eth->GetDeviceList(nullptr));
    EXPECT_EQ(0, eth->ResetPort());
    EXPECT_EQ(0, eth->ExitReceiveData());
    // No stream connection is open: the unframed stream read has nothing to read.
    for (enMsgType type : {MSG_TYPE_STREAM, MSG_TYPE_BROADCAST, MSG_TYPE_SHM, MSG_TYPE_NONE})
        EXPECT_EQ(-1, eth->receivedMsg(type)) << type;
    EXPECT_EQ(kTimeoutCode, eth->ReceiveData(&out, MSG_TYPE_STREAM, 0));
}

TEST_F(EthernetTransport, ReadMessageCutsOnlyAWholeFrameOffAHostBuffer) {
    const std::string hello = frame(0xA5, "hello");
    struct Case { std::string buffer; int length, result; std::string left, queued; };
    for (const Case& c : {Case{hello + "xyz", 5, 1, "xyz", "hello"}, Case{frame(0xA5, ""), 0, 1, "", ""},
                          Case{hello.substr(0, 12), 5, 0, hello.substr(0, 12), "<none>"},
                          Case{hello, -1, 0, "", "<none>"}}) {  // a negative length empties the buffer
        SCOPED_TRACE(c.length);
        QByteArray buffer = QByteArray::fromStdString(c.buffer);
        EXPECT_EQ(c.result, eth->readMessage(&buffer, c.length, MSG_TYPE_COMMAND));
        EXPECT_EQ(c.left, buffer.toStdString());
        EXPECT_EQ(c.queued, next(MSG_TYPE_COMMAND, 0));
    }
}

TEST_F(EthernetTransport, ByteReceiveDeliversUpTo1024BytesAndTakesLongerMessagesOffWithoutWriting) {
    for (int size : {1025, 1026, 1024, 0}) ASSERT_EQ(1, eth->enqueueRxMsg(MSG_TYPE_STREAM, QByteArray(size, 'L')));
    ASSERT_EQ(1, eth->enqueueRxMsg(MSG_TYPE_COMMAND, QByteArray(3000, 'C')));
    std::vector<KT::uint8> buffer(1024 + 16, 0xEE);
    KT::uint32 length = 77;
    EXPECT_EQ(-403, eth->ReceiveData(buffer.data(), &length, MSG_TYPE_STREAM));
    EXPECT_EQ(-403, eth->ReceiveDataTimed(buffer.data(), &length, 5000, MSG_TYPE_STREAM)) << "the next long one";
    EXPECT_EQ(77u, length) << "length not written";
    EXPECT_EQ(std::vector<KT::uint8>(1024 + 16, 0xEE), buffer) << "nothing copied";
    QByteArray taken("ab");
    ASSERT_EQ(0, eth->ReceiveData(&taken, MSG_TYPE_COMMAND, 0));
    EXPECT_EQ(QByteArray("ab") + QByteArray(3000, 'C'), taken) << "appended behind what the array held";
    ASSERT_EQ(0, eth->ReceiveData(buffer.data(), &length, MSG_TYPE_STREAM));
    EXPECT_EQ(1024u, length);
    EXPECT_EQ('L', buffer[1023]);
    EXPECT_EQ(0xEE, buffer[1024]);
    ASSERT_EQ(0, eth->ReceiveData(buffer.data(), &length, MSG_TYPE_STREAM));
    EXPECT_EQ(0u, length) << "an empty message";
    EXPECT_EQ(kTimeoutCode, eth->ReceiveDataTimed(buffer.data(), &length, 5000, MSG_TYPE_STREAM));
    EXPECT_EQ(-2, eth->ReceiveData(nullptr, &length, MSG_TYPE_STREAM));
}

TEST_F(EthernetTransport, ClosePortForgetsQueuesBuffersAndAPausedReaderButKeepsListening) {
    ASSERT_TRUE(openAndConnect() && connect(&stream, MSG_TYPE_STREAM));
    eth->setReceiveBudget(0);  // the reader pauses once a message is queued
    ASSERT_TRUE(command.sendAll(frame(0xA5, "queued") + frame(0xA5, "part").substr(0, 10)));
    ASSERT_TRUE(pumpUntil([&] { return !eth->isReceiveQueueEmpty(); }));
    // A stream message: another thread's step hands it over (a command message it may write itself).
    ASSERT_TRUE(send("handed over", MSG_TYPE_STREAM));
    std::thread([&] { eth->SendData(nullptr, MSG_TYPE_NONE); }).join();  // its write event waits for this thread
    ASSERT_TRUE(send("pending", MSG_TYPE_STREAM));
    EXPECT_EQ(0, eth->ClosePort());
    EXPECT_TRUE(eth->isReceiveQueueEmpty());
    EXPECT_EQ(0, eth->bytesHeld(MSG_TYPE_COMMAND));
    EXPECT_TRUE(eth->isSendQueueEmpty());
    std::string got;
    EXPECT_FALSE(stream.receive(1, &got, 100)) << "what was handed over is forgotten: " << got;
    EXPECT_TRUE(command.waitClosed());

    xr9test::CaptureStdout capture;
    ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, nullptr, 0)) << "the kept record is used";
    TcpPeer peer;
    ASSERT_TRUE(connect(&peer, MSG_TYPE_STREAM));  // pumps: the stale write event finds nothing to write
    ASSERT_TRUE(send("handed after", MSG_TYPE_STREAM));
    std::thread([&] { eth->SendData(nullptr, MSG_TYPE_NONE); }).join();
    EXPECT_TRUE(arrives(peer, frame(0xA7, "handed after"))) << "a later hand-over still has the owner write";
    carriesBothWays("after");
    EXPECT_EQ(std::string::npos, capture.text().find("Error")) << "the listeners were not restarted";
}

TEST_F(EthernetTransport, OpenNeedsARecordKeepsTheFirstAndPrintsAPortInUse) {
    EXPECT_EQ(-2, eth->OpenPort(IF_TYPE_ETHERNET, nullptr, 0)) << "no record yet";
    EXPECT_EQ(0u, KT::KTDEI::instance()->callCount());
    EXPECT_FALSE(command.connectTo(portOf(MSG_TYPE_COMMAND))) << "nothing listens";
    ASSERT_TRUE(open());
    EthernetSettings other = loopbackSettings();
    settings.ipAddress[3] = 9;
    ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, &other, 0));
    KT::KTDEIValue value;
    ASSERT_TRUE(KT::KTDEI::instance()->lastValue(0x2140, 1, &value));
    EXPECT_EQ("127.0.0.9", value.text);
    EXPECT_FALSE(command.connectTo(uint16_t(other.commandPort)));

    XR9ALEthernet second;  // on the first one's command port
    other.commandPort = settings.commandPort;
    xr9test::CaptureStdout capture;
    second.OpenPort(IF_TYPE_ETHERNET, &other, 0);
    const std::string text = capture.text();
    EXPECT_EQ(0u, text.find("  Error: ")) << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
}

// Order through the send thread under load: EthernetLoad.
TEST_F(EthernetTransport, SendThreadDrainsUnlessDisabledNeitherPumpsNorStopsWaitForTheOwnerAndMayOutliveIt) {
    ASSERT_TRUE(open());
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    ASSERT_TRUE(send("first", MSG_TYPE_STREAM));
    EthernetThread disabled("EthSend", true, eth);
    disabled.start();
    EXPECT_TRUE(disabled.wait(5000));
    pumpFor(50);
    EXPECT_FALSE(eth->isSendQueueEmpty()) << "a disabled thread sends nothing";
    EthernetThread sender("EthSend", false, eth);
    sender.start();
    sender.notify();
    EXPECT_TRUE(arrives(stream, frame(0xA7, "first")));
    // This (the owner) thread does not run its loop meanwhile: another thread's pumps, on an empty queue and a full
    // one, and its stop of the send thread go on all the same, so a host joining that thread does not hang.
    std::atomic<bool> returned{false};
    std::thread host([&] {
        eth->SendData(nullptr, MSG_TYPE_NONE);
        for (int i = 0; i < 50; ++i) send("z", MSG_TYPE_STREAM);
        eth->SendData(nullptr, MSG_TYPE_NONE);
        sender.stop();
        returned = true;
    });
    const bool inTime = xr9test::waitFor([&] { return returned.load(); });
    pumpUntil([&] { return returned.load(); }, 20000);  // a thread held up by this one goes on now
    host.join();
    EXPECT_TRUE(inTime) << "a pump or a stop waited for the owner's event loop";
    EXPECT_TRUE(sender.isFinished());
    ASSERT_TRUE(flushSendQueue());
    std::string zs;
    for (int i = 0; i < 50; ++i) zs += frame(0xA7, "z");
    EXPECT_TRUE(arrives(stream, zs)) << "in order, once each";
    EthernetThread stoppedAtOnce("EthSend", false, eth);  // maybe before its loop began
    stoppedAtOnce.start();
    stoppedAtOnce.stop();
    EXPECT_EQ(0, Xr9AlCloseHandle(eth));
    eth = nullptr;  // the stopped threads' destructors must not touch it
    EthernetThread neverStarted("EthSend", false, nullptr);
    neverStarted.stop();
}

// Server mode sets the address, then apply-and-start; a refusal is printed and does not enter the result.
TEST_F(EthernetTransport, ServerModeSetsAddressThenApplyAndReportsRefusals) {
    const struct {
        int ipAnswer, applyAnswer;
        const char* console;
    } cases[] = {{0, 0, ""},
                 {25, 25, ""},
                 {3, 0, "XREthernet::openPort() set IPAddress: 127.0.0.1 returned: 3\n"},
                 {0, 3, "XREthernet::openPort() set applyNstart: 1 returned: 3\n"}};
    KT::KTDEI* dei = KT::KTDEI::instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ipAnswer * 100 + c.applyAnswer);
        XR9ALEthernet transport;
        EthernetSettings record = loopbackSettings();
        dei->reset();
        dei->setHandler([&](unsigned short group, unsigned short index, const KT::KTDEIValue&) {
            return group != 0x2140 ? 99 : index == 1 ? c.ipAnswer : c.applyAnswer;
        });
        xr9test::CaptureStdout capture;
        EXPECT_EQ(0, transport.OpenPort(IF_TYPE_ETHERNET, &record, 0));
        EXPECT_EQ(std::string(c.console), capture.text());
        KT::KTDEIValue value;
        ASSERT_TRUE(dei->lastValue(0x2140, 1, &value));
        EXPECT_TRUE(value.isText);
        EXPECT_EQ("127.0.0.1", value.text);
        const bool applySet = c.ipAnswer != 3;  // not after a refused address
        ASSERT_EQ(applySet, dei->lastValue(0x2140, 20, &value));
        EXPECT_TRUE(!applySet || value.number == 1);
        TcpPeer peer;
        EXPECT_TRUE(peer.connectTo(uint16_t(record.commandPort))) << "the servers listen whatever the host answered";
    }
}

class EthernetClientMode : public EthernetTransport {
protected:
    void SetUp() override {
        EthernetTransport::SetUp();
        settings.commandPort = commandListener.port();
        settings.streamPort = streamListener.port();
        settings.clientMode = 1;
    }
    TcpListener commandListener, streamListener;
};

TEST_F(EthernetClientMode, ConnectsOutCarriesMessagesAndMarksBroadcastsWithTheSender) {
    ASSERT_TRUE(open());
    EXPECT_EQ(0u, KT::KTDEI::instance()->callCount()) << "client mode sets no host variable";
    ASSERT_TRUE(commandListener.accept(&command));
    ASSERT_TRUE(streamListener.accept(&stream));
    ASSERT_TRUE(pumpUntil([&] { return eth->isConnected(); }));
    ASSERT_TRUE(stream.sendAll(frame(0xA7, "to host")));
    EXPECT_EQ("to host", next(MSG_TYPE_STREAM));
    ASSERT_TRUE(send("to peer", MSG_TYPE_COMMAND));
    ASSERT_TRUE(flushSendQueue());
    EXPECT_TRUE(arrives(command, frame(0xA5, "to peer")));

    // Already connected to that peer: a second open leaves both connections alone.
    ASSERT_TRUE(open());
    pumpFor(150);
    EXPECT_FALSE(commandListener.pending());
    EXPECT_FALSE(streamListener.pending());
    EXPECT_TRUE(eth->isConnected());
    stream.close();
    EXPECT_TRUE(pumpUntil([&] { return !eth->isConnected(); }));

    // Broadcasts get the sender's address appended; outgoing ones are dropped.
    UdpPeer sender;
    ASSERT_TRUE(sender.sendTo(uint16_t(settings.broadcastPort), frame(0xA2, "hello")));
    EXPECT_EQ("hello*ip=127.0.0.1", next(MSG_TYPE_BROADCAST));

    UdpPeer receiver(uint16_t(settings.broadcastPort));
    ASSERT_TRUE(send("dropped", MSG_TYPE_BROADCAST));
    EXPECT_EQ(1, eth->sendMessages());
    EXPECT_TRUE(eth->isSendQueueEmpty());
    std::string datagram;
    EXPECT_FALSE(receiver.receive(&datagram, 150));
}

TEST_F(EthernetClientMode, UnboundableBroadcastAddressFailsTheOpen) {
    const short foreign[4] = {203, 0, 113, 1};  // not an address of this machine
    std::copy(foreign, foreign + 4, settings.bindAddress);
    EXPECT_FALSE(open());
    EXPECT_TRUE(commandListener.accept(&command)) << "the TCP set-up is done regardless";
}

TEST(EthernetHandle, FactoryHandsOutTheXr9alBaseAndCloseDestroysTheWholeObject) {
    XR9AL* handle = Xr9AlGetHandle(IF_TYPE_ETHERNET);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(handle, Xr9AlGetHandle(IF_TYPE_ETHERNET));
    EXPECT_EQ(handle, pETHhandle);
    auto* eth = dynamic_cast<XR9ALEthernet*>(handle);
    ASSERT_NE(nullptr, eth);
    EXPECT_NE(static_cast<void*>(handle), static_cast<void*>(eth)) << "QObject is the primary base";
    EXPECT_EQ(static_cast<void*>(handle), eth->qt_metacast("XR9AL"));

    bool destroyed = false;
    QObject::connect(eth, &QObject::destroyed, [&] { destroyed = true; });
    QPointer<QObject> child = eth->findChild<QObject*>();
    EXPECT_FALSE(child.isNull());
    EXPECT_EQ(0, Xr9AlCloseHandle(handle));
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE(child.isNull()) << "the QObject part deleted its children";
    EXPECT_EQ(nullptr, pETHhandle);
}

TEST(EthernetMetaObject, SlotsAreDeclaredInTheirDocumentedOrder) {
    const struct {
        const QMetaObject* meta;
        std::vector<const char*> names;
    } classes[] = {
        {&XR9ALEthernet::staticMetaObject,
         {"ReceivedBroadcastMsg()", "ReceivedCommandMsg()", "ReceivedStreamMsg()", "commandSocketConnected()",
          "streamSocketConnected()", "commandSocketDisconnected()", "streamSocketDisconnected()"}},
        {&XRTcpServer::staticMetaObject, {"newConnection()", "disconnect()"}},
        {&EthernetThread::staticMetaObject, {}},
    };
    for (const auto& c : classes) {
        ASSERT_EQ(int(c.names.size()), c.meta->methodCount() - c.meta->methodOffset()) << c.meta->className();
        for (size_t i = 0; i < c.names.size(); ++i) {
            QMetaMethod m = c.meta->method(c.meta->methodOffset() + int(i));
            EXPECT_EQ(QMetaMethod::Slot, m.methodType());
            EXPECT_EQ(QByteArray(c.names[i]), m.methodSignature());
        }
    }
}

TEST(TcpServer, DisconnectForgetsThePortSoTheSameSettingsRestartTheListener) {
    XR9ALEthernet eth;
    XRTcpServer server(&eth);
    server.init(&eth, static_cast<enMsgType>(5));  // accepts, hands to nobody
    const quint16 port = freePort(SOCK_STREAM);
    server.setEthernetSettings("127.0.0.1", port);
    TcpPeer peer, again, old, fresh;
    ASSERT_TRUE(peer.connectTo(port));
    pumpFor(50);
    {
        xr9test::CaptureStdout capture;
        server.setEthernetSettings("10.0.0.1", port);  // same port: nothing happens
        EXPECT_EQ("", capture.text());
    }
    ASSERT_TRUE(QMetaObject::invokeMethod(&server, "disconnect"));
    server.setEthernetSettings("127.0.0.1", port);  // restarts on the same port
    EXPECT_TRUE(again.connectTo(port));
    const quint16 moved = freePort(SOCK_STREAM);
    server.setEthernetSettings("127.0.0.1", moved);
    EXPECT_FALSE(old.connectTo(port)) << "the old port no longer accepts";
    EXPECT_TRUE(fresh.connectTo(moved));
}

}  // namespace

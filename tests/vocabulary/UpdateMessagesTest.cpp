#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "osal.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

constexpr uint32_t kHostQueues[] = {4, 3, 6, 2};
constexpr uint32_t kDepth = 16;
constexpr uint32_t kWaitMs = 2000;

// The host's four update-message queues, created as the host creates them
// (one 256-byte block per item) and emptied before each test.
class UpdateMessages : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint32_t queue : kHostQueues) {
            uint32_t id = queue;
            ASSERT_EQ(0, osQueueCreate(&id, ("HostQueue" + std::to_string(queue)).c_str(), 1, kDepth));
            drain(queue);
        }
    }
    static void drain(uint32_t queue) {
        std::vector<unsigned char> item(OS_QUEUE_BLOCK_SIZE);
        uint32_t size = 0;
        while (osQueueGetTimed(queue, item.data(), &size, 0) == 0) {
        }
    }
    // The next record of queue, waiting at most kWaitMs.
    static std::vector<unsigned char> take(uint32_t queue) {
        std::vector<unsigned char> item(OS_QUEUE_BLOCK_SIZE);
        uint32_t size = 0;
        EXPECT_EQ(0, osQueueGetTimed(queue, item.data(), &size, kWaitMs)) << "queue " << queue;
        item.resize(size);
        return item;
    }
    static bool isEmpty(uint32_t queue) {
        std::vector<unsigned char> item(OS_QUEUE_BLOCK_SIZE);
        uint32_t size = 0;
        return osQueueGetTimed(queue, item.data(), &size, 0) == OS_QUEUE_TIMEOUT;
    }
    static uint32_t word(const std::vector<unsigned char>& bytes, size_t offset) {
        uint32_t w;
        std::memcpy(&w, bytes.data() + offset, sizeof w);
        return w;
    }
};

struct Route {
    XRMessageType type;
    uint32_t queue;
    uint32_t messageId;
};

void PrintTo(const Route& r, std::ostream* os) {
    *os << "type " << r.type;
}

class UpdateMessageRouting : public UpdateMessages, public ::testing::WithParamInterface<Route> {};

TEST_P(UpdateMessageRouting, RecordGoesToItsQueueWithItsIdentifier) {
    const Route& route = GetParam();
    std::string text = "package 7 installed";
    ASSERT_EQ(0, sendUpdateMessage(route.type, SWU_MODULE, 16, -165, &text));
    const std::vector<unsigned char> item = take(route.queue);
    ASSERT_EQ(256u, item.size());
    EXPECT_EQ(static_cast<uint32_t>(SWU_MODULE), word(item, 0));
    EXPECT_EQ(route.messageId, word(item, 4));
    EXPECT_EQ(16u, word(item, 8));
    EXPECT_EQ(static_cast<uint32_t>(-165), word(item, 12));
    EXPECT_EQ(text, std::string(reinterpret_cast<const char*>(item.data() + 16)));
    for (size_t i = 16 + text.size(); i < 256; ++i) ASSERT_EQ(0, item[i]) << i;
    for (uint32_t queue : kHostQueues) EXPECT_TRUE(isEmpty(queue)) << "stray item in queue " << queue;
}

INSTANTIATE_TEST_SUITE_P(EveryType, UpdateMessageRouting,
                         ::testing::Values(Route{1, 4, 35}, Route{2, 3, 34}, Route{3, 6, 36}, Route{4, 2, 36}),
                         [](const ::testing::TestParamInfo<Route>& info) {
                             return "Type" + std::to_string(info.param.type);
                         });

class BadMessageType : public UpdateMessages, public ::testing::WithParamInterface<XRMessageType> {};

TEST_P(BadMessageType, IsRefusedAndNothingIsPosted) {
    std::string text = "dropped";
    EXPECT_EQ(-1, sendUpdateMessage(GetParam(), SHM_MODULE, 1, 0, &text));
    EXPECT_EQ(-1, sendUpdateMessage(GetParam(), SHM_MODULE, 1, 0, nullptr));
    for (uint32_t queue : kHostQueues) EXPECT_TRUE(isEmpty(queue)) << "queue " << queue;
}

INSTANTIATE_TEST_SUITE_P(OutsideOneToFour, BadMessageType, ::testing::Values(0, 5, -1, 6, INT_MAX, INT_MIN));


TEST_F(UpdateMessages, TextIsCutAt239CharactersAndTheLastByteStaysZero) {
    const struct {
        size_t length;
        size_t arrives;
    } cases[] = {{0, 0}, {1, 1}, {238, 238}, {239, 239}, {240, 239}, {300, 239}, {5000, 239}};
    for (const auto& c : cases) {
        std::string text(c.length, '\0');
        for (size_t i = 0; i < c.length; ++i) text[i] = static_cast<char>('A' + i % 26);
        ASSERT_EQ(0, sendUpdateMessage(4, SHM_MODULE, 102, 5, &text)) << c.length;
        const std::vector<unsigned char> item = take(2);
        ASSERT_EQ(256u, item.size());
        EXPECT_EQ(0, std::memcmp(item.data() + 16, text.data(), c.arrives)) << c.length;
        for (size_t i = 16 + c.arrives; i < 256; ++i) ASSERT_EQ(0, item[i]) << "length " << c.length << " byte " << i;
    }
}

TEST_F(UpdateMessages, NullTextLeavesTheTextFieldZero) {
    ASSERT_EQ(0, sendUpdateMessage(kShmNoticeType, SHM_MODULE, kShmNoticeEvent, 0x01020304, nullptr));
    const std::vector<unsigned char> item = take(2);
    ASSERT_EQ(256u, item.size());
    EXPECT_EQ(static_cast<uint32_t>(SHM_MODULE), word(item, 0));
    EXPECT_EQ(36u, word(item, 4));
    EXPECT_EQ(102u, word(item, 8));
    EXPECT_EQ(0x01020304u, word(item, 12));
    for (size_t i = 16; i < 256; ++i) ASSERT_EQ(0, item[i]) << i;
}

TEST_F(UpdateMessages, FullQueuePassesTheOsFailureBack) {
    for (uint32_t i = 0; i < kDepth; ++i) ASSERT_EQ(0, sendUpdateMessage(2, ZM_MODULE, i, 0, nullptr)) << i;
    EXPECT_EQ(OS_QUEUE_FULL, sendUpdateMessage(2, ZM_MODULE, 99, 0, nullptr));
    // The queued records are the first ones, in order; the refused one is lost.
    for (uint32_t i = 0; i < kDepth; ++i) EXPECT_EQ(i, word(take(3), 8));
    EXPECT_TRUE(isEmpty(3));
}

TEST_F(UpdateMessages, ConcurrentSendersEachPostWholeRecords) {
    constexpr unsigned int kSenders = 4;
    constexpr unsigned int kEach = 100;
    uint32_t id = 6;
    ASSERT_EQ(0, osQueueCreate(&id, "HostQueue6", 1, kSenders * kEach));  // keeps the queue, raises its depth
    std::vector<std::thread> senders;
    std::vector<int> failures(kSenders, 0);
    for (unsigned int t = 0; t < kSenders; ++t) {
        senders.emplace_back([t, &failures] {
            for (unsigned int i = 0; i < kEach; ++i) {
                std::string text = "sender " + std::to_string(t) + " record " + std::to_string(i);
                if (sendUpdateMessage(3, 0x10000u << t, i, -static_cast<int>(t), &text) != 0) ++failures[t];
            }
        });
    }
    for (std::thread& sender : senders) sender.join();
    for (unsigned int t = 0; t < kSenders; ++t) ASSERT_EQ(0, failures[t]) << "sender " << t;
    // Per sender the records arrive in order, each consistent in itself.
    std::vector<unsigned int> next(kSenders, 0);
    for (unsigned int n = 0; n < kSenders * kEach; ++n) {
        const std::vector<unsigned char> item = take(6);
        ASSERT_EQ(256u, item.size());
        const uint32_t module = word(item, 0);
        ASSERT_TRUE(module != 0 && (module & (module - 1)) == 0) << module;
        const unsigned int t = static_cast<unsigned int>(__builtin_ctz(module)) - 16;
        ASSERT_LT(t, kSenders);
        EXPECT_EQ(36u, word(item, 4));
        EXPECT_EQ(next[t], word(item, 8)) << "sender " << t;
        EXPECT_EQ(static_cast<uint32_t>(-static_cast<int>(t)), word(item, 12));
        EXPECT_EQ("sender " + std::to_string(t) + " record " + std::to_string(next[t]),
                  std::string(reinterpret_cast<const char*>(item.data() + 16)));
        ++next[t];
    }
    EXPECT_TRUE(isEmpty(6));
}

std::vector<unsigned int> rawRecord() {
    std::vector<unsigned int> raw(64);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(raw.data());
    for (size_t i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    return raw;
}

TEST(UpdateMessageCopy, OnlyTheRecordSizeIsCopied) {
    std::vector<unsigned int> raw = rawRecord();
    for (unsigned int size : {0u, 4u, 255u, 257u, 512u, UINT_MAX})
        EXPECT_EQ(nullptr, getUpdateMessage(raw.data(), size)) << size;
    std::unique_ptr<XRUpdateMessage> copy(getUpdateMessage(raw.data(), 256));
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(static_cast<void*>(copy.get()), static_cast<void*>(raw.data()));
    EXPECT_EQ(0, std::memcmp(copy.get(), raw.data(), 256));
}

TEST(UpdateMessageCopy, NullRawGivesNull) {
    EXPECT_EQ(nullptr, getUpdateMessage(nullptr, 256));
    EXPECT_EQ(nullptr, getControlMessage(nullptr, 4));
}

TEST(ControlMessageCopy, OnlyOneWordIsCopied) {
    unsigned int raw[2] = {0xA1B2C3D4u, 0x11111111u};
    for (unsigned int size : {0u, 3u, 5u, 8u, 256u}) EXPECT_EQ(nullptr, getControlMessage(raw, size)) << size;
    std::unique_ptr<unsigned int> copy(getControlMessage(raw, 4));
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(raw, copy.get());
    EXPECT_EQ(0xA1B2C3D4u, *copy);
}

TEST_F(UpdateMessages, PostedRecordCopiesBackThroughTheGetter) {
    std::string text = "round trip";
    ASSERT_EQ(0, sendUpdateMessage(1, FILEHANDLER_MODULE, 8, -90, &text));
    std::vector<unsigned int> raw(64);
    uint32_t size = 0;
    ASSERT_EQ(0, osQueueGetTimed(4, raw.data(), &size, kWaitMs));
    std::unique_ptr<XRUpdateMessage> copy(getUpdateMessage(raw.data(), size));
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(static_cast<uint32_t>(FILEHANDLER_MODULE), copy->module);
    EXPECT_EQ(35u, copy->messageId);
    EXPECT_EQ(8u, copy->event);
    EXPECT_EQ(-90, copy->result);
    EXPECT_STREQ("round trip", copy->text);
}

}  // namespace

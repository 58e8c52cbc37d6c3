#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
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
            drained(queue);
        }
    }
    // Empties queue; true when it held nothing.
    static bool drained(uint32_t queue) {
        std::vector<unsigned char> item(OS_QUEUE_BLOCK_SIZE);
        uint32_t size = 0;
        bool empty = true;
        while (osQueueGetTimed(queue, item.data(), &size, 0) == 0) empty = false;
        return empty;
    }
    // The next record of queue, waiting at most kWaitMs.
    static std::vector<unsigned char> take(uint32_t queue) {
        std::vector<unsigned char> item(OS_QUEUE_BLOCK_SIZE);
        uint32_t size = 0;
        EXPECT_EQ(0, osQueueGetTimed(queue, item.data(), &size, kWaitMs)) << "queue " << queue;
        item.resize(size);
        return item;
    }
    static uint32_t word(const std::vector<unsigned char>& bytes, size_t offset) {
        uint32_t w;
        std::memcpy(&w, bytes.data() + offset, sizeof w);
        return w;
    }
};

// Message type: host queue and message identifier.
TEST_F(UpdateMessages, RecordGoesToTheQueueOfItsTypeWithItsIdentifier) {
    const uint32_t routes[][3] = {{1, 4, 35}, {2, 3, 34}, {3, 6, 36}, {4, 2, 36}};
    for (const auto& [type, queue, messageId] : routes) {
        SCOPED_TRACE("type " + std::to_string(type));
        std::string text = "package 7 installed";
        ASSERT_EQ(0, sendUpdateMessage(static_cast<XRMessageType>(type), SWU_MODULE, 16, -165, &text));
        const std::vector<unsigned char> item = take(queue);
        ASSERT_EQ(256u, item.size());
        EXPECT_EQ(static_cast<uint32_t>(SWU_MODULE), word(item, 0));
        EXPECT_EQ(messageId, word(item, 4));
        EXPECT_EQ(16u, word(item, 8));
        EXPECT_EQ(static_cast<uint32_t>(-165), word(item, 12));
        EXPECT_EQ(text, std::string(reinterpret_cast<const char*>(item.data() + 16)));
        for (uint32_t q : kHostQueues) EXPECT_TRUE(drained(q)) << "stray item in queue " << q;
    }
}

TEST_F(UpdateMessages, TypeOutsideOneToFourIsRefusedAndNothingIsPosted) {
    std::string text = "dropped";
    for (XRMessageType type : {0, 5, -1, INT_MAX, INT_MIN}) {
        EXPECT_EQ(-1, sendUpdateMessage(type, SHM_MODULE, 1, 0, &text)) << type;
        EXPECT_EQ(-1, sendUpdateMessage(type, SHM_MODULE, 1, 0, nullptr)) << type;
    }
    for (uint32_t queue : kHostQueues) EXPECT_TRUE(drained(queue)) << "queue " << queue;
}

// The notice the transports post: null text (-1 here), empty and cut texts,
// the text field zero behind them and its last byte always 0.
TEST_F(UpdateMessages, NoticeTextIsCutAt239CharactersAndTheRestStaysZero) {
    for (long length : {-1L, 0L, 1L, 238L, 239L, 240L, 300L, 5000L}) {
        std::string text(length < 0 ? 0 : size_t(length), '\0');
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('A' + i % 26);
        const size_t arrives = std::min<size_t>(text.size(), 239);
        ASSERT_EQ(0, sendUpdateMessage(kShmNoticeType, SHM_MODULE, kShmNoticeEvent, 0x01020304,
                                       length < 0 ? nullptr : &text)) << length;
        const std::vector<unsigned char> item = take(2);
        ASSERT_EQ(256u, item.size());
        EXPECT_EQ(102u, word(item, 8));
        EXPECT_EQ(0, std::memcmp(item.data() + 16, text.data(), arrives)) << length;
        for (size_t i = 16 + arrives; i < 256; ++i) ASSERT_EQ(0, item[i]) << "length " << length << " byte " << i;
    }
}

TEST_F(UpdateMessages, FullQueuePassesTheOsFailureBack) {
    for (uint32_t i = 0; i < kDepth; ++i) ASSERT_EQ(0, sendUpdateMessage(2, ZM_MODULE, i, 0, nullptr)) << i;
    EXPECT_EQ(OS_QUEUE_FULL, sendUpdateMessage(2, ZM_MODULE, 99, 0, nullptr));
    // The queued records are the first ones, in order; the refused one is lost.
    for (uint32_t i = 0; i < kDepth; ++i) EXPECT_EQ(i, word(take(3), 8));
    EXPECT_TRUE(drained(3));
}

// Only the exact size is copied; null raw or a wrong size gives null.
TEST(MessageCopies, OnlyTheExactSizeIsCopied) {
    unsigned int raw[64];
    unsigned char* bytes = reinterpret_cast<unsigned char*>(raw);
    for (size_t i = 0; i < sizeof raw; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    for (unsigned int size : {0u, 4u, 255u, 257u, UINT_MAX}) EXPECT_EQ(nullptr, getUpdateMessage(raw, size)) << size;
    for (unsigned int size : {0u, 3u, 5u, 8u, 256u}) EXPECT_EQ(nullptr, getControlMessage(raw, size)) << size;
    EXPECT_EQ(nullptr, getUpdateMessage(nullptr, 256));
    EXPECT_EQ(nullptr, getControlMessage(nullptr, 4));
    std::unique_ptr<XRUpdateMessage> copy(getUpdateMessage(raw, 256));
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(static_cast<void*>(copy.get()), static_cast<void*>(raw));
    EXPECT_EQ(0, std::memcmp(copy.get(), raw, 256));
    std::unique_ptr<unsigned int> word(getControlMessage(raw, 4));
    ASSERT_NE(nullptr, word);
    EXPECT_NE(raw, word.get());
    EXPECT_EQ(raw[0], *word);
}

}  // namespace

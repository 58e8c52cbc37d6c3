#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "KTDEI.h"

namespace {

class KtdeiTest : public ::testing::Test {
protected:
    void SetUp() override { dei->reset(); }
    void TearDown() override { dei->reset(); }
    KT::KTDEI* dei = KT::KTDEI::instance();
};

TEST_F(KtdeiTest, AnswersZeroAndKeepsTheLastValuePerVariable) {
    EXPECT_EQ(0, dei->setVariableValue(0x2120, 4, 125000, true, false));
    EXPECT_EQ(0, dei->setVariableValue(0x2120, 4, 500000, true, false));
    EXPECT_EQ(0, dei->setVariableValue(0x2140, 1, std::string("10.0.0.1"), true, false));
    KT::KTDEIValue v;
    ASSERT_TRUE(dei->lastValue(0x2120, 4, &v));
    EXPECT_FALSE(v.isText);
    EXPECT_EQ(500000, v.number);
    ASSERT_TRUE(KT::KTDEI::instance()->lastValue(0x2140, 1, &v)) << "one object for every caller";
    EXPECT_TRUE(v.isText);
    EXPECT_EQ("10.0.0.1", v.text);
    EXPECT_FALSE(dei->lastValue(0x2121, 4, &v));
    EXPECT_EQ(3u, dei->callCount());
}

TEST_F(KtdeiTest, HandlerChoosesTheAnswerSeesTheValueAndMayCallBack) {
    unsigned short seenGroup = 0;
    dei->setHandler([&](unsigned short group, unsigned short index, const KT::KTDEIValue& value) {
        seenGroup = group;
        KT::KTDEIValue last;
        if (index == 20) return dei->lastValue(group, index, &last) ? 3 : 1;
        return value.number == 1 ? 25 : 1;
    });
    EXPECT_EQ(25, dei->setVariableValue(0x2122, 4, 1, true, false));
    EXPECT_EQ(1, dei->setVariableValue(0x2122, 4, 2, true, false));
    EXPECT_EQ(3, dei->setVariableValue(0x2140, 20, 1, true, false));
    EXPECT_EQ(0x2140, seenGroup);
    KT::KTDEIValue v;
    ASSERT_TRUE(dei->lastValue(0x2122, 4, &v));
    EXPECT_EQ(2, v.number) << "refused values are still recorded";
    dei->setHandler(nullptr);
    EXPECT_EQ(0, dei->setVariableValue(0x2122, 4, 2, true, false));
}

TEST_F(KtdeiTest, ConcurrentCallersAreAllCounted) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 1000; ++i) dei->setVariableValue(t, 0, i, true, false);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(4000u, dei->callCount());
    KT::KTDEIValue v;
    ASSERT_TRUE(dei->lastValue(3, 0, &v));
    EXPECT_EQ(999, v.number);
}

}  // namespace

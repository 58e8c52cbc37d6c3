#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "support/HAL.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kGuard = 0xEE;
const Bytes kSwapped8{4, 3, 2, 1, 8, 7, 6, 5};

// Source 01 02 03 ... over GetBufferSize(length) bytes and four more (so that
// even length 0 has storage); the destination the same size plus eight guard bytes.
struct Buffers {
    Bytes source, destination;
    explicit Buffers(unsigned int length) {
        const unsigned int rounded = HAL::GetBufferSize(length);
        for (unsigned int i = 0; i < rounded + 4; ++i) source.push_back(static_cast<unsigned char>(i + 1));
        destination.assign(rounded + 8, kGuard);
    }
    Bytes rounded() const { return Bytes(destination.begin(), destination.end() - 8); }
    bool guardsIntact() const { return Bytes(destination.end() - 8, destination.end()) == Bytes(8, kGuard); }
};

class ByteConversion : public ::testing::Test {
protected:
    void SetUp() override {
        HAL::SetConversionRequiredFlag();
        HAL::terminalModel.clear();
    }
    void TearDown() override { HAL::SetConversionRequiredFlag(); }
};

// On and forced: words reversed inside the rounded buffer. Off: exactly length bytes copied.
TEST_F(ByteConversion, ReversesWordsWhenOnOrForcedCopiesWhenOff) {
    const std::pair<unsigned int, Bytes> cases[] = {  // length, the whole rounded destination when reversed
        {0, {}}, {1, {2, 1, kGuard, kGuard}}, {3, {4, 3, 2, 1}}, {4, {4, 3, 2, 1}},
        {5, {4, 3, 2, 1, 6, 5, kGuard, kGuard}}, {7, kSwapped8}, {9, {4, 3, 2, 1, 8, 7, 6, 5, 10, 9, kGuard, kGuard}}};
    enum { On, Forced, Off };
    for (const auto& [length, expected] : cases) {
        for (int mode : {On, Forced, Off}) {
            SCOPED_TRACE("length " + std::to_string(length) + " mode " + std::to_string(mode));
            mode == On ? HAL::SetConversionRequiredFlag() : HAL::ClearConversionRequiredFlag();
            Buffers run(length);
            unsigned char* const from = run.source.data();
            ASSERT_EQ(0, mode == Forced ? HAL::HALForceConversion(from, run.destination.data(), length)
                                        : HAL::HALConversion(from, run.destination.data(), length));
            if (mode == Off) {
                for (unsigned int i = 0; i < run.destination.size(); ++i)
                    EXPECT_EQ(i < length ? run.source[i] : kGuard, run.destination[i]) << i;
            } else {
                EXPECT_EQ(expected, run.rounded());
                EXPECT_TRUE(run.guardsIntact());
            }
        }
    }
}

// No fixture: each test runs in its own process, so this sees the state right after loading.
TEST(ByteConversionAtLoad, ReversesWords) {
    Buffers run(8);
    ASSERT_EQ(0, HAL::HALConversion(run.source.data(), run.destination.data(), 8));
    EXPECT_EQ(kSwapped8, run.rounded());
}

TEST_F(ByteConversion, SwitchFollowsTheSetters) {
    // A null model stands for SetConversionRequiredFlag.
    const std::pair<const char*, bool> steps[] = {
        {"XR-9 terminal", false}, {nullptr, true}, {"", false}, {nullptr, true}};
    for (const auto& [model, on] : steps) {
        EXPECT_EQ(0, model ? HAL::SetTerminalModel(model) : HAL::SetConversionRequiredFlag());
        Buffers run(8);
        ASSERT_EQ(0, HAL::HALConversion(run.source.data(), run.destination.data(), 8));
        EXPECT_EQ(on ? kSwapped8 : Bytes({1, 2, 3, 4, 5, 6, 7, 8}), run.rounded()) << (model ? model : "flag set");
    }
}

TEST_F(ByteConversion, NullPointersAreRefusedEvenForLengthZero) {
    for (bool on : {true, false}) {
        on ? HAL::SetConversionRequiredFlag() : HAL::ClearConversionRequiredFlag();
        Bytes buffer(8, kGuard);
        for (unsigned int length : {0u, 4u}) {
            EXPECT_EQ(-1, HAL::HALConversion(nullptr, buffer.data(), length));
            EXPECT_EQ(-1, HAL::HALConversion(buffer.data(), nullptr, length));
            EXPECT_EQ(-1, HAL::HALForceConversion(nullptr, buffer.data(), length));
            EXPECT_EQ(-1, HAL::HALForceConversion(buffer.data(), nullptr, length));
        }
        EXPECT_EQ(Bytes(8, kGuard), buffer);
    }
}

TEST(BufferSize, RoundsUpToWholeWords) {
    const std::pair<unsigned int, unsigned int> cases[] = {
        {0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 4}, {5, 8}, {7, 8}, {8, 8}, {1021, 1024}, {UINT_MAX - 7, UINT_MAX - 7},
        {UINT_MAX - 6, UINT_MAX - 3}, {UINT_MAX - 3, UINT_MAX - 3}, {UINT_MAX - 2, 0}, {UINT_MAX, 0}};
    for (const auto& [size, rounded] : cases) EXPECT_EQ(rounded, HAL::GetBufferSize(size)) << size;
}

}  // namespace

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "support/HAL.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kGuard = 0xEE;

class ByteConversion : public ::testing::Test {
protected:
    void SetUp() override {
        HAL::SetConversionRequiredFlag();
        HAL::terminalModel.clear();
    }
    void TearDown() override { HAL::SetConversionRequiredFlag(); }
};

// Source 01 02 03 ... over GetBufferSize(length) bytes and a few more; the
// destination has the same size plus guard bytes that must stay.
struct Buffers {
    Bytes source;
    Bytes destination;
    unsigned int length;
    explicit Buffers(unsigned int n) : length(n) {
        const unsigned int rounded = HAL::GetBufferSize(n);
        // Four bytes beyond the rounded buffer, so that even length 0 has storage.
        for (unsigned int i = 0; i < rounded + 4; ++i) source.push_back(static_cast<unsigned char>(i + 1));
        destination.assign(rounded + 8, kGuard);
    }
    Bytes rounded() const { return Bytes(destination.begin(), destination.end() - 8); }
    bool guardsIntact() const {
        for (auto it = destination.end() - 8; it != destination.end(); ++it)
            if (*it != kGuard) return false;
        return true;
    }
};

struct ConversionCase {
    const char* name;
    unsigned int length;
    Bytes expected;  // the whole rounded destination after the word conversion
};

const ConversionCase kConversions[] = {
    {"Zero", 0, {}},
    {"One", 1, {2, 1, kGuard, kGuard}},
    {"Three", 3, {4, 3, 2, 1}},
    {"Four", 4, {4, 3, 2, 1}},
    {"Five", 5, {4, 3, 2, 1, 6, 5, kGuard, kGuard}},
    {"Seven", 7, {4, 3, 2, 1, 8, 7, 6, 5}},
    {"Nine", 9, {4, 3, 2, 1, 8, 7, 6, 5, 10, 9, kGuard, kGuard}},
};

void PrintTo(const ConversionCase& c, std::ostream* os) {
    *os << c.name;
}

class WordConversion : public ByteConversion, public ::testing::WithParamInterface<ConversionCase> {};

// On and forced: words reversed inside the rounded buffer. Off: exactly
// length bytes copied.
TEST_P(WordConversion, ReversesWordsWhenOnOrForcedCopiesWhenOff) {
    enum { On, Forced, Off };
    for (int mode : {On, Forced, Off}) {
        if (mode != On) HAL::ClearConversionRequiredFlag();
        Buffers run(GetParam().length);
        ASSERT_EQ(0, mode == Forced ? HAL::HALForceConversion(run.source.data(), run.destination.data(), run.length)
                                    : HAL::HALConversion(run.source.data(), run.destination.data(), run.length));
        if (mode == Off) {
            for (unsigned int i = 0; i < run.destination.size(); ++i)
                EXPECT_EQ(i < run.length ? run.source[i] : kGuard, run.destination[i]) << i;
        } else {
            EXPECT_EQ(GetParam().expected, run.rounded()) << "mode " << mode;
            EXPECT_TRUE(run.guardsIntact()) << "mode " << mode;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, WordConversion, ::testing::ValuesIn(kConversions),
                         [](const ::testing::TestParamInfo<ConversionCase>& info) { return info.param.name; });

// No fixture: each test runs in its own process, so this sees the state right after loading.
TEST(ByteConversionAtLoad, ReversesWords) {
    Buffers run(8);
    ASSERT_EQ(0, HAL::HALConversion(run.source.data(), run.destination.data(), 8));
    EXPECT_EQ(Bytes({4, 3, 2, 1, 8, 7, 6, 5}), run.rounded());
}

TEST_F(ByteConversion, SwitchFollowsTheSetters) {
    const struct {
        const char* model;  // null: SetConversionRequiredFlag
        bool on;
    } steps[] = {{"XR-9 terminal", false}, {nullptr, true}, {"", false}, {nullptr, true}};
    for (const auto& s : steps) {
        EXPECT_EQ(0, s.model ? HAL::SetTerminalModel(s.model) : HAL::SetConversionRequiredFlag());
        Buffers run(8);
        ASSERT_EQ(0, HAL::HALConversion(run.source.data(), run.destination.data(), 8));
        EXPECT_EQ(s.on ? Bytes({4, 3, 2, 1, 8, 7, 6, 5}) : Bytes({1, 2, 3, 4, 5, 6, 7, 8}), run.rounded())
            << (s.model ? s.model : "flag set");
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
        {0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 4}, {5, 8}, {7, 8}, {8, 8}, {1021, 1024},
        {UINT_MAX - 7, UINT_MAX - 7}, {UINT_MAX - 6, UINT_MAX - 3}, {UINT_MAX - 3, UINT_MAX - 3}, {UINT_MAX - 2, 0}, {UINT_MAX, 0}};
    for (const auto& [size, rounded] : cases) EXPECT_EQ(rounded, HAL::GetBufferSize(size)) << size;
}

}  // namespace

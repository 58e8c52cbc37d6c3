#include <gtest/gtest.h>

#include <sstream>

#include "xr9al/Checksum.h"
#include "xr9al/Stats.h"

namespace {

TEST(ToolStats, NearestRankPercentiles) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) samples.push_back(i);
    EXPECT_DOUBLE_EQ(50, xr9tool::percentile(samples, 50));
    EXPECT_DOUBLE_EQ(99, xr9tool::percentile(samples, 99));
    EXPECT_DOUBLE_EQ(100, xr9tool::percentile(samples, 100));
    EXPECT_DOUBLE_EQ(1, xr9tool::percentile(samples, 0));
    EXPECT_DOUBLE_EQ(7, xr9tool::percentile({7}, 99));
    EXPECT_DOUBLE_EQ(0, xr9tool::percentile({}, 50));
    EXPECT_DOUBLE_EQ(3, xr9tool::percentile({1, 2, 3}, 99)) << "p99 of few samples is the largest";
}

TEST(ToolChecksum, Crc32OfKnownTextAndPieces) {
    EXPECT_EQ(0xCBF43926u, xr9tool::crc32(0, "123456789", 9));
    EXPECT_EQ(0u, xr9tool::crc32(0, "", 0));
    uint32_t pieces = xr9tool::crc32(xr9tool::crc32(0, "12345", 5), "6789", 4);
    EXPECT_EQ(0xCBF43926u, pieces) << "the sum continues across pieces";
    EXPECT_EQ(xr9tool::testData(1000, 7), xr9tool::testData(1000, 7));
    EXPECT_NE(xr9tool::testData(1000, 7), xr9tool::testData(1000, 8));
}

TEST(ToolStats, RatesPickTheirUnit) {
    EXPECT_EQ("512.0 B/s", xr9tool::formatRate(1024, 2.0));
    EXPECT_EQ("2.0 KiB/s", xr9tool::formatRate(2048, 1.0));
    EXPECT_EQ("3.0 MiB/s", xr9tool::formatRate(3u << 20, 1.0));
    EXPECT_EQ("-", xr9tool::formatRate(100, 0));
}

TEST(ToolStats, SummaryHasARowPerMediumAndChannelAndNamesAFailedCheck) {
    xr9tool::MediumSummary eth, can;
    eth.medium = "Ethernet (server)";
    eth.carry("stream", "tcp 5001");
    eth.count("command", true, 10);
    eth.count("stream", true, 1048566);
    eth.count("shm", true, 0);
    for (int i = 0; i < 4; ++i) eth.count("command", false, 262144);
    eth.seconds = 1;
    eth.latenciesMs = {1, 2, 3, 4};
    eth.integrityChecked = eth.integrityOk = true;
    can.medium = "CAN";
    can.integrityChecked = true;
    can.integrityOk = false;
    can.note = "checksum";
    std::vector<std::string> lines;
    std::istringstream table(xr9tool::renderSummary({eth, can}));
    for (std::string line; std::getline(table, line);) lines.push_back(line);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(0u, lines[0].find("medium"));
    EXPECT_EQ(std::string::npos, lines[1].find_first_not_of('-'));
    EXPECT_NE(std::string::npos, lines[2].find("2.0 MiB/s"));
    EXPECT_NE(std::string::npos, lines[2].find("2.000"));
    EXPECT_NE(std::string::npos, lines[2].find("4.000"));
    EXPECT_NE(std::string::npos, lines[3].find("FAILED (checksum)"));
    EXPECT_EQ(lines[0].find("msgs to") + 7, lines[2].find(" 3 ") + 2) << "numbers right-aligned under their heading";

    lines.clear();
    std::istringstream channels(xr9tool::renderChannels({eth, can}));
    for (std::string line; std::getline(channels, line);) lines.push_back(line);
    ASSERT_EQ(5u, lines.size()) << "a row per channel counted, in that order; none for a medium without any";
    EXPECT_EQ("Ethernet (server)  stream   tcp 5001          1          0   1048566           0", lines[2]);
    EXPECT_EQ("Ethernet (server)  command                    1          4        10     1048576", lines[3]);
    EXPECT_EQ("Ethernet (server)  shm                        1          0         0           0", lines[4]);
}

}  // namespace

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "xr9al/Progress.h"

namespace {

std::string drawn(bool interactive, const std::vector<uint64_t>& steps, uint64_t total) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    {
        xr9tool::Progress p("upload", total, out, interactive);
        for (uint64_t s : steps) p.update(s);
        p.finish();
    }
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

TEST(ToolProgress, BarFillsWithThePercentage) {
    xr9tool::Progress p("upload", 200, stdout, true);
    EXPECT_EQ("upload [" + std::string(30, '.') + "] 0%", p.bar(0));
    EXPECT_EQ("upload [" + std::string(15, '#') + std::string(15, '.') + "] 50%", p.bar(100));
    EXPECT_EQ("upload [" + std::string(30, '#') + "] 100%", p.bar(500)) << "done beyond total is clipped";
}

TEST(ToolProgress, PlainOutputPrintsQuartersOnce) {
    std::string text = drawn(false, {0, 10, 30, 50, 51, 99}, 100);
    EXPECT_EQ("upload: 0% (0 of 100 bytes)\nupload: 25% (30 of 100 bytes)\nupload: 50% (50 of 100 bytes)\n"
              "upload: 75% (99 of 100 bytes)\nupload: 100% (100 of 100 bytes)\n",
              text);
}

TEST(ToolProgress, TerminalOutputRedrawsInPlaceAndEndsTheLine) {
    std::string text = drawn(true, {0, 0, 50, 100}, 100);
    EXPECT_EQ(0u, text.find('\r'));
    EXPECT_EQ(3, std::count(text.begin(), text.end(), '\r')) << "a repeated percentage is not redrawn";
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

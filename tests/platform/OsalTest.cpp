#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/TestSupport.h"
#include "osal.h"

namespace {

using Clock = std::chrono::steady_clock;

// Queue numbers are process-wide; each test takes its own.
uint32_t freshQueue(uint32_t blocks, uint32_t depth) {
    static uint32_t next = 1000;
    uint32_t id = next++;
    EXPECT_EQ(OS_SUCCESS, osQueueCreate(&id, "test queue", blocks, depth));
    return id;
}

// The next item of q as text, or "<status>" when there is none within ms.
std::string get(uint32_t q, uint32_t ms = 0) {
    std::vector<char> buf(8 * OS_QUEUE_BLOCK_SIZE, '#');
    uint32_t size = 0;
    const int32_t status = osQueueGetTimed(q, buf.data(), &size, ms);
    if (status != OS_SUCCESS) return "<" + std::to_string(status) + ">";
    for (size_t i = size; i < buf.size(); ++i) EXPECT_EQ('#', buf[i]) << "written past the item at " << i;
    return std::string(buf.data(), size);
}

TEST(OsalQueue, ItemsUpToBlocksTimesBlockSizeLeaveInArrivalOrder) {
    uint32_t q = freshQueue(4, 4);
    const std::string big(4 * OS_QUEUE_BLOCK_SIZE, 'x');
    ASSERT_EQ(OS_SUCCESS, osQueuePut(q, "abc", 3));
    ASSERT_EQ(OS_SUCCESS, osQueuePut(q, "", 0));
    ASSERT_EQ(OS_SUCCESS, osQueuePut(q, big.data(), 1024));
    EXPECT_EQ(OS_QUEUE_INVALID_SIZE, osQueuePut(q, big.data(), 1025));
    EXPECT_EQ("abc", get(q));
    EXPECT_EQ("", get(q));
    EXPECT_EQ(big, get(q));
    EXPECT_EQ("<" + std::to_string(OS_QUEUE_TIMEOUT) + ">", get(q)) << "the oversize item was queued";
}

TEST(OsalQueue, UnknownNumbersAndBadArgumentsAreRefused) {
    char buf[256];
    uint32_t size = 0;
    EXPECT_EQ(OS_QUEUE_ID_ERROR, osQueuePut(987654, "x", 1));
    EXPECT_EQ(OS_QUEUE_ID_ERROR, osQueueGetTimed(987654, buf, &size, 0));
    uint32_t q = 1999;
    EXPECT_EQ(OS_QUEUE_INVALID_SIZE, osQueueCreate(&q, "zero", 0, 4));
    EXPECT_EQ(OS_QUEUE_INVALID_SIZE, osQueueCreate(&q, "zero", 1, 0));
    EXPECT_EQ(OS_QUEUE_ID_ERROR, osQueuePut(q, "x", 1)) << "a refused create must not leave a queue";
    uint32_t ok = freshQueue(1, 4);
    ASSERT_EQ(OS_SUCCESS, osQueuePut(ok, "x", 1));
    EXPECT_EQ(OS_INVALID_VALUE, osQueueGet(ok, nullptr, &size));
    EXPECT_EQ(OS_INVALID_VALUE, osQueueGet(ok, buf, nullptr));
    EXPECT_EQ("x", get(ok)) << "a refused get must leave the item queued";
}

TEST(OsalQueue, TimedGetExpiresUntouchedOrIsWokenByAPut) {
    uint32_t q = freshQueue(1, 4);
    char buf[4] = {'a', 'b', 'c', 'd'};
    uint32_t size = 77;
    const auto start = Clock::now();
    EXPECT_EQ(OS_QUEUE_TIMEOUT, osQueueGetTimed(q, buf, &size, 50));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(77u, size);
    EXPECT_EQ(0, std::memcmp(buf, "abcd", 4));
    std::thread producer([q] {
        osTaskDelay(20);
        osQueuePut(q, "late", 4);
    });
    EXPECT_EQ("late", get(q, 5000));
    producer.join();
}

TEST(OsalQueue, EveryItemGoesToExactlyOneOfSeveralWaiters) {
    const int kItems = 2000;
    uint32_t q = freshQueue(1, kItems + 8);  // room for the stop items too
    std::vector<std::vector<int>> got(4);
    std::vector<std::thread> takers;
    for (auto& mine : got) {
        takers.emplace_back([q, &mine] {
            int value;
            uint32_t size;
            char buf[256];
            while (osQueueGetTimed(q, buf, &size, 2000) == OS_SUCCESS) {
                std::memcpy(&value, buf, sizeof value);
                if (value < 0) return;
                mine.push_back(value);
            }
        });
    }
    int refused = 0;  // no ASSERT while the takers run: they must be joined first
    for (int i = 0; i < kItems; ++i) refused += osQueuePut(q, &i, sizeof i) != OS_SUCCESS;
    for (int stop = -1; stop >= -4; --stop) refused += osQueuePut(q, &stop, sizeof stop) != OS_SUCCESS;
    for (auto& t : takers) t.join();
    ASSERT_EQ(0, refused);
    std::multiset<int> all;
    for (auto& mine : got) {
        EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end())) << "one taker saw items out of order";
        all.insert(mine.begin(), mine.end());
    }
    ASSERT_EQ(static_cast<size_t>(kItems), all.size());
    int expected = 0;
    for (int v : all) EXPECT_EQ(expected++, v);
}

TEST(OsalQueue, CreatingAgainKeepsQueuedItemsNeverShrinksAndAFullQueueFailsAtOnce) {
    uint32_t q = freshQueue(4, 2);
    const std::string big(1000, 'b');
    ASSERT_EQ(OS_SUCCESS, osQueuePut(q, big.data(), 1000));
    uint32_t again = q;
    ASSERT_EQ(OS_SUCCESS, osQueueCreate(&again, "again", 1, 3));
    EXPECT_EQ(q, again);
    EXPECT_EQ(OS_SUCCESS, osQueuePut(q, big.data(), 1000)) << "largest item must not shrink";
    EXPECT_EQ(OS_SUCCESS, osQueuePut(q, "c", 1)) << "capacity grows to the larger depth";
    const auto start = Clock::now();
    EXPECT_EQ(OS_QUEUE_FULL, osQueuePut(q, "d", 1));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(big, get(q));
    ASSERT_EQ(OS_SUCCESS, osQueuePut(q, "e", 1)) << "room again after a get";
    EXPECT_EQ(big, get(q));
    EXPECT_EQ("c", get(q));
    EXPECT_EQ("e", get(q));
}

TEST(OsalMutex, NumbersAreWrittenByOsalAndTheMutexSerialisesThreads) {
    uint32_t m = 0, other = 0;
    ASSERT_EQ(OS_SUCCESS, osMutSemCreate(&m, "counter", 0));
    ASSERT_EQ(OS_SUCCESS, osMutSemCreate(&other, "other", 0));
    EXPECT_NE(0u, m);
    EXPECT_NE(m, other);
    EXPECT_EQ(OS_INVALID_ID, osMutSemTake(0));
    EXPECT_EQ(OS_INVALID_ID, osMutSemGive(0));
    EXPECT_EQ(OS_INVALID_ID, osMutSemTake(0xFFFFFFF0u));
    uint32_t again = m;
    EXPECT_EQ(OS_SUCCESS, osMutSemCreate(&again, "counter", 0));
    EXPECT_EQ(m, again) << "a live mutex is kept when created again";
    long counter = 0;  // deliberately not atomic: only the mutex protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                osMutSemTake(m);
                counter = counter + 1;
                osMutSemGive(m);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(80000, counter);
}

TEST(OsalMutex, GiveWithoutHoldingAndSecondTakeFailInsteadOfHanging) {
#ifdef XR9AL_TSAN
    GTEST_SKIP() << "the thread sanitizer reports these misuses itself, which is what this test provokes";
#endif
    uint32_t m = 0;
    ASSERT_EQ(OS_SUCCESS, osMutSemCreate(&m, "m", 0));
    EXPECT_EQ(OS_SEM_FAILURE, osMutSemGive(m));
    ASSERT_EQ(OS_SUCCESS, osMutSemTake(m));
    EXPECT_EQ(OS_SEM_FAILURE, osMutSemTake(m));
    int fromOther = 1;
    std::thread([&] { fromOther = osMutSemGive(m); }).join();
    EXPECT_EQ(OS_SEM_FAILURE, fromOther);
    EXPECT_EQ(OS_SUCCESS, osMutSemGive(m));
}

std::atomic<int> gRuns{0};
std::atomic<bool> gRelease{false};
std::atomic<int> gRegister{1};
char gThreadName[32];

void countingEntry() {
    gRegister = osTaskRegister();
    pthread_getname_np(pthread_self(), gThreadName, sizeof gThreadName);
    ++gRuns;
}

void waitingEntry() {
    while (!gRelease) osTaskDelay(1);
    ++gRuns;
}

TEST(OsalTask, RunsTheEntryNamedAndJoinWaitsForIt) {
    gRuns = 0;
    uint32_t id = 16;
    ASSERT_EQ(OS_SUCCESS, osTaskCreate(&id, "CAN_Rx_Thread", countingEntry, 20480, 0, 128, 0));
    ASSERT_EQ(OS_SUCCESS, osTaskJoin(16));
    EXPECT_EQ(1, gRuns.load());
    EXPECT_EQ(OS_SUCCESS, gRegister.load());
    EXPECT_STREQ("CAN_Rx_Thread", gThreadName);
    EXPECT_EQ(OS_INVALID_ID, osTaskJoin(16)) << "a joined number is free";
    EXPECT_EQ(OS_INVALID_ID, osTaskRegister()) << "outside a task";
    EXPECT_EQ(OS_INVALID_ID, osTaskJoin(4242));
    EXPECT_EQ(OS_INVALID_VALUE, osTaskCreate(&id, "none", nullptr, 0, 0, 0, 0));
    const auto start = Clock::now();
    EXPECT_EQ(OS_SUCCESS, osTaskDelay(30));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

TEST(OsalTask, NumberOfARunningTaskIsRefusedAndOfAFinishedOneReaped) {
    gRuns = 0;
    uint32_t id = 40;
    ASSERT_EQ(OS_SUCCESS, osTaskCreate(&id, "waiter", waitingEntry, 0, 0, 0, 0));
    EXPECT_EQ(OS_NAME_ALREADY_EXISTS, osTaskCreate(&id, "second", countingEntry, 0, 0, 0, 0));
    gRelease = true;
    ASSERT_TRUE(xr9test::waitFor([] { return gRuns.load() == 1; })) << "the refused task must not have run";
    osTaskDelay(5);
    ASSERT_EQ(OS_SUCCESS, osTaskCreate(&id, "third", countingEntry, 0, 0, 0, 0)) << "finished, never joined";
    ASSERT_EQ(OS_SUCCESS, osTaskJoin(40));
    EXPECT_EQ(2, gRuns.load());
}

struct CommandCase {
    const char* command;
    uint32_t limit;
    int32_t expected;
};

class OsalCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(OsalCommand, ReportsHowTheCommandEnded) {
    EXPECT_EQ(GetParam().expected, osRunCommand(GetParam().command, GetParam().limit));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, OsalCommand,
                         ::testing::Values(CommandCase{"true", 5, OS_SUCCESS}, CommandCase{"sync", 5, OS_SUCCESS},
                                           CommandCase{"exit 3", 5, 3}, CommandCase{"false", 0, 1},
                                           CommandCase{"sleep 10", 1, OS_ERROR_TIMEOUT},
                                           CommandCase{nullptr, 5, OS_INVALID_VALUE}));

TEST(OsalFile, ExistenceAndRemoval) {
    xr9test::TempDir dir;
    std::string path = dir.file("f");
    EXPECT_EQ(OS_NO_SUCH_FILE, osIsFileExists(path.c_str()));
    EXPECT_EQ(OS_NO_SUCH_FILE, osIsFileExists(nullptr));
    xr9test::writeFile(path, "x");
    EXPECT_EQ(OS_SUCCESS, osIsFileExists(path.c_str()));
    EXPECT_EQ(OS_SUCCESS, osIsFileExists(dir.path().c_str()));
    EXPECT_EQ(OS_SUCCESS, osFileRemove(path.c_str()));
    EXPECT_EQ(OS_NO_SUCH_FILE, osFileRemove(path.c_str()));
    EXPECT_EQ(OS_INVALID_VALUE, osFileRemove(dir.path().c_str())) << "a directory is not removed";
    EXPECT_EQ(OS_INVALID_VALUE, osFileRemove(nullptr));
}

}  // namespace

// Traced locks and durations: a section past its limit is reported with the lock's name, its
// label and its place; one within a generous limit is not.
#include <gtest/gtest.h>

#include <chrono>
#include <cwchar>
#include <latch>
#include <mutex>
#include <thread>

#include "diag/DbgDuration.h"
#include "diag/DbgLock.h"
#include "diag/IEnvironment.h"
#include "support/log_capture.h"

namespace {

using test_support::LogCapture;
using namespace std::chrono_literals;

class TracedLockTest : public ::testing::Test {
protected:
    TracedLockTest() : capture(Environment()->DebugLog()) {}

    // Whatever was logged before the marker has been seen once the marker is.
    void Settle(const wchar_t* marker) {
        capture.Log()->LogRecord(marker);
        ASSERT_TRUE(capture.WaitForMatching(marker));
    }

    LogCapture capture;
};

TEST_F(TracedLockTest, SectionPastItsLimitIsReportedWithNameLabelAndPlace) {
    DebugMutex<std::mutex> mtx(L"Test::HeldTooLong");
    {
        LOCK_GUARD(guard, mtx, L"Hold", 5);
        std::this_thread::sleep_for(8ms);
    }
    {
        LockGuard<DebugMutex<std::mutex>> guard(mtx, L"NoPlace", 5, "", "", 0);
        std::this_thread::sleep_for(8ms);
    }
    {
        LockGuard<DebugMutex<std::mutex>> guard(mtx, L"Quick", 60000, "f", "file", 1);
    }
    Settle(L"lock-marker");
    const auto held = capture.Matching(L"LOCK: Test::HeldTooLong Hold: Total=");
    ASSERT_EQ(held.size(), 1u);
    EXPECT_NE(held[0].find(L" Owning="), std::wstring::npos);
    EXPECT_NE(held[0].find(L" Method=TestBody File="), std::wstring::npos);
    EXPECT_NE(held[0].find(L"dbglock_test.cpp Line="), std::wstring::npos);

    const auto noPlace = capture.Matching(L"LOCK: Test::HeldTooLong NoPlace: ");
    ASSERT_EQ(noPlace.size(), 1u);
    EXPECT_EQ(noPlace[0].find(L"Method="), std::wstring::npos) << "without a place the line ends after Release";
    EXPECT_TRUE(capture.Matching(L"Quick").empty());
}

TEST_F(TracedLockTest, WaitingIsToldApartFromOwning) {
    DebugMutex<std::recursive_mutex> mtx(L"Test::Contended");
    std::unique_lock<DebugMutex<std::recursive_mutex>> holder(mtx);
    std::latch aboutToLock(1);
    std::thread waiter([&] {
        aboutToLock.count_down();
        LOCK_GUARD(guard, mtx, L"Waiter", 5);
    });
    aboutToLock.wait();
    // Long enough that the waiter reaches the lock well within it even on a busy machine.
    std::this_thread::sleep_for(300ms);
    holder.unlock();
    waiter.join();
    Settle(L"contended-marker");
    const auto lines = capture.Matching(L"LOCK: Test::Contended Waiter: ");
    ASSERT_EQ(lines.size(), 1u);
    // Nearly all of the section was waiting: the holder kept the lock for 300 ms after the waiter
    // set out to take it, and the waiter released it at once.
    const auto number = [&](const wchar_t* label) {
        const size_t at = lines[0].find(label);
        EXPECT_NE(at, std::wstring::npos) << label;
        return at == std::wstring::npos ? -1 : std::stoi(lines[0].substr(at + std::wcslen(label)));
    };
    EXPECT_GE(number(L"Waiting="), 15);
    EXPECT_GT(number(L"Waiting="), number(L"Owning="));
}

TEST_F(TracedLockTest, LongBlocksAreReportedAsDurations) {
    {
        DbgDuration measure(L"duration-long-block");
        std::this_thread::sleep_for(12ms);
    }
    Settle(L"duration-marker");
    const auto lines = capture.Matching(L"ms : duration-long-block");
    ASSERT_EQ(lines.size(), 1u);
    const size_t at = lines[0].find(L"DURATION: ");
    ASSERT_NE(at, std::wstring::npos);
    EXPECT_GE(std::stoi(lines[0].substr(at + 10)), 12);
    EXPECT_EQ(DbgDuration::MulDiv(5, 1000000000u, 1000), 5000000u);
}

} // namespace

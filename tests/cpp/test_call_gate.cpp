// The binding's per-booster gate and per-call thread count, without the interpreter.
#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "module/call_gate.hpp"
#include "module/thread_count.hpp"

namespace vorlent::binding {
namespace {

using Entry = CallGate::Entry;

TEST(CallGate, RefusesTheThreadInsideAndLetsOthersWait) {
    CallGate gate;
    ASSERT_EQ(gate.try_enter(), Entry::kEntered);
    // The thread inside coming back (a handler in its own call) is refused, not blocked.
    EXPECT_EQ(gate.try_enter(), Entry::kBusyHere);

    std::atomic<bool> inside{false};
    std::atomic<int> waits{0};
    Entry other_first = Entry::kEntered;
    std::thread other([&] {
        other_first = gate.try_enter();
        gate.enter_waiting([&] { ++waits; }, std::chrono::milliseconds(5));
        inside = true;
        // Inside now: this thread is refused, the first one would have to wait.
        EXPECT_EQ(gate.try_enter(), Entry::kBusyHere);
        gate.leave();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(inside) << "the other thread entered while this one was inside";
    gate.leave();
    other.join();
    EXPECT_EQ(other_first, Entry::kBusyElsewhere);
    EXPECT_TRUE(inside);
    EXPECT_GE(waits.load(), 1) << "the wait hook never ran during a long wait";
    EXPECT_EQ(gate.try_enter(), Entry::kEntered);
    gate.leave();
}

TEST(CallGate, AHookThatThrowsAbandonsTheWaitWithoutEntering) {
    CallGate gate;
    ASSERT_EQ(gate.try_enter(), Entry::kEntered);
    std::thread other([&] {
        EXPECT_THROW(gate.enter_waiting([] { throw std::runtime_error("interrupted"); },
                                        std::chrono::milliseconds(1)),
                     std::runtime_error);
        EXPECT_EQ(gate.try_enter(), Entry::kBusyElsewhere);
    });
    other.join();
    gate.leave();
}

TEST(ThreadCountScope, SetsTheCallingThreadsCountAndRestoresIt) {
    omp_set_num_threads(2);
    {
        ThreadCountScope seven(7);
        EXPECT_EQ(omp_get_max_threads(), 7);
        int seen_elsewhere = 0;
        std::thread other([&] { seen_elsewhere = omp_get_max_threads(); });
        other.join();
        // Another thread keeps the process default.
        EXPECT_NE(seen_elsewhere, 7);
        {
            ThreadCountScope unchanged(0);
            EXPECT_EQ(omp_get_max_threads(), 7);
        }
        int team = 0;
#pragma omp parallel
        {
#pragma omp single
            team = omp_get_num_threads();
        }
        EXPECT_EQ(team, 7);
    }
    EXPECT_EQ(omp_get_max_threads(), 2);
}

}  // namespace
}  // namespace vorlent::binding

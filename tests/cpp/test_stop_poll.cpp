// A stop check reaches long computations between blocks of rows: it runs only on the
// calling thread, an exception from it stops every thread and reaches the caller, the
// rows past the stop are never written, and a check that does not throw changes nothing.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "booster_fixtures.hpp"
#include "boosting/train.hpp"
#include "common/parallel.hpp"
#include "common/stop_poll.hpp"
#include "io/model_bytes.hpp"
#include "model/explain.hpp"
#include "model/interaction.hpp"
#include "model/predict.hpp"
#include "model/shapley.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct Stopped {};

// A check that counts its runs, notes whether any ran off the calling thread, and throws
// Stopped at run `throw_at` (0: never).
struct CountingCheck {
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<int64_t> runs{0};
    std::atomic<bool> off_caller{false};
    int64_t throw_at = 0;

    StopCheck check() {
        return [this] {
            if (std::this_thread::get_id() != caller) off_caller = true;
            if (++runs == throw_at) throw Stopped{};
        };
    }
};

// Every poll runs the check; two threads. Both are restored after the test.
class StopPolls : public ::testing::Test {
protected:
    void SetUp() override {
        previous_period_ = g_stop_period;
        g_stop_period = std::chrono::steady_clock::duration::zero();
        previous_threads_ = omp_get_max_threads();
        omp_set_num_threads(2);
    }
    void TearDown() override {
        g_stop_period = previous_period_;
        omp_set_num_threads(previous_threads_);
    }

private:
    std::chrono::steady_clock::duration previous_period_{};
    int previous_threads_ = 1;
};

// Spins until stop.stopped(), for at most 30 s; false when the stop never came.
bool spin_until_stopped(StopPoll& stop) {
    const auto start = std::chrono::steady_clock::now();
    while (!stop.stopped()) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(30)) return false;
    }
    return true;
}

TEST_F(StopPolls, TheCallingThreadChecksUntilTheOtherThreadsStop) {
    // The calling thread's rows end at once; the other thread's rows end only when stopped,
    // so the stop must come from checks run after the calling thread's own rows.
    CountingCheck counting;
    counting.throw_at = 3;
    const StopCheck check = counting.check();
    StopPoll stop(check);
    std::atomic<bool> worker_stopped{false};
    EXPECT_THROW(parallel_blocks(2, true, stop,
                                 [&](int64_t begin, int64_t) {
                                     if (begin == 1) worker_stopped = spin_until_stopped(stop);
                                 }),
                 Stopped);
    EXPECT_TRUE(worker_stopped);
    EXPECT_EQ(counting.runs, 3);
    EXPECT_FALSE(counting.off_caller);
}

TEST_F(StopPolls, AnotherThreadsExceptionStopsTheCallingThread) {
    const StopCheck never;
    StopPoll stop(never);
    std::atomic<bool> caller_stopped{false};
    EXPECT_THROW(parallel_blocks(2, true, stop,
                                 [&](int64_t begin, int64_t) {
                                     if (begin == 1) throw Stopped{};
                                     caller_stopped = spin_until_stopped(stop);
                                 }),
                 Stopped);
    EXPECT_TRUE(caller_stopped);
}

TEST_F(StopPolls, ADynamicScheduleBeginsNoIndexAfterTheStop) {
    CountingCheck counting;
    counting.throw_at = 3;
    const StopCheck check = counting.check();
    StopPoll stop(check);
    std::vector<int> ran(50, 0);
    EXPECT_THROW(parallel_for_dynamic(50, 1, false, stop, [&](int64_t i) { ran[i] = 1; }), Stopped);
    EXPECT_EQ(std::vector<int>(ran.begin(), ran.begin() + 3), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(std::count(ran.begin(), ran.end(), 1), 2);
}

// A model of single-column splits with the covers of its training rows, and rows enough
// for every kernel to run in parallel.
struct Case {
    Booster b{12, 0.3, 4, 64, 1.0, 10, 1.0, 1.0, 7, kBinary, 0, 0.9, 0, {}, {}, 0, kAxisOnly};
    std::vector<double> x;
    int32_t rows = 3000, cols = 5;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
};

Case make_case() {
    Case c;
    std::mt19937 gen(5);
    c.x = random_matrix(gen, c.rows, c.cols, 0.05);
    std::vector<double> y;
    for (int32_t r = 0; r < c.rows; ++r) {
        const double* row = c.x.data() + static_cast<int64_t>(r) * c.cols;
        y.push_back((std::isnan(row[0]) ? 0.0 : row[0]) + 0.5 * row[1] * row[2] > 0.1 ? 1.0 : 0.0);
    }
    fit(c.b, c.view(), VectorArg{y.data(), c.rows}, VectorArg{}, MatrixView{}, VectorArg{}, 0, 0.0);
    return c;
}

struct Kernel {
    std::string name;
    int64_t row_values;  // values per row of the output
    std::function<void(const Case&, double*, const StopCheck&)> run;
};

std::vector<Kernel> kernels(const Case& c) {
    const int64_t width = c.cols + 1;
    return {
        {"predict_raw", 1,
         [](const Case& k, double* out, const StopCheck& stop) {
             predict_raw(k.b.model, k.view(), out, kAllTrees, stop);
         }},
        {"predict_proba", 2,
         [](const Case& k, double* out, const StopCheck& stop) {
             predict_proba(k.b.model, k.view(), out, kAllTrees, stop);
         }},
        {"explain", c.cols,
         [](const Case& k, double* out, const StopCheck& stop) {
             explain(k.b.model, k.view(), out, kAllTrees, stop);
         }},
        {"shap_values", width,
         [](const Case& k, double* out, const StopCheck& stop) {
             shap_values(k.b.model, k.b.model.node_covers, k.view(), out, kAllTrees, stop);
         }},
        {"interaction_values", width * width,
         [](const Case& k, double* out, const StopCheck& stop) {
             interaction_values(k.b.model, k.b.model.node_covers, k.view(), out, kAllTrees, stop);
         }},
    };
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 8) == 0;
}

TEST_F(StopPolls, KernelsStopAtTheCheckAndAreUnchangedByOneThatDoesNotThrow) {
    const Case c = make_case();
    const std::string bytes = serialize_model(c.b.model);
    for (const Kernel& k : kernels(c)) {
        SCOPED_TRACE(k.name);
        const size_t size = static_cast<size_t>(c.rows * k.row_values);
        omp_set_num_threads(1);
        std::vector<double> reference(size);
        k.run(c, reference.data(), StopCheck{});

        // A check that never throws: the same bits on one and two threads, and runs only
        // on the calling thread.
        int64_t serial_runs = 0;
        for (const int threads : {1, 2}) {
            omp_set_num_threads(threads);
            CountingCheck counting;
            std::vector<double> out(size);
            k.run(c, out.data(), counting.check());
            EXPECT_TRUE(same_bits(out, reference)) << threads << " threads";
            EXPECT_FALSE(counting.off_caller);
            if (threads == 1) serial_runs = counting.runs;
        }
        ASSERT_GE(serial_runs, 4);

        // Stopped halfway through on one thread: no further run, and the last row unwritten.
        omp_set_num_threads(1);
        const double sentinel = -12345.0;
        CountingCheck halfway;
        halfway.throw_at = serial_runs / 2;
        std::vector<double> out(size, sentinel);
        EXPECT_THROW(k.run(c, out.data(), halfway.check()), Stopped);
        EXPECT_EQ(halfway.runs, serial_runs / 2);
        EXPECT_EQ(std::vector<double>(out.end() - k.row_values, out.end()),
                  std::vector<double>(static_cast<size_t>(k.row_values), sentinel));

        // And on two threads, where the other thread must stop too.
        omp_set_num_threads(2);
        CountingCheck two;
        two.throw_at = 2;
        EXPECT_THROW(k.run(c, out.data(), two.check()), Stopped);
        EXPECT_FALSE(two.off_caller);
    }
    EXPECT_EQ(serialize_model(c.b.model), bytes);
}

}  // namespace

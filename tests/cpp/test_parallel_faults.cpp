// Exceptions thrown inside parallel regions, on the calling thread or a worker, reach the
// caller as the same exception, and every public operation leaves the booster usable.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "booster_fixtures.hpp"
#include "boosting/train.hpp"
#include "common/parallel.hpp"
#include "io/model_bytes.hpp"
#include "model/explain.hpp"
#include "model/predict.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

enum class Fault { kBadAlloc, kRuntimeError };

// What the installed hook does: count every region entry, and throw once, at the first
// entry numbered `throw_at` or later that `worker_only` allows.
struct FaultPlan {
    std::atomic<int64_t> entries{0};
    std::atomic<bool> fired{false};
    int64_t throw_at = 0;  // 0: never throw
    bool worker_only = false;
    Fault fault = Fault::kBadAlloc;
};

FaultPlan g_plan;

void planned_fault() {
    const int64_t entry = ++g_plan.entries;
    if (g_plan.throw_at == 0 || entry < g_plan.throw_at) return;
    if (g_plan.worker_only && omp_get_thread_num() == 0) return;
    if (g_plan.fired.exchange(true)) return;
    if (g_plan.fault == Fault::kBadAlloc) throw std::bad_alloc();
    throw std::runtime_error("injected fault");
}

// Installs the hook and two threads for the lifetime of a test; restores both after.
class ParallelFaults : public ::testing::Test {
protected:
    void SetUp() override {
        previous_threads_ = omp_get_max_threads();
        omp_set_num_threads(2);
        previous_hook_ = g_parallel_fault_hook;
        g_parallel_fault_hook = &planned_fault;
        arm(0);
    }
    void TearDown() override {
        g_parallel_fault_hook = previous_hook_;
        omp_set_num_threads(previous_threads_);
    }

    static void arm(int64_t throw_at, Fault fault = Fault::kBadAlloc, bool worker_only = false) {
        g_plan.entries = 0;
        g_plan.fired = false;
        g_plan.throw_at = throw_at;
        g_plan.worker_only = worker_only;
        g_plan.fault = fault;
    }

private:
    int previous_threads_ = 1;
    void (*previous_hook_)() = nullptr;
};

// Calls f and reports which of the two injected exceptions arrived on this thread.
template <class F>
std::string caught(F&& f) {
    try {
        f();
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    } catch (const std::runtime_error& e) {
        return std::string("runtime_error: ") + e.what();
    }
    return "nothing";
}

std::string expected(Fault fault) {
    return fault == Fault::kBadAlloc ? "bad_alloc" : "runtime_error: injected fault";
}

// More than 8000 rows and 8 columns (28 pair candidates), with missing values and a
// categorical column, so that training enters every kind of region in parallel.
struct Data {
    std::vector<double> x, y;
    int32_t rows = 8400, cols = 8;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
    VectorArg target() const { return VectorArg{y.data(), rows}; }
};

Data make_data(int32_t objective) {
    std::mt19937 gen(17);
    Data d;
    d.x = random_matrix(gen, d.rows, d.cols, 0.03);
    std::uniform_int_distribution<int> code(0, 4);
    for (int32_t r = 0; r < d.rows; ++r) {
        double* row = d.x.data() + static_cast<int64_t>(r) * d.cols;
        row[d.cols - 1] = code(gen);
        const double a = std::isnan(row[0]) ? 0.0 : row[0];
        const double b = std::isnan(row[1]) ? 0.0 : row[1];
        const double signal = a + b + 0.3 * row[d.cols - 1];
        if (objective == kBinary) d.y.push_back(signal > 0.6 ? 1.0 : 0.0);
        if (objective == kRegression) d.y.push_back(signal);
        if (objective == kMulticlass) d.y.push_back(signal < 0.0 ? 0.0 : signal < 1.0 ? 1.0 : 2.0);
    }
    return d;
}

Booster small_booster(int32_t objective, int32_t max_lineage) {
    std::vector<int32_t> categorical(8, 0);
    categorical[7] = 1;
    return Booster(2, 0.3, 3, 32, 1.0, 10, 0.8, 0.9, 5, objective, 0, 0.9, 0, {}, categorical,
                   max_lineage, 0);
}

void fit_plain(Booster& b, const Data& d) {
    fit(b, d.view(), d.target(), VectorArg{}, MatrixView{}, VectorArg{}, 0, 0.0);
}

std::vector<double> scores(const Booster& b, const Data& d) {
    std::vector<double> out(static_cast<size_t>(d.rows) * b.model.n_outputs);
    predict_raw(b.model, d.view(), out.data());
    return out;
}

// The booster answers every read, its bytes load back into the same predictions, and a
// new fit gives exactly the model a fresh booster trains.
void expect_usable(Booster& b, const Data& d, const std::string& reference) {
    const std::vector<double> before = scores(b, d);
    for (double v : before) ASSERT_FALSE(std::isnan(v));
    std::vector<double> contributions(static_cast<size_t>(d.rows) * d.cols);
    explain(b.model, d.view(), contributions.data());
    const std::string bytes = serialize_model(b.model);
    Booster loaded = small_booster(b.model.objective, 0);
    loaded.load_model(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(scores(loaded, d), before);
    fit_plain(b, d);
    EXPECT_EQ(serialize_model(b.model), reference);
}

struct Setting {
    int32_t objective;
    int32_t max_lineage;
};

TEST_F(ParallelFaults, HelpersRethrowOnTheCallingThread) {
    for (const Fault fault : {Fault::kBadAlloc, Fault::kRuntimeError}) {
        for (const bool parallel : {false, true}) {
            // From the second thread's block, through the hook and through the body.
            arm(1, fault, parallel);
            EXPECT_EQ(caught([&] { parallel_blocks(100, parallel, [](int64_t, int64_t) {}); }),
                      expected(fault));
            arm(0);
            std::vector<int> seen(100, 0);
            const auto throwing_body = [&](int64_t i) {
                seen[i] = 1;
                if (i == 77) {
                    if (fault == Fault::kBadAlloc) throw std::bad_alloc();
                    throw std::runtime_error("injected fault");
                }
            };
            EXPECT_EQ(caught([&] { parallel_for(100, parallel, throwing_body); }), expected(fault));
            EXPECT_EQ(caught([&] { parallel_for_dynamic(100, 3, parallel, throwing_body); }),
                      expected(fault));
            arm(5, fault, false);
            EXPECT_EQ(caught([&] { parallel_for_dynamic(100, 3, parallel, [](int64_t) {}); }),
                      expected(fault));
        }
        // A dynamic schedule may hand every index to one thread; with two indices of one
        // chunk each and the first thread held until the second arrives, the second thread
        // surely takes one, and it throws.
        std::atomic<bool> arrived{false};
        EXPECT_EQ(caught([&] {
                      parallel_for_dynamic(2, 1, true, [&](int64_t) {
                          if (omp_get_thread_num() != 0) {
                              arrived = true;
                              if (fault == Fault::kBadAlloc) throw std::bad_alloc();
                              throw std::runtime_error("injected fault");
                          }
                          const auto start = std::chrono::steady_clock::now();
                          while (!arrived && std::chrono::steady_clock::now() - start <
                                                 std::chrono::seconds(30)) {
                          }
                      });
                  }),
                  expected(fault));
        EXPECT_TRUE(arrived);
    }
    // After all that, the helpers still run every index once.
    arm(0);
    std::vector<int> count(1000, 0);
    parallel_for_dynamic(1000, 8, true, [&](int64_t i) { ++count[i]; });
    parallel_for(1000, true, [&](int64_t i) { ++count[i]; });
    for (int c : count) EXPECT_EQ(c, 2);
}

TEST_F(ParallelFaults, FailedTrainingLeavesAUsableBooster) {
    const Setting settings[] = {{kBinary, 0}, {kRegression, 2}, {kMulticlass, 0}};
    for (const Setting& s : settings) {
        SCOPED_TRACE("objective " + std::to_string(s.objective) + ", max_lineage " +
                     std::to_string(s.max_lineage));
        const Data d = make_data(s.objective);
        Booster clean = small_booster(s.objective, s.max_lineage);
        arm(0);
        fit_plain(clean, d);
        const int64_t fit_entries = g_plan.entries.load();
        arm(0);
        fit_more(clean, d.view(), d.target(), 1, VectorArg{});
        const int64_t more_entries = g_plan.entries.load();
        ASSERT_GE(std::min(fit_entries, more_entries), 6);
        fit_plain(clean, d);
        const std::string reference = serialize_model(clean.model);

        // Faults spread over the whole call, from either thread, of either kind.
        for (int64_t step = 0; step < 4; ++step) {
            const Fault fault = step % 2 == 0 ? Fault::kBadAlloc : Fault::kRuntimeError;
            const bool worker_only = step >= 2;
            SCOPED_TRACE("fault step " + std::to_string(step));
            Booster b = small_booster(s.objective, s.max_lineage);
            fit_plain(b, d);
            arm(1 + step * (fit_entries - 1) / 3, fault, worker_only);
            const std::string got = caught([&] { fit_plain(b, d); });
            arm(0);
            // A worker-only fault late in the call may find no worker entry left.
            if (!(worker_only && got == "nothing")) {
                EXPECT_EQ(got, expected(fault));
            }
            EXPECT_LE(b.n_trees(), 2);
            expect_usable(b, d, reference);

            // Continued training fails the same way and keeps whole trees.
            arm(1 + step * (more_entries - 1) / 3, fault, worker_only);
            const std::string more =
                caught([&] { fit_more(b, d.view(), d.target(), 1, VectorArg{}); });
            arm(0);
            if (!(worker_only && more == "nothing")) {
                EXPECT_EQ(more, expected(fault));
            }
            EXPECT_GE(b.n_trees(), 2);
            EXPECT_LE(b.n_trees(), 3);
            expect_usable(b, d, reference);
        }
    }
}

TEST_F(ParallelFaults, FailedReadsChangeNothing) {
    const Data d = make_data(kMulticlass);
    Booster b = small_booster(kMulticlass, 0);
    fit_plain(b, d);
    const std::string bytes = serialize_model(b.model);
    const std::vector<double> before = scores(b, d);
    std::vector<double> out(static_cast<size_t>(d.rows) * std::max<int32_t>(d.cols, 3));
    for (const bool worker_only : {false, true}) {
        for (const Fault fault : {Fault::kBadAlloc, Fault::kRuntimeError}) {
            arm(1, fault, worker_only);
            EXPECT_EQ(caught([&] { predict_raw(b.model, d.view(), out.data()); }), expected(fault));
            arm(1, fault, worker_only);
            EXPECT_EQ(caught([&] { predict_proba(b.model, d.view(), out.data()); }),
                      expected(fault));
            arm(1, fault, worker_only);
            EXPECT_EQ(caught([&] { explain(b.model, d.view(), out.data()); }), expected(fault));
        }
    }
    arm(0);
    EXPECT_EQ(serialize_model(b.model), bytes);
    EXPECT_EQ(scores(b, d), before);
}

}  // namespace

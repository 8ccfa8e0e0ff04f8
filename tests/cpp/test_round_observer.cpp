// The per-round observer of training and cutting an ensemble back after the fact: an
// observer sees exactly the scores that prediction gives for the model so far, stopping
// from it equals a shorter fit (or a Ctrl-C at that round), and truncate equals early
// stopping's own cut.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "booster_fixtures.hpp"
#include "boosting/train.hpp"
#include "io/model_bytes.hpp"
#include "model/predict.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// Rows with a target that a few rounds keep improving on; the first 60 rows validate.
struct Task {
    int32_t rows = 260, cols = 4, val_rows = 60;
    std::vector<double> x, y;
    explicit Task(int32_t objective) {
        std::mt19937 gen(11);
        x = random_matrix(gen, rows, cols, 0.05);
        std::normal_distribution<double> noise(0.0, 0.3);
        for (int32_t r = 0; r < rows; ++r) {
            const double* row = x.data() + static_cast<size_t>(r) * cols;
            const auto known = [](double v) { return v == v ? v : 0.0; };  // NaN counts 0
            const double signal = known(row[0]) - 0.5 * known(row[1]) + noise(gen);
            if (objective == kBinary) y.push_back(signal > 0 ? 1.0 : 0.0);
            if (objective == kRegression) y.push_back(signal);
            if (objective == kMulticlass) y.push_back(signal < -0.3 ? 0.0 : signal < 0.3 ? 1 : 2);
        }
    }
    MatrixView train() const {
        return MatrixView{x.data() + static_cast<size_t>(val_rows) * cols, rows - val_rows, cols};
    }
    VectorArg train_y() const { return VectorArg{y.data() + val_rows, rows - val_rows}; }
    MatrixView val() const { return MatrixView{x.data(), val_rows, cols}; }
    VectorArg val_y() const { return VectorArg{y.data(), val_rows}; }
};

Booster booster(int32_t objective, int32_t rounds, int32_t max_lineage = 0) {
    Booster b(rounds, 0.3, 3, 32, 1.0, 10, 0.8, 0.9, 5, objective, 0, 0.9, 0, {}, {}, max_lineage,
              0);
    return b;
}

// Every observed round's scores, copied.
struct Recorder {
    std::vector<std::vector<double>> train, val;
    int32_t stop_at = -1;
    RoundObserver observer() {
        return [this](const RoundScores& s) {
            train.emplace_back(s.train, s.train + s.n_rows * s.n_outputs);
            val.emplace_back(s.val, s.val == nullptr ? s.val : s.val + s.n_val * s.n_outputs);
            return s.round == stop_at;
        };
    }
};

void fit_task(Booster& b, const Task& t, int32_t patience, const RoundHook& hook,
              const RoundObserver& observer) {
    fit(b, t.train(), t.train_y(), VectorArg{}, t.val(), t.val_y(), patience, 0.0, hook, observer);
}

std::vector<double> scores_of(const Booster& b, const MatrixView& X) {
    std::vector<double> out(static_cast<size_t>(X.n_rows) * b.model.n_outputs);
    predict_scores(b.model, X, out.data());
    return out;
}

}  // namespace

// For every objective and both builders: the scores handed over after round k equal, bit
// for bit, the prediction of the model cut back to its first k + 1 trees, on the training
// and the validation rows; without early stopping the validation scores are kept current.
TEST(RoundObserver, ScoresEqualThePredictionOfTheModelSoFar) {
    for (int32_t objective : {kBinary, kRegression, kMulticlass}) {
        for (int32_t lineage : {0, 2}) {
            if (objective == kMulticlass && lineage > 0) continue;  // not a trainable kind
            const Task t(objective);
            Booster b = booster(objective, 6, lineage);
            Recorder seen;
            fit_task(b, t, 0, {}, seen.observer());
            ASSERT_EQ(seen.train.size(), 6u);
            for (int32_t k = 0; k < 6; ++k) {
                Booster cut = b;
                cut.truncate(k + 1);
                EXPECT_EQ(seen.train[k], scores_of(cut, t.train())) << objective << lineage << k;
                EXPECT_EQ(seen.val[k], scores_of(cut, t.val())) << objective << lineage << k;
            }
            EXPECT_EQ(b.best_iteration, -1);
            EXPECT_TRUE(b.validation_losses.empty());  // nothing else changes
        }
    }
}

// Stopping after round k keeps k + 1 trees whose bytes equal a fit of k + 1 rounds; an
// observer that never stops changes nothing, at one thread and at two.
TEST(RoundObserver, StoppingEqualsAShorterFit) {
    const int previous = omp_get_max_threads();
    for (int threads : {1, 2}) {
        omp_set_num_threads(threads);
        for (int32_t objective : {kBinary, kMulticlass}) {
            const Task t(objective);
            Booster plain = booster(objective, 7);
            fit_task(plain, t, 0, {}, {});
            Booster observed = booster(objective, 7);
            Recorder never;
            fit_task(observed, t, 0, {}, never.observer());
            EXPECT_EQ(serialize_model(observed.model), serialize_model(plain.model));

            Booster stopped = booster(objective, 7);
            Recorder at3;
            at3.stop_at = 3;
            fit_task(stopped, t, 0, {}, at3.observer());
            EXPECT_EQ(at3.train.size(), 4u);
            Booster shorter = booster(objective, 4);
            fit_task(shorter, t, 0, {}, {});
            EXPECT_EQ(stopped.n_trees(), 4);
            EXPECT_EQ(serialize_model(stopped.model), serialize_model(shorter.model));
        }
    }
    omp_set_num_threads(previous);
}

// With early stopping on, a stop from the observer leaves the booster exactly as a Ctrl-C
// at the same round does (cut back to the best round), and an observer that throws does
// too, its exception reaching the caller.
TEST(RoundObserver, StopAndThrowActLikeAnInterrupt) {
    const Task t(kRegression);
    for (int32_t at : {0, 2, 5}) {
        Booster interrupted = booster(kRegression, 40);
        int32_t calls = 0;
        const RoundHook hook = [&] {
            if (calls++ == at) throw std::runtime_error("interrupt");
        };
        EXPECT_THROW(fit_task(interrupted, t, 3, hook, {}), std::runtime_error);

        Booster stopped = booster(kRegression, 40);
        Recorder seen;
        seen.stop_at = at;
        fit_task(stopped, t, 3, {}, seen.observer());
        EXPECT_EQ(serialize_model(stopped.model), serialize_model(interrupted.model)) << at;
        EXPECT_EQ(stopped.best_iteration, interrupted.best_iteration);
        EXPECT_EQ(stopped.validation_losses, interrupted.validation_losses);

        Booster thrown = booster(kRegression, 40);
        const RoundObserver raising = [&](const RoundScores& s) -> bool {
            if (s.round == at) throw std::domain_error("from the observer");
            return false;
        };
        EXPECT_THROW(fit_task(thrown, t, 3, {}, raising), std::domain_error);
        EXPECT_EQ(serialize_model(thrown.model), serialize_model(interrupted.model)) << at;
        EXPECT_EQ(thrown.model.node_covers.size(), static_cast<size_t>(thrown.n_trees()));
    }
}

// The round where early stopping ends the loop is observed too, with its validation scores.
TEST(RoundObserver, SeesTheRoundThatStopsEarly) {
    const Task t(kBinary);
    Booster b = booster(kBinary, 200);
    Recorder seen;
    fit_task(b, t, 2, {}, seen.observer());
    EXPECT_EQ(seen.train.size(), b.validation_losses.size());
    EXPECT_LT(seen.train.size(), 200u);
    EXPECT_EQ(b.best_iteration, b.n_trees() - 1);
}

// fit_more observes its own rounds from 0, with no validation scores.
TEST(RoundObserver, FitMoreCountsItsOwnRounds) {
    const Task t(kRegression);
    Booster b = booster(kRegression, 3);
    fit_task(b, t, 0, {}, {});
    std::vector<int32_t> rounds;
    const RoundObserver observer = [&](const RoundScores& s) {
        rounds.push_back(s.round);
        EXPECT_EQ(s.val, nullptr);
        return false;
    };
    fit_more(b, t.train(), t.train_y(), 2, VectorArg{}, {}, observer);
    EXPECT_EQ(rounds, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(b.n_trees(), 5);
}

// truncate(k) after a fit keeps the trees, covers and predictions of a k-round fit and sets
// best_iteration; the importances keep the dropped trees' gain; a bad count changes nothing.
TEST(Truncate, EqualsEarlyStoppingsCut) {
    const Task t(kBinary);
    Booster full = booster(kBinary, 8);
    fit_task(full, t, 0, {}, {});
    Booster shorter = booster(kBinary, 3);
    fit_task(shorter, t, 0, {}, {});
    Booster cut = full;
    cut.truncate(3);
    EXPECT_EQ(cut.n_trees(), 3);
    EXPECT_EQ(cut.best_iteration, 2);
    EXPECT_EQ(cut.model.node_covers, shorter.model.node_covers);
    EXPECT_EQ(cut.model.packed.size(), 3u);
    EXPECT_EQ(scores_of(cut, t.val()), scores_of(shorter, t.val()));
    EXPECT_EQ(cut.model.importances.feature_gain, full.model.importances.feature_gain);

    const std::string before = serialize_model(cut.model);
    for (int32_t bad : {0, -1, 4}) {
        EXPECT_THROW(cut.truncate(bad), std::invalid_argument) << bad;
        EXPECT_EQ(serialize_model(cut.model), before);
    }
    Booster empty = booster(kBinary, 3);
    EXPECT_THROW(empty.truncate(1), std::invalid_argument);
}

// What a booster keeps apart: the parameters (checked in one place, the model's copies kept
// equal), the model (which the bytes replace as a whole) and the state of one fit (the
// search's environment switches, read once when the fit starts).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "booster_fixtures.hpp"
#include "boosting/train.hpp"
#include "io/model_bytes.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct Task {
    int32_t rows = 400, cols = 4;
    std::vector<double> x, y;
    Task() {
        std::mt19937 gen(3);
        x = random_matrix(gen, rows, cols, 0.0);
        for (int32_t r = 0; r < rows; ++r) {
            const double* v = x.data() + static_cast<size_t>(r) * cols;
            y.push_back(v[0] * v[1] + 0.3 * v[2]);  // a product: pairs of columns gain
        }
    }
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
    VectorArg target() const { return VectorArg{y.data(), rows}; }
};

Booster regression(int32_t rounds) {
    return Booster(rounds, 0.3, 3, 32, 1.0, 10, 1.0, 1.0, 7, kRegression, 0, 0.9, 0, {}, {}, 0, 0);
}

bool has_pair_split(const Booster& b) {
    for (const Tree& tree : b.model.trees) {
        for (const Node& n : tree) {
            if (!n.is_leaf && n.kind != kAxis) return true;
        }
    }
    return false;
}

}  // namespace

// A switch set while a fit runs (here by the observer after its first round) waits for the
// next fit: the fit grows exactly the model it would have grown without it.
TEST(FitState, SearchSwitchesAreReadOncePerFit) {
    const Task t;
    Booster plain = regression(4);
    fit(plain, t.view(), t.target(), {}, MatrixView{}, {}, 0, 1e-4);
    ASSERT_TRUE(has_pair_split(plain));

    Booster switched = regression(4);
    const RoundObserver set_axis = [](const RoundScores&) {
        setenv("VRL_AXIS", "1", 1);
        return false;
    };
    fit(switched, t.view(), t.target(), {}, MatrixView{}, {}, 0, 1e-4, {}, set_axis);
    EXPECT_EQ(serialize_model(switched.model), serialize_model(plain.model));

    // The next fit reads the switch: axis splits only.
    Booster axis = regression(4);
    fit(axis, t.view(), t.target(), {}, MatrixView{}, {}, 0, 1e-4);
    unsetenv("VRL_AXIS");
    EXPECT_GT(axis.n_trees(), 0);
    EXPECT_FALSE(has_pair_split(axis));
}

// Model bytes replace the model, and the parameters that the bytes carry follow them; bytes
// that are refused change neither.
TEST(FitState, LoadedBytesCarryTheirParameters) {
    const Task t;
    Booster source = regression(3);
    source.params.learning_rate = source.model.learning_rate = 0.05;
    source.params.clip = source.model.clip = 1;
    fit(source, t.view(), t.target(), {}, MatrixView{}, {}, 0, 1e-4);
    const std::string bytes = serialize_model(source.model);

    Booster target = default_booster();  // binary, learning_rate 0.12, no clip
    const std::string fresh = serialize_model(target.model);
    std::string broken = bytes;
    broken[16] = 7;  // the objective code
    EXPECT_THROW(target.load_model(reinterpret_cast<const uint8_t*>(broken.data()), broken.size()),
                 std::invalid_argument);
    EXPECT_EQ(serialize_model(target.model), fresh);
    EXPECT_EQ(target.params.objective, kBinary);
    EXPECT_EQ(target.params.learning_rate, 0.12);

    target.load_model(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(serialize_model(target.model), bytes);
    EXPECT_EQ(target.params.objective, kRegression);
    EXPECT_EQ(target.params.learning_rate, 0.05);
    EXPECT_EQ(target.params.clip, 1);
    EXPECT_EQ(target.model.required_width, source.model.required_width);
    EXPECT_TRUE(target.model.node_covers.empty());  // never in the bytes
}

// What a booster cannot be built with, and what training refuses, with the messages the
// binding passes on.
TEST(FitState, ParameterChecks) {
    BoosterParams p;
    for (int32_t bad : {-1, 1}) {
        p.max_pair_columns = bad;
        try {
            check_construction(p);
            ADD_FAILURE() << "max_pair_columns " << bad << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      "max_pair_columns must be 0 (every column) or a column count of 2 or more, "
                      "got " +
                          std::to_string(bad));
        }
    }
    for (int32_t good : {0, 2, 100}) {
        p.max_pair_columns = good;
        EXPECT_NO_THROW(check_construction(p));
    }
    p.objective = static_cast<Objective>(5);
    EXPECT_THROW(check_hyper_parameters(p, 3), std::invalid_argument);
    p.objective = kBinary;
    p.monotone = {1, 0, 0};
    p.categorical = {1, 0, 0};
    EXPECT_THROW(check_hyper_parameters(p, 3), std::invalid_argument);
    p.categorical = {0, 1, 0};
    EXPECT_NO_THROW(check_hyper_parameters(p, 3));
}

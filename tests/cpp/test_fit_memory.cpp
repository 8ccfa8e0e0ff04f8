// The memory a training call needs is counted before anything changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "booster_fixtures.hpp"
#include "boosting/fit_memory.hpp"
#include "common/memory.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

std::string refusal(const Booster& b, const FitShape& shape) {
    try {
        check_training_memory(b.params, shape);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(MemoryBudget, RefusesTheTotalAndNamesTheLargestPart) {
    MemoryNeed need;
    const double half = 0.5 * available_memory();
    ASSERT_GT(half, 0.0);
    need.add(0.3 * half, "the small part");
    need.add(0.4 * half, "the large part");
    need.add(-5.0, "nothing");
    EXPECT_NO_THROW(need.check("the call"));
    need.add(0.35 * half, "the middle part");
    try {
        need.check("the call");
        FAIL() << "a need above half of the memory was allowed";
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        EXPECT_EQ(0u, message.find("the call (most of it the large part"));
        EXPECT_NE(std::string::npos, message.find("more than half"));
    }
}

// Each part that grows with the columns, the outputs, the validation rows or the rounds is
// counted: a shape where that part alone exceeds any machine is refused, naming it.
TEST(TrainingMemory, EveryGrowingPartIsCounted) {
    Booster b = default_booster();
    EXPECT_EQ("", refusal(b, FitShape{10000, 20, 1, 0, 100, false}));
    // Interaction gains grow with the splits, not with the square of the columns.
    EXPECT_EQ(std::string::npos,
              refusal(b, FitShape{2, 3000000, 1, 0, 1, false}).find("interaction"));
    EXPECT_NE(std::string::npos,
              refusal(b, FitShape{20, 4, 1 << 20, int64_t{1} << 30, 3, true}).find("validation"));
    b.params.objective = b.model.objective = kMulticlass;
    EXPECT_NE(std::string::npos,
              refusal(b, FitShape{100, 3, 1000000, 0, 1000000, false}).find("leaves"));
    b.params.objective = b.model.objective = kBinary;
    b.params.max_depth = 1000;  // 2^1000 leaves by depth: the rows bound them
    EXPECT_DOUBLE_EQ(5000.0, max_leaves_per_tree(b.params, 5000));
    b.params.max_depth = 3;
    EXPECT_DOUBLE_EQ(8.0, max_leaves_per_tree(b.params, 5000));
    EXPECT_DOUBLE_EQ(1.0, max_leaves_per_tree(b.params, 0));
    b.params.max_lineage = 1;
    EXPECT_NE(std::string::npos,
              refusal(b, FitShape{100, 5000, 1, 0, 10000000, false}).find("directions"));
}

// exact_sums grows a tree level by level, holding the histograms of a whole level: a deep
// tree on many rows and columns is refused before it runs out of memory, while the same
// shape grown depth first, or with few rows to bound the level's width, is not.
TEST(TrainingMemory, ExactSumsCountsTheHistogramsOfTheWidestLevel) {
    Booster b = default_booster();
    b.params.max_depth = 30;
    b.params.max_bins = 255;
    b.params.min_samples = 1;
    const FitShape wide{200000, 500, 1, 0, 1, false};
    const FitShape narrow{2000, 20, 1, 0, 1, false};
    EXPECT_EQ("", refusal(b, wide));
    b.params.exact_sums = true;
    b.params.split_mode = kAxisOnly;
    EXPECT_NE(std::string::npos, refusal(b, wide).find("the histograms of one level"));
    EXPECT_EQ("", refusal(b, narrow));
}


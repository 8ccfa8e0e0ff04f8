// Guards against inputs that would otherwise read out of bounds or allocate without limit.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/memory.hpp"
#include "tree/column_sampling.hpp"

using namespace vorlent;

TEST(MemoryNeed, RefusesMoreThanHalfOfWhatIsAvailable) {
    const double available = available_memory();
    ASSERT_GT(available, 0.0);
    EXPECT_NO_THROW(check_memory_need(0.4 * available, "a table"));
    try {
        check_memory_need(0.6 * available, "a table of 12 cells");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("a table of 12 cells need ", 0), 0u) << message;
        EXPECT_NE(message.find("bytes of memory available"), std::string::npos) << message;
    }
}

TEST(ColumnSampling, NoColumnsGiveAnEmptyListAndNoDraws) {
    Rng rng(3), fresh(3);
    std::vector<int32_t> out{7, 7};
    for (const double colsample : {0.5, 0.0, 1.0}) {
        sample_columns(0, colsample, rng, out);
        EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(rng(), fresh());
}

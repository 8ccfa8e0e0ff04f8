// libFuzzer harness for the model-bytes reader, run by tests/fuzz/run_native.sh.
//
// Every input must either load or be refused with std::invalid_argument that leaves the
// receiving Booster exactly as it was. A model that loads must predict, explain, report
// importances and write itself back; the written bytes must load into a fresh Booster,
// write back to the same bytes and give the same scores bit for bit. Anything else (another
// exception, a sanitizer report, an oversized allocation) is a finding and aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "boosting/booster.hpp"
#include "io/model_bytes.hpp"
#include "model/explain.hpp"
#include "model/importance.hpp"
#include "model/predict.hpp"

namespace {

using vorlent::Booster;
using vorlent::MatrixView;
using vorlent::Node;

// Rows of the prediction matrix.
constexpr int32_t kRows = 7;
// Values of one prediction call (matrix cells, scores) above which a single row is routed:
// large buffers in every run would spend the time on page faults instead of code.
constexpr int64_t kRowBudget = 2048;
// Models reading more columns, or with more outputs, than this are loaded and written but
// not routed.
constexpr int64_t kMaxWidth = int64_t{1} << 16;

Booster fresh_booster() {
    return Booster(60, 0.12, 4, 64, 1.0, 10, 1.0, 1.0, 42, 0, 0, 0.9, 0, {}, {}, 0, 0);
}

// A Booster that already holds a model (one axis split over two columns), so that a
// refused load has something to leave intact.
Booster holding_booster() {
    Booster b = fresh_booster();
    Node root;
    root.is_leaf = false;
    root.kind = vorlent::kAxis;
    root.feature_a = 1;
    root.threshold = 0.5;
    root.left = 1;
    root.right = 2;
    root.missing_right = 1;
    root.gain = 2.0;
    Node low, high;
    low.value = -1.0;
    high.value = 1.0;
    b.model.trees = {{root, low, high}};
    b.model.n_features = 2;
    b.model.importances.feature_gain = {0.0, 2.0};
    b.model.importances.coefficient_gain = {0.0, 2.0};
    b.model.base_score = 0.25;
    b.model.refresh_facts();
    return b;
}

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// Values that reach every branch of the routing rule: both sides of small thresholds,
// category codes in and out of range (negative, fractional, beyond 32 bits), missing
// values, infinities, a subnormal and a negative zero.
constexpr double kValues[] = {0.0,
                              -0.0,
                              1.0,
                              -1.0,
                              2.9,
                              -0.5,
                              3.0,
                              5.0,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(),
                              1e300,
                              -1e300,
                              0.37,
                              4.9e-324,
                              2147483648.0,
                              -7.25};
constexpr size_t kValueCount = sizeof(kValues) / sizeof(kValues[0]);

std::vector<double> matrix(int64_t rows, int32_t width) {
    std::vector<double> x(static_cast<size_t>(rows) * static_cast<size_t>(width));
    for (int64_t r = 0; r < rows; ++r) {
        for (int32_t j = 0; j < width; ++j) {
            x[static_cast<size_t>(r * width + j)] = kValues[(5 * r + 3 * j + r * j) % kValueCount];
        }
    }
    return x;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    return a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// What a loaded model answers on the fixed matrix.
struct Answers {
    std::vector<double> raw, proba, contributions;
};

Answers answer(const Booster& b) {
    Answers a;
    const int32_t width = std::max(b.model.required_width, 1);
    const bool multi = b.model.objective == vorlent::kMulticlass;
    const int64_t outputs = multi ? b.model.n_outputs : 1;
    if (width > kMaxWidth || outputs > kMaxWidth) return a;
    const int32_t rows = std::max<int64_t>(width, outputs) * kRows > kRowBudget ? 1 : kRows;
    const std::vector<double> x = matrix(rows, width);
    const MatrixView view{x.data(), rows, width};
    a.raw.resize(static_cast<size_t>(rows * outputs));
    a.proba.resize(static_cast<size_t>(rows * (multi ? outputs : 2)));
    a.contributions.resize(x.size());
    vorlent::predict_raw(b.model, view, a.raw.data());
    vorlent::predict_proba(b.model, view, a.proba.data());
    vorlent::explain(b.model, view, a.contributions.data());
    return a;
}

void importances(const Booster& b) {
    std::vector<double> out(b.model.importances.feature_gain.size());
    vorlent::normalise_gains(b.model.importances.feature_gain.data(),
                             b.model.importances.feature_gain.size(), out.data(), out.size());
    out.resize(b.model.importances.coefficient_gain.size());
    vorlent::normalise_gains(b.model.importances.coefficient_gain.data(),
                             b.model.importances.coefficient_gain.size(), out.data(), out.size());
    // Every pair the reader accepts lies inside the model's square of columns.
    const int32_t side = b.model.n_features;
    for (const vorlent::PairGain& p :
         vorlent::normalised_pairs(b.model.importances.interaction_gain)) {
        if (p.a < 0 || p.b < 0 || p.a >= side || p.b >= side) finding("a pair outside the columns");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Booster holder = holding_booster();
    static const std::string held = vorlent::serialize_model(holder.model);

    Booster b = holder;
    try {
        b.load_model(data, size);
    } catch (const std::invalid_argument& e) {
        if (std::strstr(e.what(), "offset") == nullptr) finding("a refusal without an offset");
        if (vorlent::serialize_model(b.model) != held ||
            b.model.required_width != holder.model.required_width ||
            b.model.deepest_path != holder.model.deepest_path) {
            finding("a refused load changed the booster");
        }
        return 0;
    }

    const std::string written = vorlent::serialize_model(b.model);
    const Answers first = answer(b);
    importances(b);

    Booster again = fresh_booster();
    try {
        again.load_model(reinterpret_cast<const uint8_t*>(written.data()), written.size());
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "%s\n", e.what());
        finding("the bytes a loaded model writes are refused");
    }
    if (vorlent::serialize_model(again.model) != written) finding("writing back is not stable");
    if (again.model.required_width != b.model.required_width ||
        again.model.deepest_path != b.model.deepest_path) {
        finding("the written-back model has another shape");
    }
    const Answers second = answer(again);
    if (!same_bits(first.raw, second.raw) || !same_bits(first.proba, second.proba) ||
        !same_bits(first.contributions, second.contributions)) {
        finding("the written-back model answers differently");
    }
    return 0;
}

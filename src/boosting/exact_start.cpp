#include "boosting/exact_start.hpp"

#include <algorithm>
#include <cmath>

#include "boosting/objective.hpp"
#include "common/total_order.hpp"
#include "prep/shard_quantile.hpp"

namespace vorlent {
namespace {

int32_t class_count(const TargetRange& range) {
    return static_cast<int32_t>(target_class(key_value(range.high))) + 1;
}

// The term of family `f` for one row.
double start_term(const BoosterParams& params, int32_t k, int32_t f, double y, const double* w,
                  int64_t i) {
    const double weight = w != nullptr ? w[i] : 1.0;
    if (params.objective == kMulticlass) {
        const int64_t c = target_class(y);
        if (f == 0) return c >= 0 && c < k ? weight : 0.0;
        return c == f - 1 ? weight : 0.0;
    }
    if (w == nullptr) return y;
    return f == 0 ? w[i] * y : w[i];
}

}  // namespace

void TargetRange::merge(const TargetRange& other) {
    n += other.n;
    low = std::min(low, other.low);
    high = std::max(high, other.high);
}

TargetRange target_range(const double* y, int64_t n) {
    TargetRange out;
    out.n = n;
    for (int64_t i = 0; i < n; ++i) {
        out.low = std::min(out.low, sort_key(y[i]));
        out.high = std::max(out.high, sort_key(y[i]));
    }
    return out;
}

int32_t start_families(const BoosterParams& params, const TargetRange& range, bool weighted) {
    if (params.objective == kMulticlass) return range.n > 0 ? class_count(range) + 1 : 1;
    return weighted ? 2 : 1;
}

std::vector<double> start_bounds(const BoosterParams& params, const TargetRange& range,
                                 const double* y, const double* w, bool weighted, int64_t n) {
    const int32_t families = start_families(params, range, weighted);
    if (!weighted) w = nullptr;
    const int32_t k = params.objective == kMulticlass && range.n > 0 ? class_count(range) : 0;
    std::vector<double> bounds(static_cast<size_t>(families), 0.0);
    for (int32_t f = 0; f < families; ++f) {
        for (int64_t i = 0; i < n; ++i) {
            bounds[f] = std::max(bounds[f], std::fabs(start_term(params, k, f, y[i], w, i)));
        }
    }
    return bounds;
}

std::vector<ExactSum> start_sums(const BoosterParams& params, const TargetRange& range,
                                 const std::vector<double>& bounds, const double* y,
                                 const double* w, bool weighted, int64_t n) {
    if (!weighted) w = nullptr;
    const int32_t k = params.objective == kMulticlass && range.n > 0 ? class_count(range) : 0;
    std::vector<ExactSum> sums;
    for (size_t f = 0; f < bounds.size(); ++f) {
        sums.emplace_back(bounds[f]);
        for (int64_t i = 0; i < n; ++i) {
            sums.back().add(start_term(params, k, static_cast<int32_t>(f), y[i], w, i));
        }
    }
    return sums;
}

void decide_start(Model& model, const BoosterParams& params, const TargetRange& range,
                  bool weighted, const std::vector<ExactSum>& sums,
                  const std::function<double(uint64_t)>& select) {
    const int64_t n_rows = range.n;
    model.clip_low = n_rows > 0 ? key_value(range.low) : 0.0;
    model.clip_high = n_rows > 0 ? key_value(range.high) : 0.0;
    if (params.objective == kMulticlass) {
        const int32_t k = static_cast<int32_t>(target_class(model.clip_high)) + 1;
        const double total = n_rows > 0 ? sums[0].value() : 0.0;
        std::vector<double> count(static_cast<size_t>(k));
        for (int32_t c = 0; c < k; ++c) count[c] = n_rows > 0 ? sums[1 + c].value() : 0.0;
        set_class_start(model, count, total);
        return;
    }
    double m = 0.0;
    if (n_rows > 0) {
        if (weighted) {
            const double swy = sums[0].value();
            const double sw = sums[1].value();
            m = sw > 0.0 ? swy / sw : swy;
        } else {
            m = sums[0].value() / static_cast<double>(n_rows);
        }
    }
    set_single_start(model, params, m, [&] { return select(median_rank(n_rows)); });
}

}  // namespace vorlent

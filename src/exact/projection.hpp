#pragma once
#include <cstdint>
#include <vector>

#include "model/node.hpp"
#include "model/routing.hpp"

// A direction on a few columns whose value per row the exact_sums builder sums statistics
// over: the value a pair node or a projection node compares, computed as routing computes
// it, so that the rows a histogram puts below a cut are the rows the node's test sends left.

namespace vorlent {

enum ProjectionForm : int32_t {
    kPairForm = 0,      // coef_a * a + coef_b * b: a pair node of kind kLinearPair
    kCategoryForm = 1,  // offsets[code of a] + coef_b * b: a pair node of kind kCategoryPair
    kTermsForm = 2,     // start + sum of coefs[j] * x[features[j]]: a projection node
};

struct Projection {
    int32_t form = kPairForm;
    int32_t feature_a = -1;         // pair: first column; category: the categorical column
    int32_t feature_b = -1;         // pair: second column; category: the numeric column
    double coef_a = 0.0;            // pair form
    double coef_b = 0.0;            // pair form, and the slope of the category form
    std::vector<double> offsets;    // category form: per category code (none: 0)
    std::vector<int32_t> features;  // terms form: ascending columns
    std::vector<double> coefs;      // terms form: one per column; 0 terms are skipped
    double start = 0.0;             // terms form: where the sum starts (a node's bias)
    // Projected histograms: the value cells are laid on [lo, hi] (from the projection's
    // merged range or any other bound every shard is given).
    double lo = 0.0;
    double hi = 0.0;
};

// The projected value of a row; false when a value it needs is missing (NaN). The value
// itself may be infinite or NaN (an infinite input), which the caller tells apart.
inline bool projected_value(const Projection& p, const double* row, double& v) {
    if (p.form == kTermsForm) {
        double s = p.start;
        for (size_t j = 0; j < p.features.size(); ++j) {
            const double c = p.coefs[j];
            if (c == 0.0) continue;
            const double x = row[p.features[j]];
            if (x != x) return false;
            s += x * c;
        }
        v = s;
        return true;
    }
    const double a = row[p.feature_a];
    const double b = row[p.feature_b];
    if (a != a || b != b) return false;
    v = pair_value(p.form == kCategoryForm ? kCategoryPair : kLinearPair, p.coef_a, p.coef_b,
                   p.offsets, a, b);
    return true;
}

// The node test "projected value < t" as a pair node: bias -t, so that routing's
// value + bias < 0 holds exactly when value < t (a difference of two doubles is zero only
// when they are equal, and has their order's sign). A row missing a value follows
// missing_right; a NaN value (from infinite inputs) goes right, as routing sends it.
inline Node pair_node(const Projection& p, double t, int32_t missing_right) {
    Node n;
    n.is_leaf = false;
    n.kind = p.form == kCategoryForm ? kCategoryPair : kLinearPair;
    n.feature_a = p.feature_a;
    n.feature_b = p.feature_b;
    n.coef_a = p.form == kCategoryForm ? 1.0 : p.coef_a;
    n.coef_b = p.coef_b;
    n.bias = -t;
    n.missing_right = missing_right;
    if (p.form == kCategoryForm) n.category_values = p.offsets;
    return n;
}

}  // namespace vorlent

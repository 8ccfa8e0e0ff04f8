#include "model/shapley_weights.hpp"

#include <algorithm>

namespace vorlent {

Rules make_rules(const ShapleyPlan& plan) {
    Rules r;
    r.stride = plan.max_width + 1;
    r.rule.resize(static_cast<size_t>(plan.max_rule) + 1);
    r.power.resize(static_cast<size_t>(plan.max_rule) + 1);
    std::vector<bool> used(static_cast<size_t>(plan.max_rule) + 1, false);
    for (const LeafPath& leaf : plan.leaves) used[static_cast<size_t>(leaf.rule)] = true;
    for (int32_t q = 1; q <= plan.max_rule; ++q) {
        if (!used[static_cast<size_t>(q)]) continue;
        r.rule[q] = gauss_legendre(q);
        std::vector<double>& p = r.power[q];
        p.assign(static_cast<size_t>(q) * r.stride, 1.0);
        for (int32_t i = 0; i < q; ++i) {
            for (int32_t k = 1; k < r.stride; ++k) {
                p[i * r.stride + k] = p[i * r.stride + k - 1] * r.rule[q].node[i];
            }
        }
    }
    return r;
}

Scratch::Scratch(const ShapleyPlan& plan) {
    const size_t q = static_cast<size_t>(plan.max_rule);
    const size_t c = static_cast<size_t>(plan.max_leaf_components) + 1;
    right.resize(static_cast<size_t>(plan.max_tree_nodes));
    delta.resize(static_cast<size_t>(plan.max_leaf_groups));
    coef.resize(static_cast<size_t>(plan.max_subsets));
    component.resize(c * q);
    signature.resize(static_cast<size_t>(plan.max_leaf_signatures) * q);
    before.resize(c * q);
    after.resize(c * q);
    weight.resize(static_cast<size_t>(plan.max_leaf_signatures));
    by_width.resize((static_cast<size_t>(plan.max_leaf_signatures) + 1) *
                    (static_cast<size_t>(plan.max_width) + 1));
}

void leaf_weights(const ShapleyPlan& plan, const Rules& rules, const LeafPath& leaf, Scratch& s,
                  double* weight) {
    const int32_t g0 = plan.components[leaf.component_begin].group_begin;
    const int32_t q_count = leaf.rule;
    const int32_t stride = rules.stride;
    const double* power = rules.power[q_count].data();
    const int32_t n_comp = leaf.component_end - leaf.component_begin;
    const int32_t sig0 = n_comp > 0 ? plan.components[leaf.component_begin].signature_begin : 0;
    for (int32_t c = 0; c < n_comp; ++c) {
        const PathComponent& comp = plan.components[leaf.component_begin + c];
        double* e = s.component.data() + c * q_count;
        const int32_t m = comp.group_end - comp.group_begin;
        if (m == 1) {
            const double cover = plan.groups[comp.group_begin].cover;
            const double d = s.delta[comp.group_begin - g0];
            const int32_t k = plan.groups[comp.group_begin].width;
            double* sig = s.signature.data() + (comp.signature_begin - sig0) * q_count;
            for (int32_t q = 0; q < q_count; ++q) {
                e[q] = cover + d * power[q * stride + k];
                sig[q] = d * power[q * stride + k - 1];
            }
            continue;
        }
        // coef(T) = prod over T of D times prod over the rest of C, built group by group.
        double* coef = s.coef.data();
        coef[0] = 1.0;
        for (int32_t g = 0; g < m; ++g) {
            const double cover = plan.groups[comp.group_begin + g].cover;
            const double d = s.delta[comp.group_begin + g - g0];
            const uint32_t half = uint32_t{1} << g;
            for (uint32_t t = 0; t < half; ++t) {
                coef[t | half] = coef[t] * d;
                coef[t] *= cover;
            }
        }
        // Sum the subsets' coefficients by the number of features they read first, so
        // that each polynomial is evaluated once per point rather than once per subset.
        const int32_t n_sig = comp.signature_end - comp.signature_begin;
        const int32_t span = comp.width + 1;
        double* by_width = s.by_width.data();
        std::fill(by_width, by_width + (n_sig + 1) * span, 0.0);
        const int32_t* width = plan.subset_width.data() + comp.subset_begin;
        const FeatureSignature* sigs = plan.signatures.data() + comp.signature_begin;
        const uint32_t subsets = uint32_t{1} << m;
        for (uint32_t t = 0; t < subsets; ++t) {
            const double ct = coef[t];
            const int32_t w = width[t];
            by_width[w] += ct;
            for (int32_t i = 0; i < n_sig; ++i) {
                // A subset reading the signature's features counts with one power less.
                if (sigs[i].groups & t) by_width[(i + 1) * span + w - 1] += ct;
            }
        }
        double* sig = s.signature.data() + (comp.signature_begin - sig0) * q_count;
        for (int32_t q = 0; q < q_count; ++q) {
            const double* p = power + q * stride;
            double v = 0.0;
            for (int32_t a = 0; a < span; ++a) v += by_width[a] * p[a];
            e[q] = v;
            for (int32_t i = 0; i < n_sig; ++i) {
                const double* c = by_width + (i + 1) * span;
                double d = 0.0;
                for (int32_t a = 0; a < span; ++a) d += c[a] * p[a];
                sig[i * q_count + q] = d;
            }
        }
    }
    // Products of the other components at every point, without division.
    double* before = s.before.data();
    double* after = s.after.data();
    std::fill(before, before + q_count, 1.0);
    for (int32_t c = 0; c < n_comp; ++c) {
        for (int32_t q = 0; q < q_count; ++q) {
            before[(c + 1) * q_count + q] = before[c * q_count + q] * s.component[c * q_count + q];
        }
    }
    std::fill(after + n_comp * q_count, after + (n_comp + 1) * q_count, 1.0);
    for (int32_t c = n_comp - 1; c >= 0; --c) {
        for (int32_t q = 0; q < q_count; ++q) {
            after[c * q_count + q] = after[(c + 1) * q_count + q] * s.component[c * q_count + q];
        }
    }
    const double* w = rules.rule[q_count].weight.data();
    for (int32_t c = 0; c < n_comp; ++c) {
        const PathComponent& comp = plan.components[leaf.component_begin + c];
        for (int32_t i = comp.signature_begin; i < comp.signature_end; ++i) {
            const double* sig = s.signature.data() + (i - sig0) * q_count;
            double total = 0.0;
            for (int32_t q = 0; q < q_count; ++q) {
                total += w[q] * (sig[q] * (before[c * q_count + q] * after[(c + 1) * q_count + q]));
            }
            weight[i - sig0] = total;
        }
    }
}

}  // namespace vorlent

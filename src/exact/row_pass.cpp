#include "exact/row_pass.hpp"

#include <omp.h>

#include <algorithm>

#include "common/parallel.hpp"
#include "exact/stats_merge.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

void mark_targets(const StatsRequest& request, ShardTree& st) {
    int32_t top = request.node_ids;
    for (const int32_t id : request.nodes) top = std::max(top, id + 1);
    st.target.assign(static_cast<size_t>(top), -1);
    for (size_t t = 0; t < request.nodes.size(); ++t) {
        st.target[request.nodes[t]] = static_cast<int32_t>(t);
    }
}

void row_pass(ShardTree& st, int64_t kind, std::vector<int64_t>& out,
              const std::function<void(int64_t i0, int64_t i1, int64_t* words)>& fill) {
    const int64_t n = static_cast<int64_t>(st.bag.size());
    const int64_t words = static_cast<int64_t>(out.size()) - kStatsHeader;
    if (n == 0 || words == 0) return;
    const bool parallel = n > kParallelBagRows && omp_get_max_threads() > 1;
    const int64_t threads = parallel ? omp_get_max_threads() : 1;
    int64_t* scratch = grow(st.scratch, static_cast<size_t>(threads * words));
    for (int64_t t = 0; t < threads; ++t) {
        std::copy(out.begin() + kStatsHeader, out.end(), scratch + t * words);
    }
    parallel_blocks(n, parallel, [&](int64_t i0, int64_t i1) {
        fill(i0, i1, scratch + omp_get_thread_num() * words);
    });
    std::copy(scratch, scratch + words, out.begin() + kStatsHeader);
    for (int64_t t = 1; t < threads; ++t) {
        merge_words(kind, out.data() + kStatsHeader, scratch + t * words, words);
    }
}

void rows_by_node(const ShardTree& st, const StatsRequest& request, int64_t i0, int64_t i1,
                  std::vector<int64_t>& begin, std::vector<int32_t>& order) {
    const auto n_nodes = static_cast<int64_t>(request.nodes.size());
    begin.assign(static_cast<size_t>(n_nodes + 1), 0);
    const auto ids = static_cast<uint32_t>(st.target.size());
    for (int64_t i = i0; i < i1; ++i) {
        const auto at = static_cast<uint32_t>(st.node[i]);
        if (at < ids && st.target[at] >= 0) ++begin[st.target[at] + 1];
    }
    for (int64_t t = 0; t < n_nodes; ++t) begin[t + 1] += begin[t];
    order.resize(static_cast<size_t>(begin[n_nodes]));
    // Places each row at its node's next slot (begin[t] moves to the end of node t's
    // rows), then shifts the starts back by one node.
    for (int64_t i = i0; i < i1; ++i) {
        const auto at = static_cast<uint32_t>(st.node[i]);
        if (at >= ids || st.target[at] < 0) continue;
        order[static_cast<size_t>(begin[st.target[at]]++)] = static_cast<int32_t>(i);
    }
    for (int64_t t = n_nodes; t > 0; --t) begin[t] = begin[t - 1];
    begin[0] = 0;
}

}  // namespace vorlent

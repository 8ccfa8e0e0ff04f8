#pragma once
// Cutting a node's pair candidates down before their exact evaluation: by prescore, or by
// the best halves by prescore and by screening score.
#include <cstddef>
#include <vector>

#include "tree/pair_proposal.hpp"
#include "tree/search_workspace.hpp"

namespace vorlent {

// How a node's candidates are cut down before their exact evaluation.
struct Selection {
    size_t keep = 0;         // candidates kept by the cap or VRL_K; 0 keeps every one
    bool screening = false;  // the cap keeps the best halves by prescore and by screening
};

// Cuts ws.candidates down to what `sel` keeps of them. Because the kept set of a subset
// that holds it is the kept set of the whole, the search can cut down as it goes and keep
// its candidates bounded.
void select_candidates(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                       SearchWorkspace& ws, const NodePairs& np, const Selection& sel);

// Keeps the `keep` candidates with the highest prescore, in descending prescore order;
// equal prescores keep proposal order.
void keep_best_prescores(SearchWorkspace& ws, size_t keep);

}  // namespace vorlent

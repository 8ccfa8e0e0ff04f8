#pragma once
#include "boosting/booster.hpp"
#include "boosting/vector_arg.hpp"
#include "common/matrix.hpp"

namespace vorlent {

// Raise std::invalid_argument, naming the argument, for data that training cannot use
// (the parameters are checked by check_hyper_parameters, boosting/params.hpp). They run
// before training changes any field of the booster.
void check_training_data(const Booster& b, const MatrixView& X, VectorArg y,
                         VectorArg sample_weight);
void check_validation_data(const Booster& b, const MatrixView& X, const MatrixView& X_val,
                           VectorArg y_val, const double* y);
// Multiclass only: y must hold a class of 0 or more (unless `continuing` an ensemble whose
// classes are fixed), and the per-row, per-class training arrays must fit in memory.
// Returns the outputs the fit trains: the class count, 1 for the other objectives.
int64_t check_class_count(const Booster& b, VectorArg y, bool continuing);
// The start score (unless training continues from `scores`, one row of n_outputs per row
// of y), the first round's gradients and hessians, their sums and the root's Newton value
// must all be finite. Blames sample_weight when the unweighted targets would train, else y.
void check_start(const Booster& b, VectorArg y, VectorArg sample_weight,
                 const double* scores = nullptr);

}  // namespace vorlent

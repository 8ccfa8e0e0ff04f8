#pragma once
#include <cstdint>

#include "boosting/remote_fit.hpp"
#include "module/shard_caller.hpp"

namespace vorlent::binding {

// The coordinator's side of training on shards: every question fit_remote asks of the rows
// (boosting/remote_fit.hpp) as messages to the shards of n_features columns (training rows
// through `shards`, the n_val validation rows through `val`), their answers merged. Both
// callers must outlive the rows; every call takes the interpreter lock.
RemoteRows remote_rows(ShardCaller& shards, ShardCaller& val, int32_t n_features, bool weighted,
                       int64_t n_val);

}  // namespace vorlent::binding

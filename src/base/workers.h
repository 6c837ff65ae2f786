// Runs a job for each of `count` items on up to `workers` threads, each
// taking the next item as it finishes one, and returns when every item is
// done. One worker runs the items in order on the calling thread. The job
// must be safe to call from several threads at once for different items.
#pragma once
#include <cstddef>
#include <functional>

namespace base {

void for_each_parallel(size_t count, int workers, const std::function<void(size_t item)>& job);

}  // namespace base

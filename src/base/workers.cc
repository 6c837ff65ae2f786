#include "base/workers.h"

#include <atomic>
#include <thread>
#include <vector>

namespace base {

void for_each_parallel(size_t count, int workers, const std::function<void(size_t)>& job) {
  if (workers <= 1 || count <= 1) {
    for (size_t i = 0; i < count; i++) job(i);
    return;
  }
  std::atomic<size_t> next{0};
  auto work = [&]() {
    for (size_t i = next++; i < count; i = next++) job(i);
  };
  size_t threads = std::min(count, size_t(workers));
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (size_t t = 1; t < threads; t++) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
}

}  // namespace base

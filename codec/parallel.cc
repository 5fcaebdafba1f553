// Tasks on threads when the build has them, in turn otherwise.
#include "codec/parallel.h"

#if KDZ_HAVE_THREADS
#include <system_error>
#include <thread>
#endif

namespace kdz {

int ResolveThreadCount(int requested) {
#if KDZ_HAVE_THREADS
  int n = requested;
  if (n <= 0) n = static_cast<int>(std::thread::hardware_concurrency());
  if (n <= 0) n = 1;
  return n > 64 ? 64 : n;
#else
  (void)requested;
  return 1;
#endif
}

void RunTasks(const std::vector<std::function<void()>>& tasks) {
  if (tasks.empty()) return;
#if KDZ_HAVE_THREADS
  std::vector<std::thread> threads;
  std::vector<size_t> inline_tasks;
  try {
    threads.reserve(tasks.size());
    inline_tasks.reserve(tasks.size());
  } catch (const std::exception&) {  // no memory even for the bookkeeping: in turn
    for (const auto& task : tasks) task();
    return;
  }
  for (size_t k = 1; k < tasks.size(); ++k) {
    try {
      threads.emplace_back(tasks[k]);
    } catch (const std::exception&) {  // no thread to be had: run it here
      inline_tasks.push_back(k);
    }
  }
  tasks[0]();
  for (size_t k : inline_tasks) tasks[k]();
  for (std::thread& t : threads) t.join();
#else
  for (const auto& task : tasks) task();
#endif
}

void YieldBriefly() {
#if KDZ_HAVE_THREADS
  std::this_thread::yield();
#endif
}

}  // namespace kdz

// Tasks on threads when the build has them, in turn otherwise.
#include "codec/parallel.h"

#include <atomic>
#include <cstddef>

#if KDZ_HAVE_THREADS
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif
#if KDZ_HAVE_THREADS && defined(__linux__)
#include <pthread.h>
#include <sched.h>
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

#if KDZ_HAVE_THREADS
namespace {

// Where new helpers start. The kernel of our virtual machines queues a new thread on
// its creator's CPU: in a test program whose main thread kept its CPU busy, a new
// thread that waited by yielding was still queued there after 2 to 6 ms in half of
// the runs, while the other CPU idled; moved at once, it ran on the other CPU within
// 0.1 ms every time. So the caller pins each helper as it starts to a CPU other than
// its own (the k-th of the others it may use, in turn), and the helper's first act is
// to take back every CPU the caller may use: from there the scheduler moves it as it
// likes. Where the CPUs cannot be read or set, helpers start where they would.
class Placement {
 public:
  Placement() {
#if defined(__linux__)
    CPU_ZERO(&allowed_);
    if (sched_getaffinity(0, sizeof allowed_, &allowed_) != 0) return;
    here_ = sched_getcpu();
    others_ = CPU_COUNT(&allowed_) - (here_ >= 0 && CPU_ISSET(here_, &allowed_) ? 1 : 0);
#endif
  }
  // By the caller, for helper k (from 0) just started.
  void Pin(std::thread& t, int k) const {
#if defined(__linux__)
    if (others_ <= 0) return;
    int skip = k % others_;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed_) || cpu == here_ || skip-- > 0) continue;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      (void)pthread_setaffinity_np(t.native_handle(), sizeof one, &one);
      return;
    }
#else
    (void)t;
    (void)k;
#endif
  }
  // By helper k first, once the caller has placed it (placed > k).
  void TakeAllCpus(const std::atomic<int>& placed, int k) const {
#if defined(__linux__)
    if (others_ <= 0) return;
    while (placed.load(std::memory_order_acquire) <= k) std::this_thread::yield();
    (void)sched_setaffinity(0, sizeof allowed_, &allowed_);
#else
    (void)placed;
    (void)k;
#endif
  }

 private:
#if defined(__linux__)
  cpu_set_t allowed_;
  int here_ = -1, others_ = 0;
#endif
};

}  // namespace
#endif

void YieldBriefly() {
#if KDZ_HAVE_THREADS
  std::this_thread::yield();
#endif
}

struct TaskCrew::Shared {
  const std::vector<std::function<void()>>* tasks = nullptr;  // of the stage under way
  std::atomic<size_t> next{0};  // the next task to take
  // Each takes what is left of the stage's tasks.
  void Take() {
    for (size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < tasks->size();) (*tasks)[k]();
  }
#if KDZ_HAVE_THREADS
  // How long a helper spins for the next stage, and the caller for the helpers,
  // before sleeping.
  static constexpr std::chrono::milliseconds kSpinFor{5};

  std::vector<std::thread> threads;
  std::mutex mutex;
  std::condition_variable wake, finished;
  std::atomic<unsigned> stage{0};  // counts the stages begun
  std::atomic<int> busy{0};        // helpers not yet done with the stage
  std::atomic<bool> quit{false};
  Placement placement;         // read before the helpers start
  std::atomic<int> placed{0};  // helpers the caller has placed

  // Spins, then sleeps, until done() holds; `signal` is notified by whoever makes
  // it hold, under the mutex.
  template <typename Done>
  void WaitFor(std::condition_variable& signal, Done done) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned spins = 1; !done(); ++spins) {
      if (spins % 32 == 0 && std::chrono::steady_clock::now() - start > kSpinFor) {
        std::unique_lock<std::mutex> lock(mutex);
        signal.wait(lock, done);
        return;
      }
      std::this_thread::yield();
    }
  }

  void Serve() {
    unsigned seen = 0;
    for (;;) {
      WaitFor(wake, [&] {
        return stage.load(std::memory_order_acquire) != seen || quit.load(std::memory_order_acquire);
      });
      if (quit.load(std::memory_order_acquire)) return;
      seen = stage.load(std::memory_order_acquire);
      Take();
      if (busy.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lock(mutex);
        finished.notify_one();
      }
    }
  }
#endif
};

TaskCrew::TaskCrew(int threads) : shared_(new Shared) {
#if KDZ_HAVE_THREADS
  Shared& s = *shared_;
  try {
    s.threads.reserve(threads > 1 ? static_cast<size_t>(threads - 1) : 0);
    for (int k = 0; k + 1 < threads; ++k) {
      s.threads.emplace_back([&s, k] {
        s.placement.TakeAllCpus(s.placed, k);
        s.Serve();
      });
      s.placement.Pin(s.threads.back(), k);
      s.placed.store(k + 1, std::memory_order_release);
    }
  } catch (const std::exception&) {
    // No more threads (or no memory for the list): the helpers started so far do.
  }
#else
  (void)threads;
#endif
}

TaskCrew::~TaskCrew() {
#if KDZ_HAVE_THREADS
  Shared& s = *shared_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.quit.store(true, std::memory_order_release);
  }
  s.wake.notify_all();
  for (std::thread& t : s.threads) t.join();
#endif
}

int TaskCrew::helpers() const {
#if KDZ_HAVE_THREADS
  return static_cast<int>(shared_->threads.size());
#else
  return 0;
#endif
}

void TaskCrew::Run(const std::vector<std::function<void()>>& tasks) {
  if (tasks.empty()) return;
  Shared& s = *shared_;
  s.tasks = &tasks;
  s.next.store(1, std::memory_order_relaxed);
#if KDZ_HAVE_THREADS
  const int helpers = tasks.size() > 1 ? static_cast<int>(s.threads.size()) : 0;
  if (helpers > 0) {
    s.busy.store(helpers, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.stage.fetch_add(1, std::memory_order_release);  // publishes the tasks and counts
    }
    s.wake.notify_all();
  }
#endif
  tasks[0]();
  s.Take();
#if KDZ_HAVE_THREADS
  if (helpers > 0) s.WaitFor(s.finished, [&] { return s.busy.load(std::memory_order_acquire) == 0; });
#endif
  s.tasks = nullptr;
}

void RunTasks(const std::vector<std::function<void()>>& tasks) {
  TaskCrew crew(static_cast<int>(tasks.size()));
  crew.Run(tasks);
}

}  // namespace kdz

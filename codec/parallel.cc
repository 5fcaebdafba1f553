// Tasks on threads when the build has them, in turn otherwise.
#include "codec/parallel.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#if KDZ_HAVE_THREADS
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif
#if KDZ_HAVE_THREADS && (defined(__unix__) || defined(__APPLE__))
#include <pthread.h>  // the helpers' name, fork
#endif
#if KDZ_HAVE_THREADS && defined(__linux__)
#include <sched.h>
#endif

namespace kdz {

int ResolveThreadCount(int requested) {
#if KDZ_HAVE_THREADS
  // The cores are counted once: each count reads a file of the system's.
  static const int cores = static_cast<int>(std::thread::hardware_concurrency());
  int n = requested;
  if (n <= 0) n = cores;
  if (n <= 0) n = 1;
  return n > 64 ? 64 : n;
#else
  (void)requested;
  return 1;
#endif
}

#if KDZ_HAVE_THREADS
namespace {

[[maybe_unused]] constexpr char kHelperName[] = "kdz-helper";

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

// What a stage offers, in one word so that taking a task is one exchange: the
// stage's number (counting the stages begun), its number of tasks and the next task
// to take. A helper that wakes late takes a task of the stage under way, if one is
// left, never one of a stage that has ended: its exchange fails once the word has
// changed. So the caller waits for the tasks that were taken, never for a helper
// that took none.
#if KDZ_HAVE_THREADS
namespace {
constexpr uint64_t kStageShift = 32, kCountShift = 16, kIndexMask = 0xFFFF;
constexpr size_t kMostTasksShared = kIndexMask;  // beyond this the caller runs them all
constexpr uint64_t StageWord(uint64_t stage, uint64_t count, uint64_t next) {
  return stage << kStageShift | count << kCountShift | next;
}
constexpr uint32_t StageOf(uint64_t word) { return static_cast<uint32_t>(word >> kStageShift); }
}  // namespace
#endif

// Without threads a crew has no helpers, and nothing to share.
struct TaskCrew::Shared {
#if KDZ_HAVE_THREADS
  const std::vector<std::function<void()>>* tasks = nullptr;  // of the stage under way
  std::atomic<uint64_t> offer{0};  // StageWord of the stage under way or last run
  std::atomic<size_t> finished{0};  // tasks of the stage that have ended

  // Takes the next task of the stage under way, if one is left: true with its index
  // in *k (and the stage's number of tasks in *count).
  bool Claim(size_t* k, size_t* count) {
    uint64_t word = offer.load(std::memory_order_acquire);
    for (;;) {
      const size_t n = (word >> kCountShift) & kIndexMask, next = word & kIndexMask;
      if (next >= n) return false;
      if (offer.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
        *k = next;
        *count = n;
        return true;
      }
    }
  }
  // Runs what is left of the stage's tasks; true when this ended the stage's last
  // (then the caller may be waiting). The task list is read only with a task
  // claimed: until that task ends, the stage cannot end and the list stays.
  bool Take() {
    for (size_t k, n; Claim(&k, &n);) {
      (*tasks)[k]();
      if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == n) return true;
    }
    return false;
  }
  // How long a helper spins for the next stage, and the caller for the helpers,
  // before sleeping.
  static constexpr std::chrono::milliseconds kSpinFor{1};

  std::vector<std::thread> threads;
  std::mutex mutex;
  std::condition_variable wake, ended;
  std::atomic<bool> quit{false};
  std::atomic<bool> resting{false};  // helpers sleep at once (set between uses)
  Placement placement;         // read before the helpers start
  std::atomic<int> placed{0};  // helpers the caller has placed

  // Spins, then sleeps, until done() holds; `signal` is notified by whoever makes
  // it hold, under the mutex.
  template <typename Done>
  void WaitFor(std::condition_variable& signal, Done done) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned spins = 1; !done(); ++spins) {
      if (resting.load(std::memory_order_relaxed) ||
          (spins % 32 == 0 && std::chrono::steady_clock::now() - start > kSpinFor)) {
        std::unique_lock<std::mutex> lock(mutex);
        signal.wait(lock, done);
        return;
      }
      std::this_thread::yield();
    }
  }

  void Serve() {
    uint32_t seen = 0;
    for (;;) {
      WaitFor(wake, [&] {
        return StageOf(offer.load(std::memory_order_acquire)) != seen || quit.load(std::memory_order_acquire);
      });
      if (quit.load(std::memory_order_acquire)) return;
      seen = StageOf(offer.load(std::memory_order_acquire));
      if (Take()) {
        std::lock_guard<std::mutex> lock(mutex);
        ended.notify_one();
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
#if defined(__linux__)
      // Named here, not by the helper, so that it has its name before it first runs.
      (void)pthread_setname_np(s.threads.back().native_handle(), kHelperName);  // for ps, top and debuggers
#endif
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
#if KDZ_HAVE_THREADS
  Shared& s = *shared_;
  if (helpers() > 0 && tasks.size() > 1 && tasks.size() <= kMostTasksShared) {
    // The first task is the caller's: it is taken before the stage is offered.
    uint32_t stage = StageOf(s.offer.load(std::memory_order_relaxed)) + 1;
    if (stage == 0) stage = 1;  // the helpers start having seen stage 0
    s.tasks = &tasks;
    s.finished.store(1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.resting.store(false, std::memory_order_relaxed);
      s.offer.store(StageWord(stage, tasks.size(), 1), std::memory_order_release);  // publishes the list
    }
    s.wake.notify_all();
    tasks[0]();
    (void)s.Take();
    s.WaitFor(s.ended, [&] { return s.finished.load(std::memory_order_acquire) == tasks.size(); });
    s.tasks = nullptr;
    return;
  }
#endif
  for (const std::function<void()>& task : tasks) task();
}

void TaskCrew::Rest() {
#if KDZ_HAVE_THREADS
  shared_->resting.store(true, std::memory_order_relaxed);
#endif
}

#if KDZ_HAVE_THREADS
namespace {

// The crews kept between uses, made once and never destroyed: at the end of the
// process its threads simply stop, while a destructor run then would wait for each
// helper to wake (or, in a Windows DLL, deadlock on the loader's lock).
struct KeptCrews {
  static constexpr size_t kMost = 4;  // enough for a few decodes at once
  std::mutex mutex;
  std::vector<TaskCrew*> crews;
};

KeptCrews& Kept() {
  static KeptCrews* const kept = [] {
    auto* k = new KeptCrews;
#if defined(__unix__) || defined(__APPLE__)
    // The lock is held across fork, so the child gets it free and unchanged; the
    // child's list starts empty, leaving the parent's crews to the parent.
    (void)pthread_atfork([] { Kept().mutex.lock(); }, [] { Kept().mutex.unlock(); },
                         [] {
                           Kept().crews.clear();
                           Kept().mutex.unlock();
                         });
#endif
    return k;
  }();
  return *kept;
}

}  // namespace

BorrowedCrew BorrowCrew(int threads, bool mayStart) {
  if (ResolveThreadCount(threads) < 2) return nullptr;
  KeptCrews& kept = Kept();
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    for (size_t k = kept.crews.size(); k-- > 0;) {
      TaskCrew* crew = kept.crews[k];
      if (crew->helpers() + 1 == threads) {
        kept.crews.erase(kept.crews.begin() + static_cast<std::ptrdiff_t>(k));
        return BorrowedCrew(crew);
      }
    }
  }
  if (!mayStart) return nullptr;
  auto crew = std::make_unique<TaskCrew>(threads);
  if (crew->helpers() == 0) return nullptr;
  return BorrowedCrew(crew.release());
}

void ReturnCrew::operator()(TaskCrew* crew) const {
  crew->Rest();
  KeptCrews& kept = Kept();
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    if (kept.crews.size() < KeptCrews::kMost) {
      try {
        kept.crews.push_back(crew);
        return;
      } catch (const std::bad_alloc&) {
        // No room in the list: the crew ends instead.
      }
    }
  }
  delete crew;
}

void EndKeptCrews() {
  std::vector<TaskCrew*> ending;
  {
    KeptCrews& kept = Kept();
    std::lock_guard<std::mutex> lock(kept.mutex);
    ending.swap(kept.crews);
  }
  for (TaskCrew* crew : ending) delete crew;
}

#else  // without threads there are no helpers to keep

BorrowedCrew BorrowCrew(int, bool) { return nullptr; }
void ReturnCrew::operator()(TaskCrew* crew) const { delete crew; }
void EndKeptCrews() {}

#endif

void RunTasks(const std::vector<std::function<void()>>& tasks) {
  TaskCrew crew(static_cast<int>(tasks.size()));
  crew.Run(tasks);
}

}  // namespace kdz

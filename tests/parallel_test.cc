// The task crew: every task of every stage once, taken in order, on the helpers too;
// crews kept between decodes.
#include "codec/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kdz/encoder.h"
#include "kdz/kdz.h"

#if defined(__linux__)
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace kdz {
namespace {

// Stages of 0 to 9 tasks on crews of several sizes. Each task but the first waits
// until the one before it has finished, which only works if tasks are taken in
// order; each records its thread. Most stages are over before a helper wakes, so
// late helpers meet the stages after theirs (the sanitizers' build sees any task
// list used after its stage).
TEST(TaskCrew, EveryTaskOfEveryStageRunsOnceInOrder) {
  for (int threads : {1, 2, 3, 5}) {
    TaskCrew crew(threads);
    EXPECT_LE(crew.helpers(), threads - 1);
    std::set<std::thread::id> seen;
    for (int stage = 0; stage < 600; ++stage) {
      const int n = stage % 10;
      std::vector<std::atomic<int>> runs(static_cast<size_t>(n));
      std::vector<std::atomic<bool>> done(static_cast<size_t>(n));
      std::vector<std::thread::id> where(static_cast<size_t>(n));
      std::vector<std::function<void()>> tasks;
      for (int k = 0; k < n; ++k) {
        runs[k] = 0;
        done[k] = false;
        tasks.push_back([&, k] {
          if (k > 0) {
            while (!done[k - 1].load()) std::this_thread::yield();
          }
          where[k] = std::this_thread::get_id();
          ++runs[k];
          done[k] = true;
        });
      }
      crew.Run(tasks);
      for (int k = 0; k < n; ++k) {
        ASSERT_EQ(runs[k].load(), 1) << threads << " threads, stage " << stage << ", task " << k;
        seen.insert(where[k]);
      }
      if (n > 0) {
        EXPECT_EQ(where[0], std::this_thread::get_id());
      }
    }
    EXPECT_LE(seen.size(), static_cast<size_t>(crew.helpers() + 1));
  }
}

// While the caller's task runs, a helper takes the next one (the caller's task
// waits for it, with a bound so that a failure cannot hang the test).
TEST(TaskCrew, HelpersTakeTasksWhileTheCallerWorks) {
  TaskCrew crew(3);
  if (crew.helpers() < 1) GTEST_SKIP() << "not run: no helper thread could be started";
  for (int stage = 0; stage < 20; ++stage) {
    std::atomic<int> begun{0};
    bool met = false;
    std::vector<std::function<void()>> tasks = {
        [&] {
          const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (begun.load() < 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
          met = begun.load() >= 1;
        },
        [&] { ++begun; }, [&] { ++begun; }};
    crew.Run(tasks);
    ASSERT_TRUE(met) << "stage " << stage;
    EXPECT_EQ(begun.load(), 2);
    // Between stages the helpers go idle: long enough here for them to sleep.
    if (stage % 5 == 4) std::this_thread::sleep_for(std::chrono::milliseconds(12));
  }
}

#if defined(__linux__)
// A new helper is moved off its creator's CPU before it first runs, and then may run
// wherever its creator may: the same CPUs, never more, whether the caller may use
// every CPU, only its own, or two of them.
TEST(TaskCrew, HelpersMayRunOnTheCallersCpusAndNoOthers) {
  cpu_set_t original;
  CPU_ZERO(&original);
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  const int here = sched_getcpu();
  ASSERT_GE(here, 0);
  std::vector<cpu_set_t> masks(1, original);
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(here, &one);
  masks.push_back(one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (cpu != here && CPU_ISSET(cpu, &original)) {
      cpu_set_t two = one;
      CPU_SET(cpu, &two);
      masks.push_back(two);
      break;
    }
  }
  for (size_t m = 0; m < masks.size(); ++m) {
    ASSERT_EQ(sched_setaffinity(0, sizeof masks[m], &masks[m]), 0);
    TaskCrew crew(3);
    if (crew.helpers() < 1) {
      (void)sched_setaffinity(0, sizeof original, &original);
      GTEST_SKIP() << "not run: no helper thread could be started";
    }
    // The caller's task waits (with a bound) until every helper has run one of the
    // others, so that those run on the helpers.
    const size_t n = static_cast<size_t>(crew.helpers()) + 1;
    std::vector<cpu_set_t> seen(n);
    std::vector<int> ran(n, -1);
    std::vector<std::thread::id> who(n);
    std::atomic<size_t> done{0};
    std::vector<std::function<void()>> tasks;
    tasks.push_back([&] {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (done.load() + 1 < n && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    });
    for (size_t k = 1; k < n; ++k) {
      tasks.push_back([&, k] {
        CPU_ZERO(&seen[k]);
        (void)sched_getaffinity(0, sizeof seen[k], &seen[k]);
        ran[k] = sched_getcpu();
        who[k] = std::this_thread::get_id();
        ++done;
      });
    }
    crew.Run(tasks);
    for (size_t k = 1; k < n; ++k) {
      EXPECT_NE(who[k], std::this_thread::get_id()) << "mask " << m << ", task " << k;
      EXPECT_TRUE(CPU_EQUAL(&seen[k], &masks[m])) << "mask " << m << ", task " << k;
      EXPECT_TRUE(ran[k] >= 0 && CPU_ISSET(ran[k], &masks[m])) << "mask " << m << ", task " << k;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
}
#endif

#if defined(__linux__)
// The crews' helpers now in this process (other threads, such as a sanitizer's,
// do not count).
int ThreadsOfThisProcess() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    n += std::getline(comm, name) && name == "kdz-helper";
  }
  return n;
}

// The count once it is `expected`, or after a second: a joined thread may still be
// listed for a moment.
int ThreadsOnceSettled(int expected) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  int n = ThreadsOfThisProcess();
  for (; n != expected && std::chrono::steady_clock::now() < until; n = ThreadsOfThisProcess()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return n;
}

double CpuSecondsOfThisProcess() {
  timespec t{};
  (void)clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A decode's crew is kept, asleep, and serves the next decode; no more than a few
// are kept; they end on request, and a child made by fork gets helpers of its own.
TEST(KeptCrews, ServeTheNextDecodeAsleepAndEndOnRequest) {
  if (ResolveThreadCount(0) < 2) {
    GTEST_SKIP() << "not run: a build without threads, or one core: decodes start no helper";
  }
  std::ifstream in(std::filesystem::path(KDZ_SOURCE_DIR) / "samples" / "color.kdz", std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(file.empty());
  Limits two;
  two.threads = 2;
  EndDecodeThreads();
  ASSERT_EQ(ThreadsOnceSettled(0), 0);
  RgbImage first;
  ASSERT_TRUE(Decode(file.data(), file.size(), &first, two).ok());
  ASSERT_EQ(ThreadsOfThisProcess(), 1);
  // The helper sleeps after the decode instead of spinning for the next.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double before = CpuSecondsOfThisProcess();
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_LT(CpuSecondsOfThisProcess() - before, 0.002);
  for (int k = 0; k < 10; ++k) {
    RgbImage again;
    ASSERT_TRUE(Decode(file.data(), file.size(), &again, two).ok());
    ASSERT_EQ(again.rgb, first.rgb);
    ASSERT_EQ(ThreadsOfThisProcess(), 1) << "decode " << k;
  }
  {
    BorrowedCrew kept = BorrowCrew(2);
    ASSERT_NE(kept, nullptr);
    TaskCrew* const same = kept.get();
    kept.reset();
    kept = BorrowCrew(2);
    EXPECT_EQ(kept.get(), same);
    EXPECT_EQ(ThreadsOfThisProcess(), 1);
  }
  {
    std::vector<BorrowedCrew> many;
    for (int k = 0; k < 7; ++k) many.push_back(BorrowCrew(2));
    ASSERT_EQ(ThreadsOfThisProcess(), 7);
  }
  EXPECT_EQ(ThreadsOnceSettled(4), 4);  // four kept, the rest ended

  // In a child of fork, the parent's kept helpers are gone: the child's decode
  // runs on a helper of its own and makes the same picture.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a child that hangs fails instead of hanging the test
    BorrowedCrew crew = BorrowCrew(2);
    std::atomic<bool> helped{false};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    if (crew != nullptr) {
      crew->Run({[&] {
                   while (!helped.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
                 },
                 [&, caller = std::this_thread::get_id()] { helped = std::this_thread::get_id() != caller; }});
    }
    crew.reset();
    RgbImage inChild;
    const bool same = Decode(file.data(), file.size(), &inChild, two).ok() && inChild.rgb == first.rgb;
    _exit(helped.load() && same ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  EndDecodeThreads();
  EXPECT_EQ(ThreadsOnceSettled(0), 0);
  RgbImage afterEnd;
  ASSERT_TRUE(Decode(file.data(), file.size(), &afterEnd, two).ok());
  EXPECT_EQ(afterEnd.rgb, first.rgb);
  EndDecodeThreads();
}

// With the default count a small picture starts no helper (it would wait longer for
// one than it takes to decode), a mid-sized one takes only a kept one, and a large one
// starts one; a count chosen by the caller is kept to at any size. The pictures are
// the same either way.
TEST(KeptCrews, SmallPicturesStartNoHelperOfTheirOwn) {
  if (ResolveThreadCount(0) < 2) {
    GTEST_SKIP() << "not run: a build without threads, or one core: decodes start no helper";
  }
  auto encoded = [](int side) {
    RgbImage picture;
    picture.width = picture.height = side;
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        for (int c = 0; c < 3; ++c) picture.rgb.push_back(static_cast<uint8_t>((x * (c + 1) + y * 3 + (x * y) % 17) & 0xFF));
      }
    }
    std::vector<uint8_t> file;
    EXPECT_TRUE(Encode(picture, EncodeOptions{}, &file).ok()) << side;
    return file;
  };
  const std::vector<uint8_t> small = encoded(64), mid = encoded(128), large = encoded(256);
  Limits one, two;
  one.threads = 1;
  two.threads = 2;
  auto sameOnOneThread = [&](const std::vector<uint8_t>& file, const Limits& limits) {
    RgbImage a, b;
    return Decode(file.data(), file.size(), &a, limits).ok() && Decode(file.data(), file.size(), &b, one).ok() &&
           a.rgb == b.rgb;
  };
  EndDecodeThreads();
  ASSERT_EQ(ThreadsOnceSettled(0), 0);
  EXPECT_TRUE(sameOnOneThread(small, Limits{}));
  EXPECT_TRUE(sameOnOneThread(mid, Limits{}));
  EXPECT_EQ(ThreadsOfThisProcess(), 0) << "a small or mid-sized picture started a helper";
  EXPECT_TRUE(sameOnOneThread(large, Limits{}));
  EXPECT_EQ(ThreadsOfThisProcess(), 1) << "a large picture started no helper";
  EXPECT_TRUE(sameOnOneThread(mid, Limits{}));
  EXPECT_TRUE(sameOnOneThread(small, Limits{}));
  EXPECT_EQ(ThreadsOfThisProcess(), 1);

  EndDecodeThreads();
  ASSERT_EQ(ThreadsOnceSettled(0), 0);
  EXPECT_TRUE(sameOnOneThread(small, two));
  EXPECT_EQ(ThreadsOfThisProcess(), 1) << "two threads asked for, none started";
  EndDecodeThreads();
}
#endif

}  // namespace
}  // namespace kdz

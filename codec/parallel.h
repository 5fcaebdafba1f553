// Running a few independent tasks at once. Threads are optional: a build without
// them (KDZ_HAVE_THREADS unset, as for WebAssembly) runs every task in turn on the
// caller's thread, and so does a build with them when a thread cannot be started.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace kdz {

// The number of threads a decode uses for a requested count: the count itself when
// positive, else one per core; always 1 without thread support. At most 64.
int ResolveThreadCount(int requested);

// Helper threads kept over the stages of one piece of work, so that each stage
// finds them running instead of starting threads of its own. Between stages a
// helper waits by spinning for a millisecond before it sleeps: on the virtual
// machines we run on, a core that has gone to sleep takes far longer to wake than
// a thread takes to start. The gaps between a decode's stages are shorter than
// that; a longer spin only burnt a core through the serial dithering at the end.
// On Linux the helpers are named "kdz-helper".
class TaskCrew {
 public:
  // Starts up to threads - 1 helpers at once (fewer if no more can be started).
  explicit TaskCrew(int threads);
  ~TaskCrew();  // ends the helpers; never during a Run
  TaskCrew(const TaskCrew&) = delete;
  TaskCrew& operator=(const TaskCrew&) = delete;

  // Runs every task and returns when all have finished. The first runs on the
  // caller's thread; the helpers and then the caller take the others in order, each
  // once. Tasks must not throw and must not wait for a task after them to start;
  // neither does this throw.
  void Run(const std::vector<std::function<void()>>& tasks);
  int helpers() const;
  // Sends the helpers to sleep at once when the present stage is done, instead of
  // spinning first, until the next Run: for a crew that goes idle for a while.
  void Rest();

 private:
  struct Shared;
  std::unique_ptr<Shared> shared_;
};

// Crews kept between pieces of work. Starting threads for every decode and joining
// them after costs little on an idle machine, but on a busy one a new thread may
// wait a whole time slice before it first runs, and the join at the end waits for
// it again: the decode then took twice as long as on one thread. So a decode
// borrows a crew: an idle one of its size if one is kept, else a new one; and gives
// it back at its end, when the helpers go to sleep. A few crews are kept, until the
// process ends or EndKeptCrews; a child process made by fork keeps none of its
// parent's (their threads are not in the child).
struct ReturnCrew {
  void operator()(TaskCrew* crew) const;  // keeps it, or ends it when enough are kept
};
using BorrowedCrew = std::unique_ptr<TaskCrew, ReturnCrew>;
// A crew of `threads` threads, null when not one helper can be started; with
// `mayStart` false only a kept crew, null when none is.
BorrowedCrew BorrowCrew(int threads, bool mayStart = true);
// Ends the helpers of every kept crew, for a host about to unload the library. Call
// it when no decode runs: a crew given back after it is kept again.
void EndKeptCrews();

// Runs tasks as TaskCrew::Run does, with a helper for every task after the first.
void RunTasks(const std::vector<std::function<void()>>& tasks);

// Lets other threads run, for a thread that waits on another's progress.
void YieldBriefly();

}  // namespace kdz

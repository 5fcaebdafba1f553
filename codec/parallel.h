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
// helper waits by spinning for a few milliseconds before it sleeps: on the virtual
// machines we run on, a core that has gone to sleep takes far longer to wake than
// a thread takes to start.
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

 private:
  struct Shared;
  std::unique_ptr<Shared> shared_;
};

// Runs tasks as TaskCrew::Run does, with a helper for every task after the first.
void RunTasks(const std::vector<std::function<void()>>& tasks);

// Lets other threads run, for a thread that waits on another's progress.
void YieldBriefly();

}  // namespace kdz

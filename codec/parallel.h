// Running a few independent tasks at once. Threads are optional: a build without
// them (KDZ_HAVE_THREADS unset, as for WebAssembly) runs every task in turn on the
// caller's thread, and so does a build with them when a thread cannot be started.
#pragma once

#include <functional>
#include <vector>

namespace kdz {

// The number of threads a decode uses for a requested count: the count itself when
// positive, else one per core; always 1 without thread support. At most 64.
int ResolveThreadCount(int requested);

// Runs every task and returns when all have finished. The first runs on the
// caller's thread, each other one on a thread of its own (or, failing that, on the
// caller's thread after the first). Tasks must not throw; neither does this.
void RunTasks(const std::vector<std::function<void()>>& tasks);

// Lets other threads run, for a thread that waits on another's progress.
void YieldBriefly();

}  // namespace kdz

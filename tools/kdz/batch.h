// Many files in one call: the list of jobs (files named, folders walked), and a run of
// them on several threads with a progress bar on a terminal, one line per failure and
// a summary at the end.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kdz::batch {

// One input and the output made from it. A job with a problem is reported as failed
// (naming the input) without being run.
struct Job {
  std::string input;
  std::string output;
  std::string problem;
};

// Inputs as given: files as named, and with `recursive` the files below each folder
// whose names `wanted` accepts (hidden files and folders skipped, symbolic links to
// folders not followed), in name order. Each output is OUTDIR/NAME with the input's
// extension replaced by `extension`; a walked file keeps its path below the folder.
// Two inputs that would make the same output: the later one gets a problem.
std::vector<Job> PlanJobs(const std::vector<std::string>& inputs, bool recursive,
                          const std::function<bool(const std::string& name)>& wanted,
                          const std::string& outDir, const std::string& extension);

// The name with its last extension (if any) replaced: "a/b.kdz", "png" -> "a/b.png".
std::string ReplaceExtension(const std::string& name, const std::string& extension);

// What one job did. On failure `file` names the file at fault (the input or the
// output) and `reason` says why; `warning` is a reason for a "warning:" line that does
// not fail the job; `note` is a line for standard output (shown with verbose).
struct Outcome {
  bool ok = false;
  std::string file;
  std::string reason;
  std::string warning;
  std::string note;
};

struct Options {
  int jobs = 1;          // threads
  bool quiet = false;    // no progress bar, warnings or summary unless something failed
  bool verbose = false;  // each job's note on standard output
  std::string verb;      // "decoded", "encoded": for the summary
};

// Runs every job (work is called from several threads at once) and returns the exit
// status: 0 when all succeeded, 1 when any failed.
int Run(const std::vector<Job>& jobs, const Options& options,
        const std::function<Outcome(const Job& job)>& work);

// The number of processors this process may run on.
int DefaultJobs();

}  // namespace kdz::batch

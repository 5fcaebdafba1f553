// Batch runs of the kdz tool: planning the outputs, a pool of worker threads, and the
// terminal's progress bar.
#include "tools/kdz/batch.h"

#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace kdz::batch {
namespace fs = std::filesystem;

namespace {

std::string JoinPath(const std::string& dir, const std::string& name) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d == "/" ? "/" + name : d + "/" + name;
}

std::string BaseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool Hidden(const fs::path& p) {
  const std::string name = p.filename().string();
  return !name.empty() && name[0] == '.';
}

// Files below DIR that `wanted` accepts, as paths relative to DIR, sorted.
std::vector<std::string> Walk(const std::string& dir, const std::function<bool(const std::string&)>& wanted,
                              std::string* problem) {
  std::vector<std::string> found;
  std::error_code ec;
  fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    if (Hidden(it->path())) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec) && wanted(it->path().filename().string())) {
      found.push_back(it->path().lexically_relative(dir).string());
    }
  }
  if (ec) *problem = ec.message();
  std::sort(found.begin(), found.end());
  return found;
}

std::string TimeText(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

int TerminalColumns() {
  winsize ws = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

// Output of the running batch: failure and warning lines on stderr, notes on stdout
// and, on a terminal, the progress bar on stderr's last line, which every other
// line first clears. One lock for all of it, so lines never interleave.
class Reporter {
 public:
  Reporter(size_t total, bool showBar) : total_(total), showBar_(showBar), start_(Clock::now()) {}

  void Finished(const Outcome& o, bool quiet, bool verbose) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (!o.ok) ++failed_;
    if (!o.ok || (!o.warning.empty() && !quiet) || (verbose && !o.note.empty())) ClearBar();
    if (!o.ok) std::fprintf(stderr, "kdz: %s: %s\n", o.file.c_str(), OneLine(o.reason).c_str());
    if (!o.warning.empty() && !quiet) {
      std::fprintf(stderr, "kdz: %s: warning: %s\n", o.file.c_str(), OneLine(o.warning).c_str());
    }
    // Notes stop when standard output is closed (a reader that has seen enough);
    // the files are made all the same.
    if (verbose && !o.note.empty() && !stdoutClosed_) {
      std::fprintf(stdout, "%s\n", o.note.c_str());
      stdoutClosed_ = std::fflush(stdout) != 0;
    }
    changed_.notify_all();
  }

  // Redraws the bar every tenth of a second until every job has finished.
  void ShowUntilDone() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (done_ < total_) {
      if (showBar_) DrawBar();
      changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
    ClearBar();
  }

  size_t failed() const { return failed_; }
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

 private:
  using Clock = std::chrono::steady_clock;

  static std::string OneLine(std::string s) {
    for (char& c : s) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    return s;
  }

  void ClearBar() {
    if (barShown_) {
      std::fputs("\r\033[K", stderr);
      barShown_ = false;
    }
  }

  // "[#####.....]  120/200  35.1 files/s  0:03 left", cut to the terminal's width.
  void DrawBar() {
    const double seconds = Seconds();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
    char tail[96];
    int n = std::snprintf(tail, sizeof tail, "  %zu/%zu", done_, total_);
    if (done_ > 0 && seconds > 0) {
      std::snprintf(tail + n, sizeof tail - static_cast<size_t>(n), "  %.1f files/s  %s left", rate,
                    TimeText(static_cast<double>(total_ - done_) / rate).c_str());
    }
    const int columns = TerminalColumns();
    const int barWidth = std::clamp(columns - 2 - static_cast<int>(std::strlen(tail)) - 1, 0, 40);
    std::string line = "\r";
    if (barWidth >= 10) {
      const int filled = static_cast<int>(static_cast<double>(barWidth) * static_cast<double>(done_) /
                                          static_cast<double>(total_));
      line += "[" + std::string(static_cast<size_t>(filled), '#') +
              std::string(static_cast<size_t>(barWidth - filled), '.') + "]";
    }
    line += tail;
    line += "\033[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    barShown_ = true;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t total_;
  size_t done_ = 0;
  size_t failed_ = 0;
  bool showBar_;
  bool barShown_ = false;
  bool stdoutClosed_ = false;
  Clock::time_point start_;
};

}  // namespace

std::string ReplaceExtension(const std::string& name, const std::string& extension) {
  const size_t slash = name.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > start;
  return (hasExtension ? name.substr(0, dot) : name) + "." + extension;
}

std::vector<Job> PlanJobs(const std::vector<std::string>& inputs, bool recursive,
                          const std::function<bool(const std::string&)>& wanted,
                          const std::string& outDir, const std::string& extension) {
  std::vector<Job> jobs;
  for (const std::string& in : inputs) {
    struct stat st;
    if (in == "-") {
      jobs.push_back({"-", "", "standard input is read only for a single file (without -o)"});
    } else if (stat(in.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (!recursive) {
        jobs.push_back({in, "", "is a folder (-r walks it)"});
        continue;
      }
      std::string problem;
      for (const std::string& rel : Walk(in, wanted, &problem)) {
        jobs.push_back({JoinPath(in, rel), JoinPath(outDir, ReplaceExtension(rel, extension)), ""});
      }
      if (!problem.empty()) jobs.push_back({in, "", "cannot walk the folder: " + problem});
    } else {
      // Missing and unreadable files are reported when the job runs.
      jobs.push_back({in, JoinPath(outDir, ReplaceExtension(BaseName(in), extension)), ""});
    }
  }
  std::map<std::string, std::string> owner;  // output -> the input that makes it
  for (Job& job : jobs) {
    if (!job.problem.empty()) continue;
    const std::string key = fs::path(job.output).lexically_normal().string();
    auto [at, fresh] = owner.emplace(key, job.input);
    if (!fresh) job.problem = "its output " + job.output + " is also the output of " + at->second;
  }
  return jobs;
}

int DefaultJobs() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

int Run(const std::vector<Job>& jobs, const Options& options,
        const std::function<Outcome(const Job&)>& work) {
  Reporter reporter(jobs.size(), !options.quiet && isatty(STDERR_FILENO));
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t k; (k = next.fetch_add(1)) < jobs.size();) {
      const Job& job = jobs[k];
      Outcome o;
      if (!job.problem.empty()) {
        o.file = job.input;
        o.reason = job.problem;
      } else {
        try {
          o = work(job);
        } catch (const std::bad_alloc&) {
          o = Outcome{false, job.input, "out of memory", "", ""};
        } catch (const std::exception& e) {
          o = Outcome{false, job.input, e.what(), "", ""};
        }
      }
      reporter.Finished(o, options.quiet, options.verbose);
    }
  };
  const size_t threads = std::clamp<size_t>(static_cast<size_t>(std::max(options.jobs, 1)), 1,
                                            std::max<size_t>(jobs.size(), 1));
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) pool.emplace_back(worker);
  reporter.ShowUntilDone();
  for (std::thread& t : pool) t.join();

  const size_t failed = reporter.failed();
  if (!options.quiet || failed > 0) {
    const size_t total = jobs.size();
    if (failed == 0) {
      std::fprintf(stderr, "kdz: %zu file%s %s in %.1f s\n", total, total == 1 ? "" : "s",
                   options.verb.c_str(), reporter.Seconds());
    } else {
      std::fprintf(stderr, "kdz: %zu of %zu file%s %s, %zu failed\n", total - failed, total,
                   total == 1 ? "" : "s", options.verb.c_str(), failed);
    }
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace kdz::batch

// Files for the kdz tool: whole inputs read into memory (a path or "-" for standard
// input), and outputs written under a temporary name in their own folder and renamed
// when complete, so that no reader ever sees a half-written picture. Temporary files
// are removed when the process is stopped by SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kdz/image_io.h"

namespace kdz::files {

// The name a failure line uses for "-": "stdin" or "stdout".
std::string DisplayName(const std::string& path, bool output);

// Reads the whole of PATH ("-": standard input). A file of more than maxBytes is
// refused before more than maxBytes + 64 KiB are held.
imageio::Status ReadWhole(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* data);

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (and so in every thread it
// starts later) and starts a thread that waits for them. On a signal that thread
// removes every temporary file still open, then ends the process by the same signal.
// SIGPIPE is ignored: writes to a closed pipe fail instead. Call once, before any
// thread is started.
void InstallInterruptCleanup();

// One output file. Open() creates NAME.<pid>-<n>.tmp next to PATH; Commit() renames
// it to PATH. Destroyed or discarded before Commit(), it removes the temporary file.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Discard(); }

  // overwrite false: Commit() fails with "already exists" rather than replace a file
  // that exists at that moment (checked and renamed in one step).
  imageio::Status Open(const std::string& path, bool overwrite);
  FILE* file() const { return file_; }
  imageio::Status Commit();
  void Discard();

 private:
  std::string path_;
  std::string tmp_;
  FILE* file_ = nullptr;
  bool overwrite_ = true;
};

// The reason given for an output that exists when it may not be overwritten.
extern const char kExistsReason[];

// Writes bytes to an open file (the output's temporary file or standard output).
imageio::Status WriteAll(FILE* file, const std::vector<uint8_t>& bytes);

// Flushes standard output and reports a failure to write it.
imageio::Status FinishStdout();

// Creates DIR and any missing parents; fine when it exists as a folder.
imageio::Status MakeFolders(const std::string& dir);

}  // namespace kdz::files

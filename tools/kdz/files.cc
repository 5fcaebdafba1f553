// Whole-file input, and outputs written under a temporary name and renamed, with the
// temporaries removed when a signal stops the process.
#include "tools/kdz/files.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <thread>

namespace kdz::files {

const char kExistsReason[] = "already exists (use -f to overwrite)";

namespace {

using imageio::Status;

Status ErrnoStatus(int err) { return {std::strerror(err != 0 ? err : EIO)}; }

// Every temporary file that exists and is not yet renamed. Creating, renaming and
// removing one happen under the lock, so the signal thread, which takes the lock for
// good, sees each temporary file either registered or not yet made.
std::mutex registryMutex;
std::set<std::string>* registry = new std::set<std::string>;  // never freed: the signal thread may outlive main
unsigned long temporaryCount = 0;

// Puts the file named `tmp` in the place of the regular file at `path`: the two names
// are exchanged and the old file, now named `tmp`, is removed. A reader sees the old
// file or the new one at every moment, as with a rename over it, and one that has the
// old file open keeps reading it. The difference is ext4's: it takes a rename over an
// existing file for an editor's save and writes the new file's blocks out at once,
// inside the rename, and frees the old file's blocks (written out the same way one
// decode earlier) there too. The price: after a power cut soon after, the new file may
// be found empty, as any newly written file may. Returns false, with everything as it
// was, when `path` is not a regular file or the names cannot be exchanged (a file
// system without the exchange); a plain rename follows.
bool ExchangeAndRemoveOld(const std::string& tmp, const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) return false;
  if (unlink(tmp.c_str()) == 0) return true;
  // What took the place of the file between the look and the exchange (a folder) may
  // not be removed: the names go back, and the rename reports on it.
  (void)renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
  return false;
}

void WaitForSignals(sigset_t set) {
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  registryMutex.lock();  // held until the process ends
  for (const std::string& tmp : *registry) unlink(tmp.c_str());
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(sig, &dfl, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  _exit(128 + sig);
}

}  // namespace

std::string DisplayName(const std::string& path, bool output) {
  if (path != "-") return path;
  return output ? "stdout" : "stdin";
}

Status ReadWhole(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* data) {
  const bool isStdin = path == "-";
  FILE* f = isStdin ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) return ErrnoStatus(errno);
  // Straight into the buffer, which starts at the size of a regular file (one byte
  // more, so that the end shows without a second buffer) and doubles otherwise.
  size_t room = 65536;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) {
    room = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), maxBytes)) + 1;
  }
  Status status;
  size_t got = 0;
  try {
    data->resize(room);
    for (;;) {
      const size_t n = std::fread(data->data() + got, 1, data->size() - got, f);
      got += n;
      if (got > maxBytes) {
        status = {"file is larger than " + std::to_string(maxBytes) + " bytes"};
        break;
      }
      if (got < data->size()) {
        if (std::ferror(f)) status = errno ? ErrnoStatus(errno) : Status{"read error"};
        break;
      }
      data->resize(static_cast<size_t>(std::min<uint64_t>(2 * static_cast<uint64_t>(got), maxBytes + 1)));
    }
  } catch (const std::bad_alloc&) {
    status = ErrnoStatus(ENOMEM);
  }
  data->resize(got);
  if (!isStdin) std::fclose(f);
  return status;
}

void InstallInterruptCleanup() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A closed pipe on standard output is a write error of its own (EPIPE), not the
  // end of the process with temporary files of other outputs still in place.
  signal(SIGPIPE, SIG_IGN);
  std::thread(WaitForSignals, set).detach();
}

Status OutputFile::Open(const std::string& path, bool overwrite) {
  Discard();
  path_ = path;
  overwrite_ = overwrite;
  std::lock_guard<std::mutex> lock(registryMutex);
  // A name of our own: a number that this process has not used, and O_EXCL against
  // any file of that name, left by another process or made by the user.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string tmp = path + "." + std::to_string(getpid()) + "-" + std::to_string(++temporaryCount) + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return ErrnoStatus(errno);
    }
    file_ = fdopen(fd, "wb");
    if (!file_) {
      const int err = errno;
      close(fd);
      unlink(tmp.c_str());
      return ErrnoStatus(err);
    }
    tmp_ = tmp;
    registry->insert(tmp_);
    return {};
  }
  return {"no free temporary name"};
}

Status OutputFile::Commit() {
  if (!file_) return {"output is not open"};
  int err = 0;
  if (std::fflush(file_) != 0 || std::ferror(file_)) err = errno ? errno : EIO;
  if (std::fclose(file_) != 0 && err == 0) err = errno ? errno : EIO;
  file_ = nullptr;
  std::lock_guard<std::mutex> lock(registryMutex);
  bool renamed = false;  // then the temporary name is gone
  if (err == 0) {
    if (overwrite_) {
      renamed = ExchangeAndRemoveOld(tmp_, path_) || rename(tmp_.c_str(), path_.c_str()) == 0;
      if (!renamed) err = errno;
    } else if (renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) == 0) {
      renamed = true;
    } else {
      err = errno;
      // File systems without the no-replace rename: a hard link fails the same way
      // on an existing name.
      if (err == EINVAL || err == ENOSYS) err = link(tmp_.c_str(), path_.c_str()) == 0 ? 0 : errno;
    }
  }
  if (!renamed) unlink(tmp_.c_str());  // after a failure, or the link's other name
  registry->erase(tmp_);
  tmp_.clear();
  if (err == EEXIST) return {kExistsReason};
  return err == 0 ? Status{} : ErrnoStatus(err);
}

void OutputFile::Discard() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!tmp_.empty()) {
    std::lock_guard<std::mutex> lock(registryMutex);
    unlink(tmp_.c_str());
    registry->erase(tmp_);
    tmp_.clear();
  }
}

Status WriteAll(FILE* file, const std::vector<uint8_t>& bytes) {
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    return ErrnoStatus(errno);
  }
  return {};
}

Status FinishStdout() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return ErrnoStatus(errno);
  return {};
}

Status MakeFolders(const std::string& dir) {
  if (dir.empty()) return {};
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? Status{} : Status{"not a folder"};
  }
  const size_t slash = dir.find_last_of('/', dir.size() > 1 ? dir.size() - 2 : 0);
  if (slash != std::string::npos && slash > 0) {
    if (Status s = MakeFolders(dir.substr(0, slash)); !s.ok()) return s;
  }
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return ErrnoStatus(errno);
  return {};
}

}  // namespace kdz::files

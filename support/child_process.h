// Runs a real program as a child process, for the benchmark and the tests
// that drive the real binaries: with an environment of our choosing, its
// standard output captured through a pipe, written to a file or put on a
// terminal, optionally kept to one CPU. Every wait has a deadline; a child
// that overruns is killed and the run reported as timed out, so that a
// wedged program fails its caller instead of hanging it. Reaping reports the
// child's CPU time and peak resident memory (from wait4) with the exit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace support {

// NAME=VALUE pairs added to (or replacing in) our own environment.
using Env = std::vector<std::pair<std::string, std::string>>;

// Every member has an initializer, so that callers can name just the ones
// they set ({.env = ..., .cpu = 1}).
struct ChildOptions {
  Env env = {};
  std::string cwd = {};          // empty: ours
  int terminal_fd = -1;          // when set: stdin and stdout go here, nothing is captured
  std::string stdout_path = {};  // when set: stdout goes to this file, nothing is captured
  std::string stderr_path = {};  // empty: ours
  int cpu = -1;                  // >= 0: the child runs on this CPU alone
};

struct ChildResult {
  bool exited = false;     // ended by itself within the limit
  bool timed_out = false;  // it or its output was still going at the limit (then killed)
  int status = -1;         // exit status, or 128 + signal number
  std::string output;      // what was captured
  double wall_s = 0;       // from start to exit
  double cpu_s = 0;        // user + system
  long max_rss_kib = 0;
};

class ChildProcess {
 public:
  // Starts argv[0] (searched on PATH when it has no '/'); its stdin is
  // /dev/null unless `options.terminal_fd` is set.
  ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~ChildProcess();  // ends a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The captured output so far, with what has arrived.
  const std::string& output();
  // Collects output until `text` shows up at or after `from` (true), or the
  // output closes or `limit` passes first (false).
  bool wait_for_output(std::string_view text, std::chrono::milliseconds limit,
                       std::size_t from = 0);

  void signal(int signo) const;
  // Collects output until the child has exited and closed its output; ends
  // it when `limit` passes first.
  ChildResult finish(std::chrono::milliseconds limit);
  // Sends `signo`, then waits for the exit as finish() does.
  ChildResult stop(int signo, std::chrono::milliseconds limit);

 private:
  using Clock = std::chrono::steady_clock;
  // Reads what the pipe holds, waiting until `until` for something to come.
  void pump(Clock::time_point until);
  // Reaps the child if it has exited, waiting until `until` for that.
  bool reap(Clock::time_point until);
  void kill_now();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  Clock::time_point start_;
  std::string output_;
  bool reaped_ = false;
  bool killed_ = false;  // ended by us at a limit
  int status_ = -1;
  double wall_s_ = 0;
  double cpu_s_ = 0;
  long max_rss_kib_ = 0;
};

// Starts `argv` and finishes it within `limit`.
ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options,
                      std::chrono::milliseconds limit);

// The full path of `program` on PATH, or "" when there is none.
std::string find_on_path(const std::string& program);

// Keeps the calling process to `cpu` (all CPUs again for -1).
void run_on_cpu(int cpu);

// For files a child writes: waits until `path` exists and is not empty
// (false after `limit`), and reads one whole.
bool wait_for_file(const std::string& path, std::chrono::milliseconds limit);
std::string read_file(const std::string& path);

}  // namespace support

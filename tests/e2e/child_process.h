// Runs a real program as a child process for the end-to-end tests: with an
// environment of our choosing, its standard output captured (or its standard
// input and output on a terminal), and a hard time limit. A child that
// overruns its limit is killed and the run reported as timed out, so a
// wedged program fails its test instead of hanging the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

struct ChildOptions {
  // NAME=VALUE pairs added to (or replacing in) our own environment.
  std::vector<std::pair<std::string, std::string>> env;
  std::string cwd;          // empty: ours
  int terminal_fd = -1;     // when set: stdin and stdout go here, nothing is captured
  std::string stderr_path;  // empty: ours
};

struct ChildResult {
  bool timed_out = false;
  int status = -1;  // exit status, or 128 + signal number
  std::string output;
  double seconds = 0;  // from start to exit
};

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~ChildProcess();  // kills a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

  // Collects output until `text` has appeared (true) or `limit` has passed.
  bool wait_for_output(std::string_view text, std::chrono::milliseconds limit);
  // Collects output until the child has exited and closed its output; kills
  // it when `limit` passes first.
  ChildResult finish(std::chrono::milliseconds limit);
  // Sends `signo`, then waits for the exit as finish() does.
  ChildResult stop(int signo, std::chrono::milliseconds limit);

 private:
  using Clock = std::chrono::steady_clock;
  // Reads what is there within `until`; false once the output has closed.
  bool pump(Clock::time_point until);
  bool reap(Clock::time_point until);
  void kill_now();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  Clock::time_point start_;
  std::string output_;
  bool exited_ = false;
  int status_ = -1;
  double seconds_ = 0;
};

// Starts `argv` and finishes it within `limit`.
ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options,
                      std::chrono::milliseconds limit);

// The full path of `program` on PATH, or "" when there is none.
std::string find_on_path(const std::string& program);

}  // namespace e2e

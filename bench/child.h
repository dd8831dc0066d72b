// Child processes for the benchmark and the port-fault tests: start a program
// with extra environment and its standard output in a file or a pipe, watch
// that output, signal it, and reap it with its resource use (CPU time and
// peak resident memory, from wait4), all with deadlines so that nothing here
// can hang.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bench {

using Env = std::vector<std::pair<std::string, std::string>>;

struct Ended {
  bool exited = false;  // false: still running when the deadline passed (then killed)
  int status = -1;      // exit status, or 128 + signal
  double wall_s = 0;    // from start to exit
  double cpu_s = 0;     // user + system
  long max_rss_kib = 0;
};

class Child {
 public:
  // Starts argv[0] (searched on PATH) with `env` added. Its standard output
  // goes to `stdout_path`, or, when that is empty, to a pipe that output()
  // and wait_for_output() read. With `cpu` >= 0 it runs on that CPU alone.
  Child(const std::vector<std::string>& argv, const Env& env, const std::string& stdout_path = "",
        int cpu = -1);
  ~Child();  // kills and reaps a child still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The piped output so far; reads what has arrived.
  const std::string& output();
  // Reads the piped output until `text` shows up after `from` (true), the
  // output closes or `limit` passes (false).
  bool wait_for_output(std::string_view text, std::chrono::milliseconds limit,
                       std::size_t from = 0);

  void signal(int signo) const;
  // Waits for the exit; past `limit` kills the child and says so.
  Ended wait(std::chrono::milliseconds limit);

 private:
  using Clock = std::chrono::steady_clock;
  // Reads what the pipe holds, waiting until `until` for something to come.
  void pump(Clock::time_point until);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  Clock::time_point start_;
  std::string output_;
  bool reaped_ = false;
};

// Keeps the calling process to `cpu` (all CPUs again for -1).
void run_on_cpu(int cpu);

// Waits until `path` exists and is not empty; false after `limit`.
bool wait_for_file(const std::string& path, std::chrono::milliseconds limit);
std::string read_file(const std::string& path);

}  // namespace bench

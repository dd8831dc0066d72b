#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace support {

namespace {

std::vector<std::string> child_environment(const Env& extra) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& kv) {
      return text.substr(0, text.find('=')) == kv.first;
    });
    if (!replaced) env.emplace_back(text);
  }
  for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

int open_for_writing(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed, and other threads may be running.
  std::vector<std::string> args = argv;
  std::vector<std::string> env = child_environment(options.env);
  std::vector<char*> arg_ptrs = pointers(args);
  std::vector<char*> env_ptrs = pointers(env);
  const std::string program =
      argv.at(0).find('/') == std::string::npos ? find_on_path(argv.at(0)) : argv.at(0);
  if (program.empty()) return;
  const std::string cannot_run = "cannot run " + program + "\n";
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (options.cpu >= 0) CPU_SET(options.cpu, &cpus);

  int out_pipe[2] = {-1, -1};
  int out_fd = -1;
  int null_fd = -1;
  if (options.terminal_fd < 0) {
    if (options.stdout_path.empty()) {
      if (pipe2(out_pipe, O_CLOEXEC) != 0) return;
      out_fd = out_pipe[1];
    } else {
      out_fd = open_for_writing(options.stdout_path);
      if (out_fd < 0) return;
    }
    null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  const int err_fd = options.stderr_path.empty() ? -1 : open_for_writing(options.stderr_path);

  std::fflush(nullptr);
  start_ = Clock::now();
  pid_ = fork();
  if (pid_ == 0) {
    if (options.cpu >= 0) sched_setaffinity(0, sizeof cpus, &cpus);
    if (options.terminal_fd >= 0) {
      dup2(options.terminal_fd, STDIN_FILENO);
      dup2(options.terminal_fd, STDOUT_FILENO);
    } else {
      dup2(null_fd, STDIN_FILENO);
      dup2(out_fd, STDOUT_FILENO);
    }
    if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(program.c_str(), arg_ptrs.data(), env_ptrs.data());
    const ssize_t ignored = write(STDERR_FILENO, cannot_run.data(), cannot_run.size());
    (void)ignored;
    _exit(127);
  }
  for (const int fd : {out_fd, null_fd, err_fd}) {
    if (fd >= 0) close(fd);
  }
  out_fd_ = out_pipe[0];
  if (out_fd_ >= 0 && pid_ < 0) {
    close(out_fd_);
    out_fd_ = -1;
  }
  if (out_fd_ >= 0) fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) kill_now();
  if (out_fd_ >= 0) close(out_fd_);
}

void ChildProcess::pump(Clock::time_point until) {
  if (out_fd_ < 0) return;
  bool got = false;
  for (;;) {
    char buffer[4096];
    const ssize_t n = read(out_fd_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<std::size_t>(n));
      got = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      // Closed: the child and all it started have gone.
      close(out_fd_);
      out_fd_ = -1;
      return;
    }
    if (got) return;  // all that was there; the caller looks at it
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return;
    pollfd pfd{out_fd_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) return;
  }
}

bool ChildProcess::reap(Clock::time_point until) {
  while (!reaped_) {
    int status = 0;
    rusage usage{};
    const pid_t done = wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) {
      reaped_ = true;
      status_ = exit_code(status);
      wall_s_ = std::chrono::duration<double>(Clock::now() - start_).count();
      cpu_s_ = seconds(usage.ru_utime) + seconds(usage.ru_stime);
      max_rss_kib_ = usage.ru_maxrss;
      break;
    }
    if (done < 0 && errno != EINTR) {
      reaped_ = true;  // gone without a status: nothing left to wait for
      break;
    }
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void ChildProcess::kill_now() {
  if (reaped_) return;
  killed_ = true;
  // quarnsim passes SIGTERM on to its board, which then ends its own child;
  // SIGKILL follows for anything that does not listen.
  kill(pid_, SIGTERM);
  if (reap(Clock::now() + std::chrono::seconds(2))) return;
  kill(pid_, SIGKILL);
  reap(Clock::now() + std::chrono::seconds(5));
}

const std::string& ChildProcess::output() {
  pump(Clock::now());
  return output_;
}

bool ChildProcess::wait_for_output(std::string_view text, std::chrono::milliseconds limit,
                                   std::size_t from) {
  const Clock::time_point until = Clock::now() + limit;
  for (;;) {
    if (output_.find(text, from) != std::string::npos) return true;
    if (out_fd_ < 0 || Clock::now() >= until) return false;
    pump(until);
  }
}

void ChildProcess::signal(int signo) const {
  if (pid_ > 0 && !reaped_) kill(pid_, signo);
}

ChildResult ChildProcess::finish(std::chrono::milliseconds limit) {
  ChildResult result;
  if (pid_ <= 0) return result;
  const Clock::time_point until = Clock::now() + limit;
  for (;;) {
    reap(Clock::now());
    if (reaped_ && out_fd_ < 0) break;
    if (Clock::now() >= until) {
      result.timed_out = true;
      kill_now();
      pump(Clock::now());
      break;
    }
    // Read the pipe meanwhile, so that a chatty child never blocks on it.
    if (out_fd_ >= 0) {
      pump(std::min(until, Clock::now() + std::chrono::milliseconds(20)));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  result.exited = reaped_ && !killed_ && status_ >= 0;
  result.status = status_;
  result.output = output_;
  result.wall_s = wall_s_;
  result.cpu_s = cpu_s_;
  result.max_rss_kib = max_rss_kib_;
  return result;
}

ChildResult ChildProcess::stop(int signo, std::chrono::milliseconds limit) {
  signal(signo);
  return finish(limit);
}

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options,
                      std::chrono::milliseconds limit) {
  ChildProcess child(argv, options);
  return child.finish(limit);
}

std::string find_on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string dir(dirs.substr(0, colon));
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) {
      return candidate;
    }
  }
  return {};
}

void run_on_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  for (long i = 0; i < cpus; ++i) {
    if (cpu < 0 || i == cpu) CPU_SET(i, &set);
  }
  sched_setaffinity(0, sizeof set, &set);
}

bool wait_for_file(const std::string& path, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    std::ifstream in(path);
    if (in && in.peek() != std::ifstream::traits_type::eof()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace support

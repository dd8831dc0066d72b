#include "bench/child.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

namespace {

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

void run_on_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  for (long i = 0; i < cpus; ++i) {
    if (cpu < 0 || i == cpu) CPU_SET(i, &set);
  }
  sched_setaffinity(0, sizeof set, &set);
}

Child::Child(const std::vector<std::string>& argv, const Env& env, const std::string& stdout_path,
             int cpu)
    : start_(Clock::now()) {
  int out = -1;
  int pipe_fds[2] = {-1, -1};
  if (stdout_path.empty()) {
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    out = pipe_fds[1];
  } else {
    out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return;
  }
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (cpu >= 0) run_on_cpu(cpu);
    dup2(out, STDOUT_FILENO);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  close(out);
  if (stdout_path.empty()) {
    out_fd_ = pipe_fds[0];
    fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
  }
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

void Child::pump(Clock::time_point until) {
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
    if (n == 0) {  // closed: the child and all it started have gone
      close(out_fd_);
      out_fd_ = -1;
      return;
    }
    if (errno == EINTR) continue;
    if (got) return;  // all that was there; the caller looks at it
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return;
    pollfd pfd{out_fd_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) return;
  }
}

const std::string& Child::output() {
  pump(Clock::now());
  return output_;
}

bool Child::wait_for_output(std::string_view text, std::chrono::milliseconds limit,
                            std::size_t from) {
  const Clock::time_point until = Clock::now() + limit;
  for (;;) {
    if (output_.find(text, from) != std::string::npos) return true;
    if (out_fd_ < 0 || Clock::now() >= until) return false;
    const std::size_t before = output_.size();
    pump(until);
    if (output_.size() == before && out_fd_ >= 0 && Clock::now() >= until) return false;
  }
}

void Child::signal(int signo) const {
  if (pid_ > 0 && !reaped_) kill(pid_, signo);
}

Ended Child::wait(std::chrono::milliseconds limit) {
  Ended ended;
  if (pid_ <= 0 || reaped_) return ended;
  const Clock::time_point until = Clock::now() + limit;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) {
      ended.exited = true;
      break;
    }
    if (done < 0 && errno != EINTR) break;
    if (Clock::now() >= until) {
      kill(pid_, SIGKILL);
      wait4(pid_, &status, 0, &usage);
      break;
    }
    // Read the pipe meanwhile, so that a chatty child never blocks on it.
    if (out_fd_ >= 0) {
      pump(std::min(until, Clock::now() + std::chrono::milliseconds(20)));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  reaped_ = true;
  pump(Clock::now());
  ended.status = exit_code(status);
  ended.wall_s = std::chrono::duration<double>(Clock::now() - start_).count();
  ended.cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  ended.max_rss_kib = usage.ru_maxrss;
  return ended;
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

}  // namespace bench

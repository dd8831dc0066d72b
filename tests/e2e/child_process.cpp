#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

std::vector<std::string> child_environment(const ChildOptions& options) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::any_of(options.env.begin(), options.env.end(), [&](const auto& kv) {
      return text.substr(0, text.find('=')) == kv.first;
    });
    if (!replaced) env.emplace_back(text);
  }
  for (const auto& [name, value] : options.env) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed, and other threads may be running.
  std::vector<std::string> args = argv;
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> arg_ptrs = pointers(args);
  std::vector<char*> env_ptrs = pointers(env);
  const std::string program =
      argv.at(0).find('/') == std::string::npos ? find_on_path(argv.at(0)) : argv.at(0);
  if (program.empty()) return;

  int out_pipe[2] = {-1, -1};
  if (options.terminal_fd < 0 && pipe2(out_pipe, O_CLOEXEC) != 0) return;
  int err_fd = -1;
  if (!options.stderr_path.empty()) {
    err_fd = open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }

  start_ = Clock::now();
  pid_ = fork();
  if (pid_ == 0) {
    if (options.terminal_fd >= 0) {
      dup2(options.terminal_fd, STDIN_FILENO);
      dup2(options.terminal_fd, STDOUT_FILENO);
    } else {
      const int null_fd = open("/dev/null", O_RDONLY);
      dup2(null_fd, STDIN_FILENO);
      dup2(out_pipe[1], STDOUT_FILENO);
    }
    if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(program.c_str(), arg_ptrs.data(), env_ptrs.data());
    _exit(127);
  }
  if (err_fd >= 0) close(err_fd);
  if (out_pipe[1] >= 0) close(out_pipe[1]);
  out_fd_ = out_pipe[0];
  if (pid_ < 0 && out_fd_ >= 0) {
    close(out_fd_);
    out_fd_ = -1;
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exited_) kill_now();
  if (out_fd_ >= 0) close(out_fd_);
}

bool ChildProcess::pump(Clock::time_point until) {
  if (out_fd_ < 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  pollfd pfd{out_fd_, POLLIN, 0};
  const int ready = poll(&pfd, 1, static_cast<int>(std::max<long long>(0, left.count())));
  if (ready <= 0) return true;
  char chunk[4096];
  const ssize_t got = read(out_fd_, chunk, sizeof chunk);
  if (got > 0) {
    output_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }
  if (got < 0 && errno == EINTR) return true;
  close(out_fd_);
  out_fd_ = -1;
  return false;
}

bool ChildProcess::reap(Clock::time_point until) {
  while (!exited_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      status_ = decode(status);
      seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
      break;
    }
    if (done < 0 && errno != EINTR) return false;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void ChildProcess::kill_now() {
  // quarnsim passes SIGTERM on to its board, which then ends its own child;
  // SIGKILL follows for anything that does not listen.
  kill(pid_, SIGTERM);
  if (reap(Clock::now() + std::chrono::seconds(2))) return;
  kill(pid_, SIGKILL);
  reap(Clock::now() + std::chrono::seconds(5));
}

bool ChildProcess::wait_for_output(std::string_view text, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (output_.find(text) == std::string::npos) {
    if (Clock::now() >= until || !pump(until)) return output_.find(text) != std::string::npos;
  }
  return true;
}

ChildResult ChildProcess::finish(std::chrono::milliseconds limit) {
  ChildResult result;
  if (pid_ <= 0) return result;
  const auto until = Clock::now() + limit;
  while (out_fd_ >= 0 && Clock::now() < until) pump(until);
  if (out_fd_ >= 0 || !reap(until)) {
    result.timed_out = true;
    kill_now();
  }
  result.status = status_;
  result.output = output_;
  result.seconds = seconds_;
  return result;
}

ChildResult ChildProcess::stop(int signo, std::chrono::milliseconds limit) {
  if (pid_ > 0 && !exited_) kill(pid_, signo);
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

}  // namespace e2e

// quarnsim: the virtual Quarn board on a pseudo-terminal, in real time.
//
// The process splits in two at start. The first stays where it was started
// (same session and terminal, so Ctrl-C and kill reach it) and only passes
// SIGINT/SIGTERM/SIGHUP on and returns the exit status. The second starts a
// session of its own, so that the pseudo-terminal can become its controlling
// terminal: a program that opens the port then cannot make it its own.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim/board.h"
#include "sim/quarnsim_loop.h"
#include "sim/quarnsim_options.h"
#include "sim/quarnsim_pty.h"
#include "sim/quarnsim_report.h"

namespace {

constexpr int kImageDiffers = 3;

volatile pid_t forward_to = -1;

void forward_signal(int signo) {
  if (forward_to > 0) kill(forward_to, signo);
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

int supervise(pid_t worker) {
  forward_to = worker;
  struct sigaction action {};
  action.sa_handler = forward_signal;
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
  int status = 0;
  while (waitpid(worker, &status, 0) < 0) {
    if (errno != EINTR) return 1;
  }
  return exit_code(status);
}

// The port's path for whoever started us: on stdout, or in a file that
// appears whole (written aside, then renamed), so a waiting script never
// reads half of it.
bool announce(const quarnsim::Options& options, const std::string& path) {
  if (options.port_file.empty()) {
    std::printf("QUARNPROG_PORT=%s\n", path.c_str());
    std::fflush(stdout);
    return true;
  }
  const std::string aside = options.port_file + ".tmp";
  {
    std::ofstream out(aside);
    out << path << '\n';
    if (!out) return false;
  }
  return std::rename(aside.c_str(), options.port_file.c_str()) == 0;
}

pid_t spawn(const std::vector<std::string>& run, const std::string& port) {
  const pid_t child = fork();
  if (child != 0) return child;
  // A session of its own: the board's session has the pseudo-terminal as its
  // controlling terminal, and a program in another process group of that
  // session would be stopped (SIGTTOU) when it configures the port.
  setsid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setenv("QUARNPROG_PORT", port.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& arg : run) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  std::fprintf(stderr, "quarnsim: cannot run %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

int serve(const quarnsim::Options& options, pid_t supervisor) {
  // Do not outlive the supervisor, whatever ends it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != supervisor) return 1;

  sigset_t handled;
  sigemptyset(&handled);
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, signo);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  const int signal_fd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd < 0 || setsid() < 0) {
    std::fprintf(stderr, "quarnsim: %s\n", std::strerror(errno));
    return 1;
  }

  quarnsim::Pty pty;
  std::string error;
  if (!quarnsim::open_pty(pty, error)) {
    std::fprintf(stderr, "quarnsim: %s\n", error.c_str());
    return 1;
  }
  if (!announce(options, pty.path)) {
    std::fprintf(stderr, "quarnsim: cannot write %s\n", options.port_file.c_str());
    return 1;
  }

  sim::Board board(options.board);
  quarnsim::LoopSettings settings;
  settings.power_up_ms = options.power_up_ms;
  settings.pace_host = options.pace_host;
  settings.exit_after_flash = options.exit_after_flash;
  if (!options.run.empty()) settings.child = spawn(options.run, pty.path);
  if (settings.child < 0 && !options.run.empty()) {
    std::fprintf(stderr, "quarnsim: fork: %s\n", std::strerror(errno));
    return 1;
  }

  quarnsim::LoopResult result = quarnsim::run_loop(board, pty, signal_fd, settings);
  if (settings.child > 0 && !result.child_exited) {
    kill(settings.child, SIGTERM);
    while (waitpid(settings.child, &result.child_status, 0) < 0 && errno == EINTR) {
    }
    result.child_exited = true;
  }
  bool report_ok = quarnsim::write_report(board, options);
  if (!options.times.empty()) report_ok = quarnsim::write_times(options.times, result) && report_ok;
  if (settings.child > 0) return exit_code(result.child_status);
  return report_ok ? 0 : kImageDiffers;
}

}  // namespace

int main(int argc, char** argv) {
  quarnsim::Options options;
  std::string error;
  if (!quarnsim::parse_options(argc, argv, options, error)) {
    std::fprintf(stderr, "quarnsim: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(quarnsim::usage().c_str(), stdout);
    return 0;
  }
  std::fflush(stdout);
  const pid_t supervisor = getpid();
  const pid_t worker = fork();
  if (worker < 0) {
    std::fprintf(stderr, "quarnsim: fork: %s\n", std::strerror(errno));
    return 1;
  }
  if (worker > 0) return supervise(worker);
  return serve(options, supervisor);
}

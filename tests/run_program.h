// Runs a built program over temporary files, as a test's child process,
// with a time limit, and takes what it wrote and its exit status.
#ifndef DISC_MANIFEST_TESTS_RUN_PROGRAM_H_
#define DISC_MANIFEST_TESTS_RUN_PROGRAM_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "temp_tree.h"

extern char** environ;

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;
};

struct Conditions {
  std::string cwd;
  std::vector<std::string> env;  // added to the environment
  bool fault_injection = false;  // the program's test build that fails on request
  rlim_t max_descriptors = 0;
  rlim_t max_processes = 0;      // of the user, with |unprivileged|
  // Where the console streams go, besides files of their own.
  std::string stdout_path;          // a file such as /dev/full
  bool stdout_broken_pipe = false;  // a pipe nobody reads
  bool stdout_closed = false;
  bool stderr_closed = false;
  bool stderr_merged = false;    // into standard output's file
  bool stderr_terminal = false;  // a pseudo-terminal, read into Outcome::err
  bool stdout_terminal = false;  // the same terminal, with standard error
  // Lines typed on that terminal, which is then standard input, output and
  // error: each once the program has written something and then been
  // quiet for a moment, as an operator answers a prompt.
  std::vector<std::string> typed;
  bool unprivileged = false;     // as user nobody, when run as root
  std::string program;           // run instead of the program under test
  int time_limit = 120;          // seconds, then the run is killed
  // A signal sent to the program once the terminal shows |signal_when|.
  int signal_number = 0;
  std::string signal_when;
  bool interrupts_ignored = false;  // SIGINT and SIGTERM, as for a background job
};

// Gives up root's privileges as a run with Conditions::unprivileged does:
// user and group nobody (65534).
inline bool become_nobody() { return setgid(65534) == 0 && setuid(65534) == 0; }

// The first of |paths| that user nobody cannot reach as asked (an
// access(2) mode: X_OK to run a program, R_OK | X_OK to list and search a
// folder, R_OK to read a file), or empty. Asked by that user itself, in a
// child process, so that every folder on the way counts.
inline std::string beyond_nobody(const std::vector<std::pair<std::string, int>>& paths) {
  const pid_t child = fork();
  if (child == 0) {
    if (!become_nobody()) _exit(255);
    for (size_t i = 0; i < paths.size() && i < 254; ++i) {
      if (access(paths[i].first.c_str(), paths[i].second) != 0) _exit(static_cast<int>(i) + 1);
    }
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return "(no child)";
  const int failed = WEXITSTATUS(status);
  if (failed == 0) return "";
  if (failed > static_cast<int>(paths.size())) return "(no user 65534)";
  return paths[static_cast<size_t>(failed) - 1].first;
}

// Sets |setup| to run |program| as user nobody, when the tests run as
// root; the run must also reach |folders| and read |files|. A folder on
// the program's way may be closed to others (a clone below /root, or
// below any folder of mode 0700): the program is then copied into |place|,
// which is opened to others, and run from there. Empty when nobody can
// reach all it needs, else why not, for the test to skip with.
inline std::string run_as_nobody(Conditions* setup, const std::string& program,
                                 const std::vector<std::string>& folders,
                                 const std::vector<std::string>& files, const TempDir& place) {
  setup->unprivileged = true;
  if (getuid() != 0) return "";
  setup->program = program;
  if (!beyond_nobody({{program, X_OK}}).empty()) {
    setup->program = place.path + "/" + std::filesystem::path(program).filename().string();
    std::error_code error;
    std::filesystem::copy_file(program, setup->program, error);
    if (error) return "cannot copy " + program + ": " + error.message();
    chmod(place.path.c_str(), 0755);
    chmod(setup->program.c_str(), 0755);
  }
  std::vector<std::pair<std::string, int>> needed = {{setup->program, X_OK}};
  for (const std::string& folder : folders) needed.push_back({folder, R_OK | X_OK});
  for (const std::string& file : files) needed.push_back({file, R_OK});
  const std::string beyond = beyond_nobody(needed);
  if (beyond.empty()) return "";
  return "user 65534 cannot reach " + beyond + ": a folder on its way is closed to others";
}

// Console text with Windows line ends made Linux ones.
inline std::string console(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
    text.erase(at, 1);
  return text;
}

// Appends what |terminal| holds to |*seen|, until it has been quiet for
// |quiet_ms|.
inline void drain(int terminal, std::string* seen, int quiet_ms = 0) {
  pollfd ready = {terminal, POLLIN, 0};
  char bytes[4096];
  while (poll(&ready, 1, quiet_ms) == 1 && (ready.revents & POLLIN)) {
    const ssize_t got = read(terminal, bytes, sizeof bytes);
    if (got <= 0) break;
    seen->append(bytes, static_cast<size_t>(got));
  }
}

// Waits for |child| for at most |seconds|, reading |terminal| (when it is
// not -1) into |*seen| meanwhile, so that the child never waits for room
// there, typing the lines of |*to_type| there and sending the child
// |signal_number| once the terminal shows |signal_when|; kills the child's
// process group when it takes longer. The exit status, or 128 and the
// signal.
inline int wait_with_limit(pid_t child, int seconds, int terminal, std::string* seen,
                           std::vector<std::string>* to_type, int signal_number = 0,
                           const std::string& signal_when = "") {
  int status = 0;
  auto last_seen = std::chrono::steady_clock::now();
  for (long waited_ms = 0, step = 1; ; waited_ms += step, step = std::min(step * 2, 50L)) {
    if (terminal != -1) {
      const size_t had = seen->size();
      drain(terminal, seen);
      const auto now = std::chrono::steady_clock::now();
      if (seen->size() != had) last_seen = now;
      if (!to_type->empty() && !seen->empty() && now - last_seen > std::chrono::milliseconds(300)) {
        // The Enter key sends a carriage return.
        const std::string line = to_type->front() + "\r";
        EXPECT_EQ(static_cast<ssize_t>(line.size()), write(terminal, line.data(), line.size()));
        to_type->erase(to_type->begin());
        last_seen = now;
      }
    }
    if (signal_number != 0 && seen->find(signal_when) != std::string::npos) {
      kill(child, signal_number);
      signal_number = 0;
    }
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (waited_ms > seconds * 1000L) {
      kill(-child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "the run took more than " << seconds << " s and was killed";
      break;
    }
    usleep(static_cast<useconds_t>(step * 1000));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs |argv| (the program first) with |input| on standard input.
inline Outcome run_program(const std::vector<std::string>& argv, const std::string& input,
                           const Conditions& setup = Conditions()) {
  TempDir io;
  write_file(io.path + "/in", input);
  std::vector<std::string> env_text;
  // What |setup| sets takes the place of what the test runs with.
  const auto set_by_setup = [&setup](const std::string& e) {
    for (const std::string& set : setup.env)
      if (e.compare(0, set.find('=') + 1, set, 0, set.find('=') + 1) == 0) return true;
    return false;
  };
  for (char** e = environ; *e != nullptr; ++e)
    if (!set_by_setup(*e)) env_text.push_back(*e);
  for (const std::string& e : setup.env) env_text.push_back(e);
  env_text.push_back("WINEDEBUG=-all");
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(&e[0]);
  env.push_back(nullptr);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int unread[2] = {-1, -1};
  if (setup.stdout_broken_pipe) {
    // The read end is closed before the program starts, so that no write
    // can land in the pipe's buffer.
    EXPECT_EQ(0, pipe(unread));
    close(unread[0]);
  }
  // The parent keeps a descriptor of the terminal's slave side too: once
  // the last one closes, what the child wrote can no longer be read.
  int terminal = -1;
  int terminal_slave = -1;
  const bool all_on_terminal = setup.stdout_terminal || !setup.typed.empty();
  if (setup.stderr_terminal || all_on_terminal) {
    terminal = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal, 0);
    EXPECT_EQ(0, grantpt(terminal));
    EXPECT_EQ(0, unlockpt(terminal));
    terminal_slave = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal_slave, 0);
  }

  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    if (!setup.cwd.empty() && chdir(setup.cwd.c_str()) != 0) _exit(120);
    if (setup.max_descriptors != 0) {
      rlimit limit = {setup.max_descriptors, setup.max_descriptors};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(121);
    }
    const std::string out_path = setup.stdout_path.empty() ? io.path + "/out" : setup.stdout_path;
    const int in = setup.typed.empty() ? open((io.path + "/in").c_str(), O_RDONLY) : terminal_slave;
    const int out = setup.stdout_broken_pipe ? unread[1]
                    : all_on_terminal        ? terminal_slave
                                             : open(out_path.c_str(), O_WRONLY | O_CREAT, 0600);
    const int err = setup.stderr_terminal || all_on_terminal ? terminal_slave
                                          : open((io.path + "/err").c_str(), O_WRONLY | O_CREAT, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(122);
    dup2(in, 0);
    dup2(out, 1);
    dup2(setup.stderr_merged ? out : err, 2);
    if (setup.stdout_closed) close(1);
    if (setup.stderr_closed) close(2);
    if (terminal != -1) {
      close(terminal);
      close(terminal_slave);
    }
    if (setup.max_processes != 0) {
      rlimit limit = {setup.max_processes, setup.max_processes};
      if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(125);
    }
    if (setup.unprivileged && getuid() == 0 && !become_nobody()) _exit(124);
    if (setup.interrupts_ignored) {
      signal(SIGINT, SIG_IGN);
      signal(SIGTERM, SIG_IGN);
    }
    execve(args[0], args.data(), env.data());
    _exit(123);
  }
  if (setup.stdout_broken_pipe) close(unread[1]);
  Outcome run;
  std::string seen;
  std::vector<std::string> to_type = setup.typed;
  run.status = wait_with_limit(child, setup.time_limit, terminal, &seen, &to_type, setup.signal_number,
                               setup.signal_when);
  if (terminal != -1) {
    // A terminal passes on what is written to it a little later.
    drain(terminal, &seen, 200);
    close(terminal_slave);
    close(terminal);
  }
  run.out = console(read_file(io.path + "/out"));
  if (all_on_terminal) {
    run.out = seen;
  } else {
    run.err = setup.stderr_terminal ? seen : console(read_file(io.path + "/err"));
  }
  return run;
}

#endif  // DISC_MANIFEST_TESTS_RUN_PROGRAM_H_

#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace sceneflow::testing {

struct ProgramResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// What keeps a program started by RunProgram from writing, as a full or read-only disk would.
enum class WriteLimit {
  kNone,
  // No file may grow: every write into a file fails (EFBIG), as on a full disk, while files can
  // still be created, renamed and removed. The output streams are captured through pipes.
  kFullDisk,
  // When the tests run as root, the program runs as the user and group "nobody", for whom a
  // folder without write permission is read-only as for any user (root's own permissions would
  // ignore it). The folders it reads must be open to other users.
  kUnprivileged,
};

namespace internal {

// In a child process: becomes "nobody" when running as root; ends the child when that fails.
inline void DropRootPrivileges() {
  if (geteuid() != 0) return;
  constexpr unsigned kNobody = 65534;
  if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
}

// Reads two pipes until both are closed.
inline void ReadBoth(int out, int err, std::string& out_text, std::string& err_text) {
  pollfd streams[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  std::string* texts[2] = {&out_text, &err_text};
  int open_streams = 2;
  char buffer[4096];
  while (open_streams > 0 && poll(streams, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      const ssize_t count = read(streams[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        texts[i]->append(buffer, static_cast<size_t>(count));
      } else {
        streams[i].fd = -1;
        --open_streams;
      }
    }
  }
}

}  // namespace internal

// Runs `program` with `arguments` (each passed as one argument, no shell) in `directory`, with
// standard input closed and both output streams captured, under the given write limit.
inline ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                                const std::string& directory, WriteLimit limit = WriteLimit::kNone) {
  TempDir streams;
  const std::string out_path = streams / "out";
  const std::string err_path = streams / "err";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  // Opened here, so that a program run as "nobody" starts even from folders closed to it.
  const int executable = open(program.c_str(), O_RDONLY | O_CLOEXEC);
  const bool piped = limit == WriteLimit::kFullDisk;
  int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  if (piped && (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)) return ProgramResult();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(directory.c_str()) != 0) _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int out = piped ? out_pipe[1] : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = piped ? err_pipe[1] : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (piped) {
      for (int end : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(end);
      std::signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit fails instead of ending the program
      const rlimit no_growth{0, 0};
      setrlimit(RLIMIT_FSIZE, &no_growth);
    }
    if (limit == WriteLimit::kUnprivileged) internal::DropRootPrivileges();
    fexecve(executable, argv.data(), environ);
    _exit(127);
  }
  ProgramResult result;
  if (piped) {
    close(out_pipe[1]);
    close(err_pipe[1]);
    internal::ReadBoth(out_pipe[0], err_pipe[0], result.out, result.err);
    close(out_pipe[0]);
    close(err_pipe[0]);
  }
  if (executable >= 0) close(executable);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (!piped) {
    result.out = ReadFile(out_path);
    result.err = ReadFile(err_path);
  }
  return result;
}

// Whether a program started with WriteLimit::kUnprivileged cannot create a file in `folder`: false
// where nothing makes a folder without write permission read-only (a user who may write anywhere).
inline bool FolderIsReadOnlyForUnprivilegedRuns(const std::string& folder) {
  const std::string probe = folder + "/.write-probe";
  const pid_t child = fork();
  if (child == 0) {
    internal::DropRootPrivileges();
    _exit(open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644) >= 0 ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  std::error_code ignored;
  std::filesystem::remove(probe, ignored);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct CommandResult {
  int status = -1;     // exit status, or -1 when the command did not exit normally
  std::string output;  // standard output and standard error, interleaved
};

// Runs a command line through the shell and captures both output streams together.
inline CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) result.output += buffer;
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A prefix for RunCommand that lets the command, which may begin with variable settings, use one
// CPU only: "taskset -c N env ", N the first CPU this process may use.
inline std::string OnOneCpu() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  sched_getaffinity(0, sizeof allowed, &allowed);
  int first = 0;
  while (first < CPU_SETSIZE - 1 && !CPU_ISSET(first, &allowed)) ++first;
  return "taskset -c " + std::to_string(first) + " env ";
}

// Number of lines in a text (a last line without line feed counts).
inline int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines + (!text.empty() && text.back() != '\n');
}

}  // namespace sceneflow::testing

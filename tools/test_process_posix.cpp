// test_process_posix.cpp -- children through posix_spawn, stopped by signals.
#include "tools/test_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace test_process {

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& arguments,
             const std::filesystem::path& out, const std::filesystem::path& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error(program.string() + ": " + std::strerror(failed));
  id_ = pid;
}

Child::~Child() {
  if (!waited_) wait();
}

void Child::stop(Stop how) {
  const int signal = how == Stop::Interrupt ? SIGINT
                     : how == Stop::Terminate ? SIGTERM
                     : how == Stop::Hangup    ? SIGHUP
                                              : SIGKILL;
  ::kill(static_cast<pid_t>(id_), signal);
}

int Child::wait() {
  if (waited_) return exitCode_;
  int status = 0;
  while (::waitpid(static_cast<pid_t>(id_), &status, 0) < 0 && errno == EINTR) {
  }
  waited_ = true;
  exitCode_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return exitCode_;
}

bool interruptReachesChildren() { return true; }

int run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
        const std::filesystem::path& out, const std::filesystem::path& err) {
  return Child(program, arguments, out, err).wait();
}

}  // namespace test_process

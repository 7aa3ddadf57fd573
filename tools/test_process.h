// test_process.h -- the tests' way of running a program as a person does, in a process of its
// own, the same on POSIX (test_process_posix.cpp) and on Windows (test_process_win32.cpp).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace test_process {

// How a running child is asked to stop, or made to.
enum class Stop {
  Interrupt,  // Ctrl-C: SIGINT on POSIX; on Windows Ctrl-Break, the one console event that can
              // be sent to a child's process group alone
  Terminate,  // SIGTERM (POSIX only)
  Hangup,     // SIGHUP, the terminal gone (POSIX only)
  Kill,       // SIGKILL; on Windows TerminateProcess: no chance to clear up
};

class Child {
 public:
  // Starts `program` with `arguments` (UTF-8), its standard input empty and its standard
  // output and error into the files named, made anew. Throws std::runtime_error when it cannot.
  Child(const std::filesystem::path& program, const std::vector<std::string>& arguments,
        const std::filesystem::path& out, const std::filesystem::path& err);
  ~Child();  // waits for the child if no one has
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void stop(Stop how);
  // The child's exit code, or for one a POSIX signal ended, 128 + the signal, as a shell
  // reports it.
  int wait();

 private:
  long long id_ = -1;      // the process id
  void* handle_ = nullptr;  // Windows: the process's handle
  bool waited_ = false;
  int exitCode_ = -1;
};

// Whether Stop::Interrupt reaches a child: on Windows only through a console shared with it,
// which a test run from a pipe under wine has not and cannot make.
bool interruptReachesChildren();

// Runs `program` to its end as Child does; its exit code.
int run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
        const std::filesystem::path& out, const std::filesystem::path& err);

}  // namespace test_process

// console_posix.cpp -- the console on POSIX systems: signals, termios. The arguments are the
// bytes the shell passed, taken to be UTF-8 as the programs' files and catalogues are.
#include "tools/console.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <iterator>

namespace console {
namespace {

volatile sig_atomic_t gStopSignal = 0;

void onStopSignal(int signal) { gStopSignal = signal; }

// The terminal's settings from before a password is read, while its echo is off.
termios gTerminal{};

// A signal that ends the program while the echo is off would leave the terminal so for the
// shell; the settings go back first (tcsetattr may be called in a handler), then the signal
// ends the program as it would have.
void onSignalWhileUnseen(int signal) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &gTerminal);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

Session::Session(int argc, char** argv) : arguments_(argv + (argc > 0 ? 1 : 0), argv + argc) {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
}

Session::~Session() = default;

void catchStopRequests() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // Calls under way carry on; the program sees the request at its next step.
  action.sa_flags = SA_RESTART;
  // SIGHUP: the terminal the program was started from has closed.
  for (const int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
}

int stopExitCode() {
  const int signal = gStopSignal;
  return signal ? 128 + signal : 0;
}

bool outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::optional<std::string> readUnseen(const std::string& prompt) {
  if (::isatty(STDIN_FILENO) != 1) return std::nullopt;
  termios original{};
  if (::tcgetattr(STDIN_FILENO, &original) != 0) return std::nullopt;
  termios quiet = original;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::cerr << prompt << std::flush;
  gTerminal = original;
  struct sigaction restore {}, previous[std::size(kStopSignals)];
  restore.sa_handler = onSignalWhileUnseen;
  sigemptyset(&restore.sa_mask);
  for (size_t i = 0; i < std::size(kStopSignals); ++i) ::sigaction(kStopSignals[i], &restore, &previous[i]);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  ::tcsetattr(STDIN_FILENO, TCSANOW, &original);
  for (size_t i = 0; i < std::size(kStopSignals); ++i) ::sigaction(kStopSignals[i], &previous[i], nullptr);
  // The Enter that ended the line was not echoed either.
  std::cerr << "\n";
  if (!read) return std::nullopt;
  return line;
}

std::string programFolder() {
  // Linux names the running program's file here; other systems leave the folder unknown.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

}  // namespace console

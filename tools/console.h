// console.h -- what a command-line program needs from the system around it, the same on POSIX
// (console_posix.cpp) and on Windows (console_win32.cpp): the arguments as UTF-8, standard
// output fit for text, requests to stop, a password typed unseen, and where the program lies.
// The programs include no system header themselves.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace console {

// Set up once, first thing in main, for the program's whole life. On POSIX: output into a
// closed pipe (`prog | head -1`) is lost instead of ending the program, and past the file-size
// limit a write fails with EFBIG (reported like a full disk) instead of a signal ending the
// program in the middle of a write. On Windows: the arguments are the UTF-8 of what was typed,
// the console shows the UTF-8 the program prints (its output code page is put back on exit),
// and standard output and error are binary: the program prints the same bytes on both systems,
// lines ending in "\n", which a Windows console takes as a new line, and which files and pipes
// receive as they are, as they do the program's own files. Output to a console is buffered on
// Windows; flush it where a line or a bar is complete (std::cerr flushes by itself).
class Session {
 public:
  Session(int argc, char** argv);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The arguments after the program's name, UTF-8.
  const std::vector<std::string>& arguments() const { return arguments_; }

 private:
  std::vector<std::string> arguments_;
  unsigned restoreCodePage_ = 0;
};

// From this call on, a request to stop (Ctrl-C; on POSIX SIGTERM and SIGHUP; on Windows
// Ctrl-Break and the console window closed, logging off or shutting down) no longer ends the
// program: it is recorded for the program to see at its next step. Windows allows a program a
// few seconds after its console is closed, which is time for the run to stop and clear away.
void catchStopRequests();
// 0 while no stop was asked for; else the code the program exits with, as a POSIX shell
// reports a process ended by the signal: 128 + SIGINT (130) for Ctrl-C, and Ctrl-Break too;
// 128 + SIGHUP (129) for a closed terminal or console window; 128 + SIGTERM (143) for SIGTERM,
// logging off or shutting down.
int stopExitCode();

// Whether standard output is a terminal that draws a progress bar: a carriage return goes back
// to the start of the line and "\033[K" clears it (on Windows, a console that takes these
// sequences).
bool outputIsTerminal();

// Asks `prompt` on standard error and reads one line from the terminal (the console) with its
// echo off, so that what is typed is not shown; the line end is left out. Nothing when standard
// input is no terminal (a pipe, a file) or the input ends before a line: no terminal, no
// question. Ctrl-C (or SIGTERM, SIGHUP) while the line is read ends the program as it would
// anywhere before catchStopRequests(), with the terminal's echo back on.
std::optional<std::string> readUnseen(const std::string& prompt);

// The folder holding this program's file (UTF-8), or "." when the system does not tell.
std::string programFolder();

}  // namespace console

// console_win32.cpp -- the console on Windows: control events, the console's modes and code
// pages, the command line in UTF-16. The C runtime's argv is in the ANSI code page, which
// cannot hold every name a person types; the wide command line can.
#include "tools/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace console {
namespace {

// Set by the control handler, which Windows runs on a thread of its own; read by the program.
std::atomic<int> gStopExitCode{0};

std::string utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

// The console input's mode from before a password is read, while its echo is off.
std::atomic<DWORD> gInputMode{0};

// Runs before the other handlers while a password is read: the echo comes back on, and the
// event goes on to them (by default, the end of the program).
BOOL WINAPI onControlEventWhileUnseen(DWORD) {
  ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), gInputMode);
  return FALSE;
}

BOOL WINAPI onControlEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      gStopExitCode = 128 + 2;  // as SIGINT
      return TRUE;
    case CTRL_CLOSE_EVENT:
      gStopExitCode = 128 + 1;  // as SIGHUP: the console is gone
      break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      gStopExitCode = 128 + 15;  // as SIGTERM
      break;
    default:
      return FALSE;
  }
  // After these the system ends the process as soon as the handler returns (or when its few
  // seconds are up): the handler waits, and the program's own exit, once the run has stopped
  // and cleared away, ends this thread with the rest.
  ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

Session::Session(int argc, char** argv) {
  int count = 0;
  if (wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) arguments_.push_back(utf8(wide[i], static_cast<int>(::wcslen(wide[i]))));
    ::LocalFree(wide);
  } else {
    arguments_.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
  }
  // The bytes printed are the same as on POSIX: UTF-8, lines ending in "\n". A console starts
  // a new line at "\n" alone; files and pipes get what the program's own files hold. In text
  // mode the C runtime would add "\r" before every "\n", and on its way to a console may pass
  // the text through the ANSI code page (wine's does), which garbles UTF-8.
  for (FILE* stream : {stdout, stderr}) ::_setmode(::_fileno(stream), _O_BINARY);
  // A console shows the bytes written to it in its output code page. It decodes each write on
  // its own, and the C runtime writes to a console byte by byte unless the stream is buffered:
  // both streams are, flushed by the program where a line or the bar is complete (std::cerr
  // after every output operation).
  DWORD mode = 0;
  const bool outConsole = ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
  const bool errConsole = ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  if (outConsole) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 14);
  if (errConsole) std::setvbuf(stderr, nullptr, _IOFBF, 1 << 12);
  if (outConsole || errConsole) {
    restoreCodePage_ = ::GetConsoleOutputCP();
    if (restoreCodePage_ == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8)) restoreCodePage_ = 0;
  }
}

Session::~Session() {
  std::cout.flush();
  std::cerr.flush();
  if (restoreCodePage_ != 0) ::SetConsoleOutputCP(restoreCodePage_);
}

void catchStopRequests() {
  // A process started in a group of its own begins with Ctrl-C ignored; this program takes it.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  ::SetConsoleCtrlHandler(onControlEvent, TRUE);
}

int stopExitCode() { return gStopExitCode; }

bool outputIsTerminal() {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::optional<std::string> readUnseen(const std::string& prompt) {
  const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD original = 0;
  if (in == INVALID_HANDLE_VALUE || !::GetConsoleMode(in, &original)) return std::nullopt;
  std::cerr << prompt << std::flush;
  // Line input with the echo off: the console still edits the line (backspace) but shows
  // nothing of it. Ctrl-C keeps reaching the control handlers.
  gInputMode = original;
  ::SetConsoleCtrlHandler(onControlEventWhileUnseen, TRUE);
  ::SetConsoleMode(in, (original & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                           ENABLE_PROCESSED_INPUT);
  std::wstring line;
  bool ended = false;
  wchar_t buffer[256];
  DWORD got = 0;
  while (!ended && ::ReadConsoleW(in, buffer, static_cast<DWORD>(std::size(buffer)), &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got && !ended; ++i) {
      if (buffer[i] == L'\n') {
        ended = true;
      } else if (buffer[i] != L'\r') {
        line += buffer[i];
      }
    }
  }
  ::SetConsoleMode(in, original);
  ::SetConsoleCtrlHandler(onControlEventWhileUnseen, FALSE);
  // The Enter that ended the line was not echoed either.
  std::cerr << "\n";
  if (!ended) return std::nullopt;
  return utf8(line.data(), static_cast<int>(line.size()));
}

std::string programFolder() {
  // The path can exceed MAX_PATH; the buffer grows until the name fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return ".";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::wstring folder = std::filesystem::path(path).parent_path().wstring();
  return utf8(folder.data(), static_cast<int>(folder.size()));
}

}  // namespace console

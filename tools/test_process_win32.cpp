// test_process_win32.cpp -- children through CreateProcessW, each in a process group of its own
// so that a console control event reaches the child and not the test.
#include "tools/test_process.h"

#include <windows.h>

#include <stdexcept>

namespace test_process {
namespace {

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
  return out;
}

// One argument as the C runtime's and CommandLineToArgvW's parsing gives it back: quoted when
// it holds blanks or quotes (or is empty); inside quotes, backslashes are literal except before
// a quote, where they double, and the quote is escaped.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

// Wine (8) sends neither Ctrl-Break nor an event to one process group: only Ctrl-C, and only to
// the processes of the sender's own group. There children share the test's group, and the test
// ignores Ctrl-C once it has sent one.
bool underWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

HANDLE inheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& arguments,
             const std::filesystem::path& out, const std::filesystem::path& err) {
  interruptReachesChildren();
  std::wstring commandLine = quoted(program.wstring());
  for (const std::string& a : arguments) commandLine += L" " + quoted(wide(a));
  const HANDLE in = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE outFile = inheritable(out.wstring(), GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE errFile = inheritable(err.wstring(), GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = outFile;
  startup.hStdError = errFile;
  PROCESS_INFORMATION process{};
  const BOOL started =
      in != INVALID_HANDLE_VALUE && outFile != INVALID_HANDLE_VALUE && errFile != INVALID_HANDLE_VALUE &&
      ::CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       underWine() ? 0 : CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process);
  const DWORD error = ::GetLastError();
  for (const HANDLE h : {in, outFile, errFile}) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  if (!started) throw std::runtime_error(program.string() + ": cannot start (error " + std::to_string(error) + ")");
  ::CloseHandle(process.hThread);
  handle_ = process.hProcess;
  id_ = process.dwProcessId;
}

Child::~Child() {
  if (!waited_) wait();
  ::CloseHandle(static_cast<HANDLE>(handle_));
}

void Child::stop(Stop how) {
  switch (how) {
    case Stop::Interrupt:
      if (underWine()) {
        ::SetConsoleCtrlHandler(nullptr, TRUE);
        ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
      } else {
        ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(id_));
      }
      return;
    case Stop::Kill:
      ::TerminateProcess(static_cast<HANDLE>(handle_), 128 + 9);
      return;
    default:
      throw std::logic_error("Windows has no SIGTERM or SIGHUP to send");
  }
}

int Child::wait() {
  if (waited_) return exitCode_;
  ::WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(static_cast<HANDLE>(handle_), &code);
  waited_ = true;
  exitCode_ = static_cast<int>(code);
  return exitCode_;
}

bool interruptReachesChildren() {
  // Console control events travel only between processes of one console; a test run from a
  // pipe (CTest) has none until it makes one, which its children then share.
  DWORD processes[1];
  if (::GetConsoleProcessList(processes, 1) == 0) ::AllocConsole();
  return ::GetConsoleProcessList(processes, 1) != 0;
}

int run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
        const std::filesystem::path& out, const std::filesystem::path& err) {
  return Child(program, arguments, out, err).wait();
}

}  // namespace test_process

// The platform seam on Windows (built with mingw-w64 against msvcrt).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "worker/platform.h"

// The C runtime's own wide arguments, as it would hand them to wmain (declared by no header).
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expandWildcards, void* startupInfo);

namespace tw::platform {

namespace {

struct RuntimeStartupInfo {
  int newMode = 0;
};

constexpr int kFirstNonStandardFd = kStandardError + 1;
// The largest count handed to one _read or _write call (they take an unsigned int).
constexpr size_t kMaxTransferBytes = size_t{1} << 30;

// Paths this long or longer reach the file system only with the \\?\ prefix.
constexpr size_t kLongPathUnits = MAX_PATH;
constexpr std::wstring_view kVerbatimPrefix = L"\\\\?\\";
constexpr std::wstring_view kVerbatimUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

std::wstring wideOf(const NativeText& text) {
  const std::string& units = text.units();
  std::wstring wide(units.size() / 2, L'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    const auto low = static_cast<unsigned char>(units[2 * i]);
    const auto high = static_cast<unsigned char>(units[2 * i + 1]);
    wide[i] = static_cast<wchar_t>(low | (high << 8));
  }
  return wide;
}

NativeText nativeOf(std::wstring_view wide) {
  std::string units(2 * wide.size(), '\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    const auto unit = static_cast<unsigned>(wide[i]);
    units[2 * i] = static_cast<char>(unit & 0xFF);
    units[2 * i + 1] = static_cast<char>(unit >> 8);
  }
  return NativeText(std::move(units));
}

// The form of `path` that CreateFileW accepts whatever its length: unchanged when already in a
// verbatim or device form or when its absolute form stays below MAX_PATH (a short relative path
// may name a long one); otherwise that absolute form with the \\?\ prefix (\\?\UNC\ for a
// network path). Nothing when a long path cannot be made absolute.
std::optional<std::wstring> openablePath(const std::wstring& path) {
  if (path.starts_with(kVerbatimPrefix) || path.starts_with(kDevicePrefix)) return path;
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(needed, L'\0');
  const DWORD written =
      needed == 0 ? 0 : ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) {
    if (path.size() < kLongPathUnits) return path;  // CreateFileW judges it as it stands
    return std::nullopt;
  }
  full.resize(written);
  if (full.size() < kLongPathUnits) return path;
  if (full.starts_with(L"\\\\")) return std::wstring(kVerbatimUncPrefix) + full.substr(2);
  return std::wstring(kVerbatimPrefix) + full;
}

void notInherited(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle != INVALID_HANDLE_VALUE) (void)::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

void prepareProcess() {
  // No dialog box ever waits for a person: a failing open or a crash just fails.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Text mode would add a carriage return before every line feed and end input at byte 0x1A.
  // A stream that is not open stays as it is; its reads and writes fail later.
  for (const int stream : {kStandardInput, kStandardOutput, kStandardError}) {
    (void)::_setmode(stream, _O_BINARY);
  }
}

void endProcess(int status) {
  // Ending the process from within ends it without the library detach calls that ExitProcess
  // makes first; the exit code is `status` all the same.
  (void)::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
  std::_Exit(status);
}

NativeText NativeText::fromUtf8(std::string_view text) {
  if (text.empty()) return NativeText();
  const int size = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
  if (needed > 0) (void)::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
  return nativeOf(wide);
}

bool NativeText::is(std::string_view ascii) const {
  if (units_.size() != 2 * ascii.size()) return false;
  for (size_t i = 0; i < ascii.size(); ++i) {
    if (units_[2 * i] != ascii[i] || units_[2 * i + 1] != '\0') return false;
  }
  return true;
}

std::optional<std::vector<NativeText>> processArguments(int, char**) {
  // The narrow arguments went through the ANSI code page, which cannot hold every path; the wide
  // ones are the command line as it was given, split by the runtime's rules for wmain.
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  RuntimeStartupInfo startupInfo;
  if (::__wgetmainargs(&count, &wide, &environment, 0, &startupInfo) != 0 || wide == nullptr) {
    return std::nullopt;
  }
  std::vector<NativeText> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(nativeOf(wide[i]));
  return arguments;
}

std::optional<FileHandle> openExclusive(const NativeText& path) {
  const std::wstring wide = wideOf(path);
  // A NUL unit would cut the path short: it names no file as given.
  if (wide.find(L'\0') != std::wstring::npos || path.units().size() % 2 != 0) return std::nullopt;
  const std::optional<std::wstring> openable = openablePath(wide);
  if (!openable) return std::nullopt;
  // Share mode 0: no other open of the file succeeds while this handle is open. No security
  // attributes: the handle is not inherited.
  const HANDLE file = ::CreateFileW(openable->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  return reinterpret_cast<FileHandle>(file);
}

void closeExclusive(FileHandle file) {
  (void)::CloseHandle(reinterpret_cast<HANDLE>(file));
}

std::ptrdiff_t readSome(int stream, char* buffer, size_t capacity) {
  const auto count =
      static_cast<unsigned>(capacity < kMaxTransferBytes ? capacity : kMaxTransferBytes);
  // A pipe whose writer has gone reads as the end of input.
  return ::_read(stream, buffer, count);
}

std::ptrdiff_t writeSome(int stream, const char* bytes, size_t size) {
  const auto count = static_cast<unsigned>(size < kMaxTransferBytes ? size : kMaxTransferBytes);
  // A pipe without a reader fails the write; there is no signal.
  return ::_write(stream, bytes, count);
}

std::ptrdiff_t lendSome(int stream, const char* bytes, size_t size) {
  return writeSome(stream, bytes, size);  // a pipe here always takes a copy
}

int duplicateStream(int stream) {
  // _dup takes the lowest free number, which is a standard one when that stream is not open;
  // such copies are held until one lands above them, then let go.
  std::vector<int> standardCopies;
  int copy = ::_dup(stream);
  while (copy >= 0 && copy < kFirstNonStandardFd) {
    standardCopies.push_back(copy);
    copy = ::_dup(stream);
  }
  for (const int held : standardCopies) (void)::_close(held);
  if (copy >= 0) notInherited(copy);
  return copy;
}

void closeStream(int stream) {
  (void)::_close(stream);
}

void sleepMilliseconds(uint64_t ms) {
  // The performance counter is monotonic. Sleep may end a little early or late against it; the
  // loop sleeps again for what is left until the deadline has passed.
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  (void)::QueryPerformanceFrequency(&frequency);
  (void)::QueryPerformanceCounter(&now);
  const auto ticksPerSecond = static_cast<uint64_t>(frequency.QuadPart);
  const uint64_t start = static_cast<uint64_t>(now.QuadPart);
  const uint64_t deadline = start + ms / 1000 * ticksPerSecond + ms % 1000 * ticksPerSecond / 1000;
  for (;;) {
    (void)::QueryPerformanceCounter(&now);
    const auto current = static_cast<uint64_t>(now.QuadPart);
    if (current >= deadline) return;
    const uint64_t leftTicks = deadline - current;
    // Rounded up, so that the last sleep does not end just before the deadline.
    const uint64_t leftMs =
        leftTicks / ticksPerSecond * 1000 +
        (leftTicks % ticksPerSecond * 1000 + ticksPerSecond - 1) / ticksPerSecond;
    ::Sleep(static_cast<DWORD>(leftMs < INFINITE ? leftMs : INFINITE - 1));
  }
}

void prepareSessionHeap() {
  // The process heap's own low-fragmentation front end serves the session as it is.
}

size_t widenPipe(int, size_t) {
  // An anonymous pipe keeps the buffer size its maker asked for, which is advice to the system.
  return 0;
}

void lowerThisThreadPriority() {
  (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_IDLE);
}

int currentProcessor() {
  return static_cast<int>(::GetCurrentProcessorNumber());
}

namespace {
thread_local DWORD_PTR processorsBefore = 0;  // 0 while the thread is not kept off one
}  // namespace

// Within the process's processor group, which is the only one a mask names.
bool keepThisThreadOff(int processor) {
  constexpr int kMaskBits = static_cast<int>(sizeof(DWORD_PTR) * CHAR_BIT);
  DWORD_PTR allowed = 0;
  DWORD_PTR system = 0;
  if (processorsBefore != 0 || processor < 0 || processor >= kMaskBits) return false;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &allowed, &system)) return false;
  const DWORD_PTR others = allowed & ~(DWORD_PTR{1} << processor);
  if (others == 0 || others == allowed) return false;
  processorsBefore = ::SetThreadAffinityMask(::GetCurrentThread(), others);
  return processorsBefore != 0;
}

void letThisThreadRunAnywhere() {
  if (processorsBefore == 0) return;
  (void)::SetThreadAffinityMask(::GetCurrentThread(), processorsBefore);
  processorsBefore = 0;
}

namespace {

// An argument quoted for CommandLineToArgvW and the C runtime's own splitting: in quotes when it
// is empty or holds a space, tab or quote; backslashes doubled only before a quote.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (const wchar_t unit : argument) {
    if (unit == L'\\') {
      ++backslashes;
      continue;
    }
    if (unit == L'"')
      line.append(2 * backslashes + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += unit;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

std::string lastErrorText(const char* what) {
  return std::string(what) + " failed (error " + std::to_string(::GetLastError()) + ")";
}

// The handles a child may inherit, named in its start-up attributes.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {}
  ~InheritList() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST make() {
    SIZE_T size = 0;
    (void)::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return nullptr;
    list_ = list;
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      return nullptr;
    }
    return list;
  }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Held while a child's ends are inheritable: a system that ignores the handle list would give
// them to a child another thread starts meanwhile, and that child would hold them for its life.
std::mutex inheritableEnds;

std::atomic<int> noticedInterrupt{0};
constexpr int kInterruptSignal = 2;  // SIGINT's number, as POSIX hosts know it

BOOL WINAPI noteInterrupt(DWORD) {
  int none = 0;
  noticedInterrupt.compare_exchange_strong(none, kInterruptSignal);
  return TRUE;  // handled: the process goes on and ends its workers itself
}

}  // namespace

std::optional<StartedProcess> startProcess(const NativeText& program,
                                           const std::vector<NativeText>& arguments,
                                           std::string& error) {
  // Both pipes are made uninheritable; the child's ends alone are then marked inheritable and
  // named in the child's handle list, so that a child started at the same time by another thread
  // never receives them.
  HANDLE inputRead = nullptr;
  HANDLE inputWrite = nullptr;
  HANDLE outputRead = nullptr;
  HANDLE outputWrite = nullptr;
  HANDLE errorCopy = nullptr;
  auto closeAll = [&] {
    for (HANDLE handle : {inputRead, inputWrite, outputRead, outputWrite, errorCopy}) {
      if (handle != nullptr) (void)::CloseHandle(handle);
    }
  };
  if (!::CreatePipe(&inputRead, &inputWrite, nullptr, 0) ||
      !::CreatePipe(&outputRead, &outputWrite, nullptr, 0)) {
    error = lastErrorText("CreatePipe");
    closeAll();
    return std::nullopt;
  }
  std::unique_lock<std::mutex> inheritable(inheritableEnds);
  (void)::SetHandleInformation(inputRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  (void)::SetHandleInformation(outputWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  std::vector<HANDLE> inherited{inputRead, outputWrite};
  const HANDLE standardError = ::GetStdHandle(STD_ERROR_HANDLE);
  if (standardError != nullptr && standardError != INVALID_HANDLE_VALUE &&
      ::DuplicateHandle(::GetCurrentProcess(), standardError, ::GetCurrentProcess(), &errorCopy, 0,
                        TRUE, DUPLICATE_SAME_ACCESS)) {
    inherited.push_back(errorCopy);
  } else {
    errorCopy = nullptr;
  }

  InheritList inheritList(inherited);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inputRead;
  startup.StartupInfo.hStdOutput = outputWrite;
  startup.StartupInfo.hStdError = errorCopy;
  startup.lpAttributeList = inheritList.make();
  if (startup.lpAttributeList == nullptr) {
    error = lastErrorText("the child's handle list");
    closeAll();
    return std::nullopt;
  }

  const std::wstring path = wideOf(program);
  std::wstring line;
  appendQuoted(line, path);
  for (const NativeText& argument : arguments) {
    line += L' ';
    appendQuoted(line, wideOf(argument));
  }
  // No shell: the program is started as named. A process group of its own keeps the console's
  // Ctrl-C from it; the parent ends it.
  PROCESS_INFORMATION started{};
  const BOOL created = ::CreateProcessW(
      path.c_str(), line.data(), nullptr, nullptr, TRUE,
      EXTENDED_STARTUPINFO_PRESENT | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT, nullptr,
      nullptr, &startup.StartupInfo, &started);
  if (!created) {
    error = lastErrorText("CreateProcessW");
    closeAll();
    return std::nullopt;
  }
  (void)::CloseHandle(started.hThread);
  // The child holds its own copies of its ends now.
  (void)::CloseHandle(inputRead);
  (void)::CloseHandle(outputWrite);
  if (errorCopy != nullptr) (void)::CloseHandle(errorCopy);
  inheritable.unlock();
  const int inputFd = ::_open_osfhandle(reinterpret_cast<intptr_t>(inputWrite), _O_BINARY);
  const int outputFd = ::_open_osfhandle(reinterpret_cast<intptr_t>(outputRead), _O_BINARY);
  return StartedProcess{reinterpret_cast<ProcessHandle>(started.hProcess), inputFd, outputFd};
}

void awaitProcessEnd(ProcessHandle process) {
  (void)::WaitForSingleObject(reinterpret_cast<HANDLE>(process), INFINITE);
}

// The process handle itself tells the end.
ProcessWatch::ProcessWatch(ProcessHandle process) : process_(process) {}

ProcessWatch::~ProcessWatch() = default;

bool ProcessWatch::awaitEndFor(std::chrono::microseconds timeout) {
  const auto ms = static_cast<DWORD>((timeout.count() + 999) / 1000);
  return ::WaitForSingleObject(reinterpret_cast<HANDLE>(process_), ms) != WAIT_TIMEOUT;
}

void endProcessNow(ProcessHandle process) {
  (void)::TerminateProcess(reinterpret_cast<HANDLE>(process), 1);
}

ProcessEnd releaseProcess(ProcessHandle process) {
  const auto handle = reinterpret_cast<HANDLE>(process);
  DWORD code = 0;
  ProcessEnd end;
  if (::GetExitCodeProcess(handle, &code) && code != STILL_ACTIVE) {
    end.exited = true;
    end.code = static_cast<int>(code);
  }
  (void)::CloseHandle(handle);
  return end;
}

void catchInterrupts() {
  (void)::SetConsoleCtrlHandler(noteInterrupt, TRUE);
}

int interruptSignal() {
  return noticedInterrupt.load();
}

unsigned processorsAvailable() {
  DWORD_PTR allowed = 0;
  DWORD_PTR system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &allowed, &system)) return 1;
  unsigned count = 0;
  for (; allowed != 0; allowed &= allowed - 1) ++count;
  return count > 0 ? count : 1;
}

namespace {

std::string utf8Of(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int needed =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    (void)::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), needed, nullptr,
                                nullptr);
  }
  return text;
}

std::wstring wideOfUtf8(const std::string& text) {
  return wideOf(NativeText::fromUtf8(text));
}

}  // namespace

std::string thisExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return utf8Of(path);
    }
    path.resize(2 * path.size());
  }
}

std::string_view executableSuffix() {
  return ".exe";
}

bool isExecutableFile(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(wideOfUtf8(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool isTerminal(int stream) {
  return ::_isatty(stream) != 0;
}

bool replaceFileAtomically(const std::string& path, std::string_view bytes, Durability durability) {
  const std::wstring target = wideOfUtf8(path);
  const std::wstring temporary = target + L".tmp-" + std::to_wstring(::GetCurrentProcessId());
  const HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  while (ok && !bytes.empty()) {
    const DWORD chunk =
        static_cast<DWORD>(bytes.size() < kMaxTransferBytes ? bytes.size() : kMaxTransferBytes);
    DWORD written = 0;
    ok = ::WriteFile(file, bytes.data(), chunk, &written, nullptr) && written > 0;
    if (ok) bytes.remove_prefix(written);
  }
  const bool flushed = durability == Durability::Flushed;
  if (flushed) ok = ok && ::FlushFileBuffers(file);
  ok = ::CloseHandle(file) && ok;
  ok = ok && ::MoveFileExW(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | (flushed ? MOVEFILE_WRITE_THROUGH : 0));
  if (!ok) (void)::DeleteFileW(temporary.c_str());
  return ok;
}

int openForReading(const std::string& path, std::string& error) {
  const std::wstring wide = wideOfUtf8(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = path + " is a directory, not a file";
    return -1;
  }
  const int fd = ::_wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) error = "cannot open " + path + ": " + std::strerror(errno);
  return fd;
}

std::ptrdiff_t readFileAt(int stream, uint64_t offset, char* buffer, size_t capacity) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(stream));
  if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_DISK) return -1;
  const __int64 before = ::_lseeki64(stream, 0, SEEK_CUR);
  if (before < 0 || ::_lseeki64(stream, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  const std::ptrdiff_t got = readSome(stream, buffer, capacity);
  (void)::_lseeki64(stream, before, SEEK_SET);
  return got;
}

std::optional<size_t> bytesWaiting(int stream) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(stream));
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  switch (::GetFileType(handle)) {
    case FILE_TYPE_PIPE: {
      DWORD available = 0;
      if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
        // A pipe whose writer is gone has nothing waiting; the next read tells the end. Any
        // other failure leaves it unknown: a pipe that cannot be peeked (Wine's stand-in for a
        // pipe its host process made) may hold bytes, or get them later.
        if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
        return std::nullopt;
      }
      return static_cast<size_t>(available);
    }
    case FILE_TYPE_DISK: {
      LARGE_INTEGER size{};
      LARGE_INTEGER position{};
      if (!::GetFileSizeEx(handle, &size) ||
          !::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT)) {
        return std::nullopt;
      }
      return size.QuadPart > position.QuadPart
                 ? static_cast<size_t>(size.QuadPart - position.QuadPart)
                 : 0;
    }
    default:
      return std::nullopt;
  }
}

// An anonymous pipe cannot be waited on without reading it, so the wait looks at it once a
// millisecond.
void waitUntilReadable(int stream) {
  constexpr DWORD kLookEveryMs = 1;
  for (;;) {
    const std::optional<size_t> waiting = bytesWaiting(stream);
    if (!waiting || *waiting > 0) return;
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(stream));
    DWORD available = 0;
    if (::GetFileType(handle) != FILE_TYPE_PIPE ||
        !::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
      return;  // a file at its end, or a pipe whose writer is gone: the read tells which
    }
    ::Sleep(kLookEveryMs);
  }
}

void prepareRecordHeap() {
  // The process heap's own low-fragmentation front end serves the records as it is.
}

}  // namespace tw::platform

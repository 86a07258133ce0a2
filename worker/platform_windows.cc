// The platform seam on Windows (built with mingw-w64 against msvcrt).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdlib>

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

void widenPipe(int, size_t) {
  // An anonymous pipe keeps the buffer size its maker asked for.
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

std::optional<size_t> bytesWaiting(int stream) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(stream));
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  switch (::GetFileType(handle)) {
    case FILE_TYPE_PIPE: {
      DWORD available = 0;
      // A pipe whose writer is gone has nothing waiting; the next read tells the end.
      if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) return 0;
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

}  // namespace tw::platform

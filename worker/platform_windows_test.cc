#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "worker/fd_io.h"
#include "worker/platform.h"

namespace tw::platform {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  // A folder no earlier run has used: one that a run left behind (a path too long for the
  // removal to reach, under Wine) may carry the same process number.
  TempFolder() {
    const std::string stem = "tw-platform-" + std::to_string(::GetCurrentProcessId()) + "-";
    for (unsigned attempt = 0;; ++attempt) {
      path_ = fs::temp_directory_path() / (stem + std::to_string(attempt));
      std::error_code error;
      if (fs::create_directory(path_, error)) return;
      if (error) throw fs::filesystem_error("cannot make a test folder", path_, error);
    }
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

NativeText nativeOf(const fs::path& path) {
  return NativeText::fromUtf8(reinterpret_cast<const char*>(path.u8string().c_str()));
}

// A worker in session mode on `fence` that has answered "start": it holds the fence.
struct Holder {
  PROCESS_INFORMATION process{};
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  ~Holder() {
    for (HANDLE h : {process.hProcess, process.hThread, input, output}) {
      if (h != nullptr) ::CloseHandle(h);
    }
  }
};

std::string firstLineOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  std::getline(in, line);
  return line + "\n";
}

::testing::AssertionResult startHolder(const fs::path& fence, Holder& holder) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childInput = nullptr;
  HANDLE childOutput = nullptr;
  if (!::CreatePipe(&childInput, &holder.input, &inherited, 0) ||
      !::CreatePipe(&holder.output, &childOutput, &inherited, 0)) {
    return ::testing::AssertionFailure() << "CreatePipe";
  }
  ::SetHandleInformation(holder.input, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(holder.output, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = childOutput;
  const std::wstring program = fs::path(TW_WORKER_EXE).wstring();
  std::wstring commandLine =
      L"\"" + program + L"\" --c5 --execution-fence \"" + fence.wstring() + L"\"";
  const BOOL created = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &holder.process);
  ::CloseHandle(childInput);
  ::CloseHandle(childOutput);
  if (!created) return ::testing::AssertionFailure() << "CreateProcessW " << ::GetLastError();
  const std::string start = firstLineOf(fs::path(TW_SOURCE_DIR) / "examples/session.ndjson");
  DWORD count = 0;
  if (!::WriteFile(holder.input, start.data(), static_cast<DWORD>(start.size()), &count, nullptr)) {
    return ::testing::AssertionFailure() << "WriteFile";
  }
  std::string answer;
  char byte;
  while (answer.find('\n') == std::string::npos &&
         ::ReadFile(holder.output, &byte, 1, &count, nullptr) && count == 1) {
    answer.push_back(byte);
  }
  if (answer.rfind("{\"kind\":\"started\"", 0) != 0) {
    return ::testing::AssertionFailure() << "holder answered: " << answer;
  }
  return ::testing::AssertionSuccess();
}

TEST(PlatformWindows, FenceIsHeldThenFreedOnceItsHolderIsKilled) {
  TempFolder folder;
  const fs::path fence = folder.path() / "fence";
  Holder holder;
  ASSERT_TRUE(startHolder(fence, holder));
  EXPECT_FALSE(openExclusive(nativeOf(fence)).has_value());

  ASSERT_TRUE(::TerminateProcess(holder.process.hProcess, 9));
  ASSERT_EQ(::WaitForSingleObject(holder.process.hProcess, 10000), WAIT_OBJECT_0);
  // The system closes the holder's handles shortly after the process has ended.
  std::optional<FileHandle> taken;
  for (int attempt = 0; attempt < 500 && !taken; ++attempt) {
    taken = openExclusive(nativeOf(fence));
    if (!taken) ::Sleep(10);
  }
  ASSERT_TRUE(taken.has_value());
  closeExclusive(*taken);
}

TEST(PlatformWindows, FenceOpensLongAndAccentedPathsAndRefusesUnopenableOnes) {
  TempFolder folder;
  const fs::path deep = folder.path() / std::string(120, 'd') / std::string(120, 'e');
  fs::create_directories(deep);
  for (const fs::path& fence : {deep / "fence", folder.path() / u8"cl\u00f4ture \u00e9t\u00e9"}) {
    SCOPED_TRACE(fence.string());
    const std::optional<FileHandle> first = openExclusive(nativeOf(fence));
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(openExclusive(nativeOf(fence)).has_value());
    closeExclusive(*first);
    EXPECT_TRUE(fs::exists(fence));
    const std::optional<FileHandle> again = openExclusive(nativeOf(fence));
    ASSERT_TRUE(again.has_value());
    closeExclusive(*again);
  }
  EXPECT_GT(fs::absolute(deep / "fence").wstring().size(), size_t{MAX_PATH});
  for (const fs::path& unopenable :
       {folder.path() / "missing" / "fence", fs::path(), folder.path()}) {
    EXPECT_FALSE(openExclusive(nativeOf(unopenable)).has_value()) << unopenable.string();
  }
}

TEST(PlatformWindows, ArgumentsCompareUnitForUnit) {
  EXPECT_TRUE(NativeText::fromUtf8("--c5").is("--c5"));
  for (const char* other : {"--C5", "--c5 ", "--c", ""}) {
    EXPECT_FALSE(NativeText::fromUtf8(other).is("--c5")) << other;
  }
}

TEST(PlatformWindows, StandardStreamsAreBinaryAndAClosedReaderFailsTheWrite) {
  prepareProcess();
  for (const int stream : {kStandardInput, kStandardOutput, kStandardError}) {
    EXPECT_EQ(::_setmode(stream, _O_BINARY), _O_BINARY) << stream;
  }
  int fds[2];
  ASSERT_EQ(::_pipe(fds, 4096, _O_BINARY), 0);
  const std::string bytes("a\r\n\x1a\nb", 6);
  ASSERT_TRUE(writeAll(fds[1], bytes));
  char back[16];
  EXPECT_EQ(readSome(fds[0], back, sizeof back), 6);
  EXPECT_EQ(std::string(back, 6), bytes);
  closeStream(fds[0]);
  EXPECT_EQ(writeSome(fds[1], "x", 1), -1);
  EXPECT_FALSE(writeAll(fds[1], "line\n"));
  closeStream(fds[1]);
}

TEST(PlatformWindows, BytesWaitingCountsAPipeUntilItsWriterIsGone) {
  int fds[2];
  ASSERT_EQ(::_pipe(fds, 4096, _O_BINARY), 0);
  EXPECT_EQ(bytesWaiting(fds[0]), 0u);
  ASSERT_TRUE(writeAll(fds[1], "line\n"));
  EXPECT_EQ(bytesWaiting(fds[0]), 5u);
  waitUntilReadable(fds[0]);  // bytes are there: returns at once
  char back[8];
  ASSERT_EQ(readSome(fds[0], back, sizeof back), 5);
  closeStream(fds[1]);
  EXPECT_EQ(bytesWaiting(fds[0]), 0u);  // a broken pipe, not an unknown one
  waitUntilReadable(fds[0]);            // the writer is gone: returns at once
  closeStream(fds[0]);
}

TEST(PlatformWindows, SleepsUntilTheDeadline) {
  using Clock = std::chrono::steady_clock;
  for (const uint64_t ms : {0, 1, 16, 40, 120}) {
    const auto begun = Clock::now();
    sleepMilliseconds(ms);
    const auto slept = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begun);
    EXPECT_GE(slept.count(), static_cast<int64_t>(ms * 1000)) << ms;
    EXPECT_LT(slept.count(), static_cast<int64_t>(ms * 1000 + 1000000)) << ms;
  }
}

}  // namespace
}  // namespace tw::platform

// The worker's one seam to the operating system. Every call that differs between platforms is
// declared here and made in platform_posix.cc or platform_windows.cc; the build compiles one of
// the two. Nothing else in the worker names a system call.
//
// Standard streams and duplicates of them are C runtime descriptors (0, 1, 2, ...) on every
// platform; the fence is a native file handle.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::platform {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Made once, first thing in the process: a closed reader of standard output becomes a failed
// write rather than the end of the process, and the standard streams pass bytes unchanged.
void prepareProcess();

// Ends the process at once with `status`: no exit handlers, no flushing (nothing is buffered),
// every other thread ending where it stands.
[[noreturn]] void endProcess(int status);

// A text as the platform hands it over and takes it back, unit for unit: bytes on POSIX, UTF-16
// code units on Windows (held as their little-endian byte pairs). Never converted on the way.
class NativeText {
 public:
  NativeText() = default;
  explicit NativeText(std::string units) : units_(std::move(units)) {}
  // The platform's form of UTF-8 text (on POSIX the bytes themselves); used by tests and tools.
  static NativeText fromUtf8(std::string_view text);

  // True when this is exactly `ascii`, unit for unit, case and length included.
  [[nodiscard]] bool is(std::string_view ascii) const;
  const std::string& units() const { return units_; }

 private:
  std::string units_;
};

// The arguments after the program name, as the platform delivers them; `argc` and `argv` are
// main's (Windows reads the wide command line instead). Nothing when they cannot be had.
[[nodiscard]] std::optional<std::vector<NativeText>> processArguments(int argc, char** argv);

// A native handle of an open file (a descriptor on POSIX, a HANDLE on Windows).
using FileHandle = std::intptr_t;

// Opens `path` for reading and writing, creating it empty when missing, never truncating it,
// not inherited by child processes, and held exclusively: while it is open, the same call on the
// same path fails at once, from this process or another. Nothing when the file cannot be opened
// or is held, whatever the cause.
[[nodiscard]] std::optional<FileHandle> openExclusive(const NativeText& path);
// Closes a handle from openExclusive; the exclusion ends with it, even where a child being
// started still holds a copy of the handle.
void closeExclusive(FileHandle file);

// One read of at most `capacity` bytes, repeated while interrupted. Returns the number of bytes
// read, 0 at end of input, or -1 on failure.
[[nodiscard]] std::ptrdiff_t readSome(int stream, char* buffer, size_t capacity);
// One write of at most `size` bytes, repeated while interrupted. Returns the number of bytes
// written or -1 on failure (a closed reader included).
[[nodiscard]] std::ptrdiff_t writeSome(int stream, const char* bytes, size_t size);
// As writeSome, for a pipe: where the system can, the pipe takes the pages holding the bytes
// instead of a copy of them, and its reader copies them out. REQUIRES: the bytes stay unchanged
// until they are read or the pipe is gone.
[[nodiscard]] std::ptrdiff_t lendSome(int stream, const char* bytes, size_t size);
// A second descriptor of `stream`, never one of the three standard numbers and not inherited by
// child processes; -1 on failure.
[[nodiscard]] int duplicateStream(int stream);
void closeStream(int stream);

// Returns once `ms` milliseconds of monotonic time have passed since the call, whatever
// interrupts the sleep on the way.
void sleepMilliseconds(uint64_t ms);

// Heap settings for the process's one session, made before its threads start. They change
// where memory comes from, never a result.
void prepareSessionHeap();
// Where `stream` is a pipe whose buffer holds fewer than `bytes`, asks for a buffer of `bytes`:
// a writer then runs ahead of its reader longer before it must wait, and the reader takes more
// at each read. Never makes a buffer smaller. Advice only: refused, or where a pipe keeps the
// size its maker gave it, nothing changes but the timing. Returns the bytes the pipe's buffer
// now holds, or 0 where the system does not say.
size_t widenPipe(int stream, size_t bytes);
// From now on the calling thread runs only when nothing else wants the processor. A refusal
// changes nothing but the timing.
void lowerThisThreadPriority();

// The processor the calling thread runs on at this moment, or -1 where the system does not say.
[[nodiscard]] int currentProcessor();
// Until letThisThreadRunAnywhere, the calling thread runs on any processor it may use except
// `processor` (from currentProcessor): two threads that share work are then never left to take
// turns at one processor while another stands idle. Advice only: with no other processor, or -1,
// or a refusal, nothing changes but the timing. True when the advice was taken.
bool keepThisThreadOff(int processor);
// Gives the calling thread back the processors it had before keepThisThreadOff, if it was kept
// off one.
void letThisThreadRunAnywhere();

// ---- Child processes, for the host's tool (the worker itself starts none) ----

// A native handle of a started child process (its id on POSIX, a process HANDLE on Windows).
using ProcessHandle = std::intptr_t;

// A child started by startProcess, and the parent's ends of its standard input and output: C
// runtime descriptors for readSome, writeSome and closeStream, not inherited by other children.
struct StartedProcess {
  ProcessHandle process = 0;
  int input = -1;   // write end of the child's standard input
  int output = -1;  // read end of the child's standard output
};

// How a child ended: by exit with `code`, or (POSIX) by `signal`.
struct ProcessEnd {
  bool exited = false;
  int code = -1;
  int signal = 0;
};

// Starts `program` with `arguments` (after the program name), no shell, standard input and output
// pipes to the parent, standard error the parent's. The child inherits nothing else of the
// parent's (no descriptor or handle besides those three) and does not take the parent's terminal
// interrupts: the parent ends it itself. Nothing, with a sentence in `error`, when it cannot be
// started.
[[nodiscard]] std::optional<StartedProcess> startProcess(const NativeText& program,
                                                         const std::vector<NativeText>& arguments,
                                                         std::string& error);
// Blocks until the child has ended, leaving it to releaseProcess (so that endProcessNow on it
// stays safe until then).
void awaitProcessEnd(ProcessHandle process);
// Watches a child for its end, for waits with a timeout. REQUIRES: the child is not released
// while it is watched.
class ProcessWatch {
 public:
  explicit ProcessWatch(ProcessHandle process);
  ~ProcessWatch();
  ProcessWatch(const ProcessWatch&) = delete;
  ProcessWatch& operator=(const ProcessWatch&) = delete;

  // Waits at most `timeout` for the child to end; true when it has. Leaves it to
  // releaseProcess, as awaitProcessEnd does.
  [[nodiscard]] bool awaitEndFor(std::chrono::microseconds timeout);

 private:
  ProcessHandle process_;
  std::intptr_t watch_ = -1;  // where the system has one, a handle that tells the end
};
// Ends the child at once. REQUIRES: not yet released.
void endProcessNow(ProcessHandle process);
// How the child ended, freeing what the system keeps of it. REQUIRES: awaitProcessEnd returned;
// called once.
[[nodiscard]] ProcessEnd releaseProcess(ProcessHandle process);

// From now on an interrupt (SIGINT or SIGTERM; Ctrl-C, Ctrl-Break or a console close on Windows)
// no longer ends the process but is noted, for interruptSignal to report.
void catchInterrupts();
// The interrupt noted since catchInterrupts (its POSIX signal number; SIGINT's 2 on Windows), or
// 0 when none came.
[[nodiscard]] int interruptSignal();

// The number of processors this process may run on (its affinity), at least 1.
[[nodiscard]] unsigned processorsAvailable();
// The path of this process's own executable, as UTF-8; empty when the system does not say.
[[nodiscard]] std::string thisExecutablePath();
// The file name ending of executables: ".exe" on Windows, empty elsewhere.
[[nodiscard]] std::string_view executableSuffix();
// True when `path` (UTF-8) names a regular file this process may execute.
[[nodiscard]] bool isExecutableFile(const std::string& path);
// True when `stream` is a terminal (console).
[[nodiscard]] bool isTerminal(int stream);
// Whether replaceFileAtomically waits for the bytes to reach storage before the rename. Either
// way no process ever sees a part; without the wait a machine that stops may leave the file short
// or empty, which is only for files whose readers verify them.
enum class Durability : uint8_t { Flushed, Unflushed };
// Writes `bytes` to `path` (UTF-8) so that the file holds either its former content or all of
// `bytes`, never a part: a temporary file beside it, flushed to storage (when Flushed), then
// renamed over it.
[[nodiscard]] bool replaceFileAtomically(const std::string& path, std::string_view bytes,
                                         Durability durability = Durability::Flushed);

// Opens the file at `path` (UTF-8) for reading, as a C runtime descriptor not inherited by child
// processes (closed with closeStream). -1, with a sentence in `error`, when it cannot be opened
// or is a directory.
[[nodiscard]] int openForReading(const std::string& path, std::string& error);
// Reads at most `capacity` bytes at `offset` of the regular file open as `stream`, leaving the
// offset its reads go on from where it was. -1 when `stream` is not a regular file or on failure.
[[nodiscard]] std::ptrdiff_t readFileAt(int stream, uint64_t offset, char* buffer, size_t capacity);

// How many bytes `stream` holds that were written and are not read yet: for a pipe, what it
// buffers; for a file, the rest of it from the stream's position. Nothing where the system
// cannot say (a console, say).
[[nodiscard]] std::optional<size_t> bytesWaiting(int stream);
// Returns once a read of `stream` would not wait: bytes are there, the writer is gone, or the
// stream failed. Where the system offers no such wait, it may return at once.
void waitUntilReadable(int stream);

// Heap settings for a process that holds many small records and, beside them, large blocks that
// come and go (the host tool's plan): large blocks come from the system and go back to it when
// freed, so that the peak resident size stays what the data needs. Made before the threads
// start; they change where memory comes from, never a result.
void prepareRecordHeap();

}  // namespace tw::platform

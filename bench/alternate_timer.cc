// Whole-process timing of two or more commands, run alternately on the same input so that load
// from elsewhere on the machine falls on all of them alike.
//
// Each run spawns the command with standard input read from INPUT and standard output a pipe that
// this program drains to its end (as a host would), then waits for the process. The time of a run
// is from just before the spawn to the moment the process has been reaped; the peak resident set
// size comes from the kernel's accounting of the reaped process. A run that exits with a status
// other than 0, or whose output differs from --expect FILE when given, fails the whole
// measurement. The order of the commands turns around every round.
//
// Usage: alternate_timer [--runs N] [--warmup N] [--expect FILE] [--output pipe|null]
//                        --input FILE  LABEL=COMMAND [LABEL=COMMAND ...]
// COMMAND is split at spaces (no quoting, no shell). Prints one line per command (median, first
// and third quartile, minimum, largest peak RSS) and the ratio of each command's median to the
// last command's median.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

struct Command {
  std::string label;
  std::vector<std::string> argv;
  std::vector<double> millis;
  long peakRssKib = 0;
};

struct Options {
  int runs = 30;
  int warmup = 2;
  std::string input;
  std::string expectPath;
  bool toNull = false;
  std::vector<Command> commands;
};

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "alternate_timer: %s\n", message.c_str());
  std::exit(2);
}

double nowMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string readFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + path);
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      die("cannot read " + path);
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return text;
}

Command parseCommand(std::string_view argument) {
  const size_t equals = argument.find('=');
  if (equals == std::string_view::npos || equals == 0) die("expected LABEL=COMMAND");
  Command command;
  command.label = std::string(argument.substr(0, equals));
  std::string_view rest = argument.substr(equals + 1);
  while (!rest.empty()) {
    const size_t space = rest.find(' ');
    std::string_view word = rest.substr(0, space);
    if (!word.empty()) command.argv.emplace_back(word);
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  if (command.argv.empty()) die("empty command for " + command.label);
  return command;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--runs") {
      options.runs = std::atoi(value().c_str());
    } else if (arg == "--warmup") {
      options.warmup = std::atoi(value().c_str());
    } else if (arg == "--input") {
      options.input = value();
    } else if (arg == "--expect") {
      options.expectPath = value();
    } else if (arg == "--output") {
      const std::string mode = value();
      if (mode != "pipe" && mode != "null") die("--output is pipe or null");
      options.toNull = mode == "null";
    } else {
      options.commands.push_back(parseCommand(arg));
    }
  }
  if (options.input.empty() || options.commands.empty() || options.runs < 1 || options.warmup < 0) {
    die("usage: alternate_timer [--runs N] [--warmup N] [--expect FILE] [--output pipe|null] "
        "--input FILE LABEL=COMMAND ...");
  }
  if (!options.expectPath.empty() && options.toNull) die("--expect needs --output pipe");
  return options;
}

struct RunOutcome {
  double millis = 0;
  long peakRssKib = 0;
};

// One spawn: input file on fd 0, a drained pipe (or /dev/null) on fd 1.
RunOutcome runOnce(const Command& command, const Options& options, std::string& output) {
  std::vector<char*> argv;
  for (const std::string& word : command.argv) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (!options.toNull && pipe2(pipeFds, O_CLOEXEC) != 0) die("pipe failed");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.input.c_str(), O_RDONLY, 0);
  if (options.toNull) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  }

  output.clear();
  const double start = nowMillis();
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) die("cannot start " + command.argv[0] + ": " + std::strerror(spawned));
  if (!options.toNull) {
    close(pipeFds[1]);
    char buffer[65536];
    for (;;) {
      ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
      if (got == 0) break;
      if (got < 0) {
        if (errno == EINTR) continue;
        die("reading the output failed");
      }
      output.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) die("wait failed");
  }
  const double end = nowMillis();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    die(command.label + " did not exit with status 0");
  }
  return {end - start, usage.ru_maxrss};
}

double quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const double position = q * static_cast<double>(values.size() - 1);
  const size_t below = static_cast<size_t>(position);
  const size_t above = std::min(below + 1, values.size() - 1);
  const double fraction = position - static_cast<double>(below);
  return values[below] * (1 - fraction) + values[above] * fraction;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parseOptions(argc, argv);
  const std::string expected = options.expectPath.empty() ? "" : readFile(options.expectPath);
  std::string output;
  output.reserve(expected.size() + 65536);

  const int rounds = options.warmup + options.runs;
  for (int round = 0; round < rounds; ++round) {
    const size_t count = options.commands.size();
    for (size_t k = 0; k < count; ++k) {
      Command& command = options.commands[round % 2 == 0 ? k : count - 1 - k];
      const RunOutcome outcome = runOnce(command, options, output);
      if (!options.expectPath.empty() && output != expected) {
        die(command.label + " wrote output that differs from " + options.expectPath);
      }
      if (round < options.warmup) continue;
      command.millis.push_back(outcome.millis);
      command.peakRssKib = std::max(command.peakRssKib, outcome.peakRssKib);
    }
  }

  const double baseline = quantile(options.commands.back().millis, 0.5);
  for (const Command& command : options.commands) {
    const double median = quantile(command.millis, 0.5);
    std::printf(
        "%-10s median %9.3f ms  q1 %9.3f  q3 %9.3f  min %9.3f  peak RSS %7.1f MiB  "
        "ratio %.2f\n",
        command.label.c_str(), median, quantile(command.millis, 0.25),
        quantile(command.millis, 0.75), quantile(command.millis, 0.0),
        static_cast<double>(command.peakRssKib) / 1024.0, median / baseline);
  }
  return 0;
}

// The host guide's samples (docs/host-guide.md): each one, run through the worker and through
// `tallywarden check --json`, ends as the guide says, and the guide's Python runs.
//
// A sample is a fenced code block whose info string names its kind and outcome, for example
// "json change refused C5_INVALID_ENTRY"; the guide's "About the samples" explains the words.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/json.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "tests/process_harness.h"

namespace tw::test {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

struct Block {
  size_t line = 0;  // of the opening fence
  std::vector<std::string> words;
  std::string body;
};

struct Sample {
  std::string where;                  // "host-guide.md:LINE" and the sample's info string
  std::string input;                  // the session input
  std::string outcome;                // completed, cancelled, failed or refused
  std::string code;                   // empty when completed
  std::optional<std::string> output;  // the exact output, when the guide shows it
};

struct Guide {
  std::vector<Sample> samples;
  std::vector<Block> pythonBlocks;  // "python run" and "python verify"
  std::vector<std::string> problems;
};

std::vector<std::string> splitWords(std::string_view text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find(' ', pos), text.size());
    if (end > pos) words.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return words;
}

std::vector<Block> fencedBlocks(const std::string& markdown) {
  std::vector<Block> blocks;
  std::optional<Block> open;
  size_t lineNumber = 0;
  for (size_t pos = 0; pos < markdown.size();) {
    const size_t end = std::min(markdown.find('\n', pos), markdown.size());
    const std::string_view line(markdown.data() + pos, end - pos);
    ++lineNumber;
    pos = end + 1;
    if (line.starts_with("```")) {
      if (open) {
        blocks.push_back(std::move(*open));
        open.reset();
      } else {
        open = Block{lineNumber, splitWords(line.substr(3)), ""};
      }
    } else if (open) {
      open->body.append(line).push_back('\n');
    }
  }
  return blocks;
}

std::vector<std::string> bodyLines(const std::string& body) {
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < body.size();) {
    const size_t end = body.find('\n', pos);
    lines.push_back(body.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

// Pretty-printed JSON on one line: line breaks between tokens become spaces.
std::string oneLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// `change`'s members in place of the base's: the change's own text, then the base's other
// members, so that the bytes of the change (number forms, escapes) reach the worker as written.
std::optional<std::string> changed(const std::string& base, const std::string& change) {
  auto baseValue = readJson(base);
  auto changeValue = readJson(change);
  if (!baseValue || !changeValue || !baseValue->isObject() || !changeValue->isObject()) {
    return std::nullopt;
  }
  JsonObject rest = baseValue->asObject();
  for (const auto& [name, value] : changeValue->asObject()) rest.erase(name);
  const size_t open = change.find('{');
  const size_t close = change.rfind('}');
  std::string text = change.substr(0, close);
  if (!rest.empty()) {
    if (close > open + 1) text.push_back(',');
    const std::string others = toCompactJson(Json(std::move(rest)));
    text.append(others, 1, others.size() - 1);
  } else {
    text.push_back('}');
  }
  return text;
}

std::string frame(std::string_view kind, std::string_view nonce, std::string_view member = "") {
  std::string text = R"({"version":1,"kind":")";
  text.append(kind).append(R"(","nonce":")").append(nonce).push_back('"');
  if (!member.empty()) text.append(",").append(member);
  return text + "}\n";
}

Guide readGuide() {
  Guide guide;
  const auto markdown = readFile(std::string(TW_SOURCE_DIR) + "/docs/host-guide.md");
  if (!markdown) {
    guide.problems.push_back("docs/host-guide.md cannot be read");
    return guide;
  }
  std::string startLine, nonce, manifest, base;  // from the first session and the last base
  for (const Block& block : fencedBlocks(*markdown)) {
    if (block.words.empty()) continue;
    std::string where = "host-guide.md:" + std::to_string(block.line) + " ```";
    for (const std::string& word : block.words) where += " " + word;
    auto problem = [&](std::string_view what) {
      guide.problems.push_back(where + ": " + std::string(what));
    };
    const std::string& language = block.words[0];
    if (language == "python") {
      if (block.words.size() > 1) guide.pythonBlocks.push_back(block);
      continue;
    }
    if (language != "json" && language != "ndjson") continue;
    if (block.words.size() < 2) {
      problem("a JSON block that is not a sample");
      continue;
    }
    const std::string& kind = block.words[1];
    if (kind == "output") {
      if (guide.samples.empty())
        problem("output without a session before it");
      else
        guide.samples.back().output = block.body;
      continue;
    }
    if (block.words.size() < 3) {
      problem("no outcome");
      continue;
    }
    std::string outcome = block.words[2] == "accepted" ? "completed" : block.words[2];
    std::string code = block.words.size() > 3 ? block.words[3] : "";
    if (outcome == "cancelled") code = "CANCELLED";
    if ((outcome == "failed" || outcome == "refused") == code.empty() && outcome != "cancelled") {
      problem("the outcome and the code do not go together");
      continue;
    }
    auto add = [&](std::string input) {
      guide.samples.push_back({where, std::move(input), outcome, code, std::nullopt});
    };
    auto wrapEntry = [&](const std::string& entry) {
      add(startLine + frame("entries", nonce, R"("entries":[)" + entry + "]") +
          frame("execute", nonce));
    };
    auto wrapManifest = [&](const std::string& value) {
      add(frame("start", nonce, R"("manifest":)" + value) + frame("execute", nonce));
    };
    if (kind == "session") {
      if (startLine.empty()) {
        startLine = bodyLines(block.body).front() + "\n";
        auto start = readJson(startLine);
        if (!start || !start->find("nonce") || !start->find("manifest")) {
          problem("the first session does not begin with a start frame");
          return guide;
        }
        nonce = start->find("nonce")->asString();
        manifest = toCompactJson(*start->find("manifest"));
      }
      add(block.body);
    } else if (startLine.empty()) {
      problem("a sample before the first session");
    } else if (kind == "after-start") {
      add(startLine + block.body);
    } else if (kind == "entry" || kind == "base") {
      wrapEntry(oneLine(block.body));
      if (kind == "base") base = oneLine(block.body);
    } else if (kind == "manifest") {
      wrapManifest(oneLine(block.body));
    } else if (kind == "change" || kind == "manifest-change") {
      const std::string& from = kind == "change" ? base : manifest;
      for (const std::string& line : bodyLines(block.body)) {
        auto text = changed(from, line);
        if (!text)
          problem("a change that is not an object: " + line);
        else if (kind == "change")
          wrapEntry(*text);
        else
          wrapManifest(*text);
      }
    } else {
      problem("an unknown kind of sample");
    }
  }
  return guide;
}

const Guide& guide() {
  static const Guide read = readGuide();
  return read;
}

struct Ran {
  ExitStatus status;
  std::string out;
  std::string err;
};

// `program` (the worker when empty) with `args`, fed `input`.
Ran run(std::string program, std::vector<std::string> args, std::string_view input) {
  WorkerOptions options;
  options.program = std::move(program);
  options.args = std::move(args);
  Worker process(std::move(options));
  if (!process.started()) return {{}, "", process.startError()};
  (void)process.writeStdin(input);
  process.closeStdin();
  Ran ran{process.wait(), "", ""};
  ran.out = process.takeStdout();
  ran.err = process.stderrText();
  return ran;
}

std::string lastLine(std::string_view out) {
  if (out.ends_with('\n')) out.remove_suffix(1);
  const size_t newline = out.rfind('\n');
  return std::string(newline == std::string_view::npos ? out : out.substr(newline + 1));
}

TEST(HostGuide, SamplesAreWellMarked) {
  for (const std::string& problem : guide().problems) ADD_FAILURE() << problem;
  EXPECT_GE(guide().samples.size(), 100u);
  ::testing::Test::RecordProperty("samples", static_cast<int>(guide().samples.size()));
}

TEST(HostGuide, WorkerEndsEachSampleAsTheGuideSays) {
  TempDir dir;
  const std::vector<std::string> args = {"--c5", "--execution-fence", dir.file("fence")};
  for (const Sample& sample : guide().samples) {
    SCOPED_TRACE(sample.where + "\n" + sample.input);
    const Ran ran = run("", args, sample.input);
    EXPECT_TRUE(ran.status.exitedWith(sample.outcome == "refused" ? 1 : 0)) << ran.status;
    const auto last = readJson(lastLine(ran.out));
    const Json* kind = last ? last->find("kind") : nullptr;
    const Json* code = last ? last->find("code") : nullptr;
    if (sample.outcome == "completed") {
      EXPECT_TRUE(kind && *kind == Json("completed")) << ran.out;
    } else if (sample.outcome == "refused") {
      EXPECT_TRUE(!kind || (*kind != Json("completed") && *kind != Json("failed"))) << ran.out;
    } else {
      EXPECT_TRUE(kind && *kind == Json("failed") && code && *code == Json(sample.code)) << ran.out;
    }
    if (sample.output) {
      EXPECT_EQ(ran.out, *sample.output);
    }
  }
}

TEST(HostGuide, CheckJudgesEachSampleAsTheGuideSays) {
  TempDir dir;
  const std::string file = dir.file("session.ndjson");
  for (const Sample& sample : guide().samples) {
    SCOPED_TRACE(sample.where + "\n" + sample.input);
    ASSERT_TRUE(writeFile(file, sample.input));
    const Ran ran = run(toolPath(), {"check", file, "--json"}, "");
    if (ran.err.find("not built yet") != std::string::npos) GTEST_SKIP() << ran.err;
    EXPECT_TRUE(ran.status.exitedWith(sample.outcome == "completed" ? 0 : 1))
        << ran.status << ran.err;
    const auto verdict = readJson(ran.out);
    ASSERT_TRUE(verdict && verdict->isObject()) << ran.out;
    const Json* outcome = verdict->find("outcome");
    const Json* code = verdict->find("code");
    EXPECT_TRUE(outcome && *outcome == Json(sample.outcome)) << ran.out;
    const Json expectedCode = sample.code.empty() ? Json(nullptr) : Json(sample.code);
    EXPECT_TRUE(code && *code == expectedCode) << ran.out;
  }
}

// The Python of the guide: "run" blocks end with status 0; the "verify" block accepts every
// completed output the guide shows and refuses one whose residual was changed.
TEST(HostGuide, PythonRuns) {
  if (::access(kPython, X_OK) != 0) GTEST_SKIP() << "no " << kPython;
  std::optional<std::string> tampered;
  size_t verified = 0;
  for (const Block& block : guide().pythonBlocks) {
    SCOPED_TRACE("host-guide.md:" + std::to_string(block.line));
    const std::vector<std::string> python = {"-c", block.body};
    if (block.words[1] == "run") {
      const Ran ran = run(kPython, python, "");
      EXPECT_TRUE(ran.status.exitedWith(0)) << ran.status << ran.err;
      continue;
    }
    ASSERT_EQ(block.words[1], "verify");
    for (const Sample& sample : guide().samples) {
      if (!sample.output || sample.outcome != "completed") continue;
      const Ran ran = run(kPython, python, *sample.output);
      EXPECT_TRUE(ran.status.exitedWith(0)) << sample.where << ran.status << ran.err;
      ++verified;
      const size_t settled = sample.output->find(R"(":"0"})");
      if (!tampered && settled != std::string::npos) {
        tampered = *sample.output;
        tampered->replace(settled, 6, R"(":"1"})");
      }
    }
    ASSERT_TRUE(tampered.has_value());
    EXPECT_FALSE(run(kPython, python, *tampered).status.exitedWith(0));
  }
  EXPECT_GE(verified, 2u);
}

}  // namespace
}  // namespace tw::test

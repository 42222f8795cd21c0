// The tool calls of a rollout: what the model asks for and what comes back, in each of
// the shapes Codex has recorded them. Unified exec prints its exit code into the output
// text, the older shell tool returns a JSON document as a string, and code mode runs
// JavaScript that calls the same tools; a reader finds failures only in that text.
#include <string>

#include "codex/rollout.h"
#include "tree/text.h"

namespace tessel::bench {
namespace {

const char* const kCommands[languageCount][8] = {
    {"cmake --build build -j8", "ctest --test-dir build --output-on-failure", "make -j8 test",
     "ninja -C build", "clang-format -i src/*.cpp", "./build/bin/tests --gtest_filter=*Parser*",
     "cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug", "grep -rn \"TODO\" src"},
    {"npm test", "npx tsc --noEmit", "npm run build", "npx vitest run", "npm run lint",
     "pnpm install", "npx eslint src --ext .ts,.tsx", "node scripts/check.js"},
    {"pytest -q", "python -m pytest tests -x", "ruff check .", "mypy src", "pip install -e .",
     "python manage.py migrate", "uv run pytest -k parser", "python -m black --check ."},
    {"cargo test", "cargo build --release", "cargo clippy --all-targets -- -D warnings",
     "cargo fmt --check", "cargo test -p core -- --nocapture", "cargo run --bin cli", "cargo check",
     "cargo nextest run"},
    {"go test ./...", "go build ./...", "go vet ./...", "golangci-lint run",
     "go test -run TestParse ./internal/...", "go mod tidy", "go generate ./...",
     "go test -race ./pkg/..."},
};

const char* const kLooks[] = {"git status --short",
                              "git diff",
                              "git log --oneline -20",
                              "ls -la",
                              "rg -n \"@f\" src",
                              "rg --files | head -200",
                              "sed -n 1,200p @p",
                              "cat @p",
                              "nl -ba @p | sed -n 80,220p",
                              "git diff --stat",
                              "find . -name '*.@e' | head -50"};

}  // namespace

std::string Rollout::callId() { return "call_" + randomChars(random_, kBase62, 24); }

int Rollout::exitCode() {
  if (!random_.chance(0.12)) return 0;
  static const int codes[] = {1, 1, 1, 2, 101, 127, 124};
  return random_.pick(codes);
}

Rollout::CallKind Rollout::chooseCall() {
  const double draw = random_.unit();
  if (codeMode_ && draw < 0.7) return CallKind::codeMode;
  if (older_) {
    return draw < 0.7 ? CallKind::shell : draw < 0.85 ? CallKind::applyPatch : CallKind::updatePlan;
  }
  return draw < 0.6    ? CallKind::execCommand
         : draw < 0.7  ? CallKind::shellCommand
         : draw < 0.78 ? CallKind::updatePlan
         : draw < 0.93 ? CallKind::applyPatch
                       : CallKind::shell;
}

// A command line, raw: builds and tests of the project's language, or a look around.
std::string Rollout::command() {
  if (random_.chance(0.35)) return kCommands[project_.language][random_.below(8)];
  std::string look = random_.pick(kLooks);
  std::string out;
  for (size_t i = 0; i < look.size(); ++i) {
    if (look[i] == '@' && i + 1 < look.size() && look[i + 1] == 'p') {
      out += random_.pick(project_.files);
      ++i;
    } else if (look[i] == '@' && i + 1 < look.size() && look[i + 1] == 'e') {
      out += kExtensions[project_.language];
      ++i;
    } else if (look[i] == '@' && i + 1 < look.size() && look[i + 1] == 'f') {
      out += fill("@f", random_);
      ++i;
    } else {
      out += look[i];
    }
  }
  return out;
}

std::string Rollout::outputText(const std::string& cmd, size_t bytes, int exitCode) {
  std::string text;
  const std::vector<std::string>* pool = &pools_.listing;
  if (exitCode != 0) {
    pool = &pools_.errors;
  } else if (cmd.find("test") != std::string::npos) {
    pool = &pools_.test;
  } else if (cmd.find("build") != std::string::npos || cmd.find("make") != std::string::npos) {
    pool = &pools_.build;
  } else if (cmd.starts_with("git")) {
    pool = &pools_.git;
  } else if (cmd.starts_with("sed") || cmd.starts_with("cat") || cmd.starts_with("nl")) {
    pool = &pools_.code[project_.language];
  }
  appendLines(text, *pool, bytes, random_);
  return text;
}

void Rollout::call(CallKind kind) {
  stats_.calls++;
  switch (kind) {
    case CallKind::execCommand:
      execCommand();
      break;
    case CallKind::shell:
      shell();
      break;
    case CallKind::shellCommand:
      shellCommand();
      break;
    case CallKind::updatePlan:
      updatePlan();
      break;
    case CallKind::applyPatch:
      applyPatch();
      break;
    case CallKind::codeMode:
      codeMode();
      break;
  }
}

namespace {

// Most outputs are a few lines, some are long logs.
double outputWanted(Random& random) {
  return random.chance(0.15) ? random.logUniform(10.0 * kKiB, 100.0 * kKiB)
                             : random.logUniform(120, 6000);
}

void appendSeconds(std::string& out, Random& random, double low, double high) {
  const auto centis = static_cast<int64_t>(random.logUniform(low, high) * 10000);
  appendNumber(out, centis / 10000);
  out += '.';
  appendPadded(out, centis % 10000, 4);
  for (size_t i = out.size() - 4; i < out.size(); ++i) {
    if (out[i] == ' ') out[i] = '0';
  }
}

}  // namespace

void Rollout::functionCall(std::string_view name, const std::string& arguments,
                           const std::string& id) {
  open("response_item");
  out_ += "\"type\":\"function_call\",\"name\":\"";
  out_ += name;
  out_ += "\",\"arguments\":\"";
  appendEscaped(out_, arguments);
  out_ += "\",\"call_id\":\"";
  out_ += id;
  out_ += '"';
  close();
}

void Rollout::beginOutput(const std::string& id, bool isCustom) {
  open("response_item");
  out_ += isCustom ? "\"type\":\"custom_tool_call_output\",\"call_id\":\""
                   : "\"type\":\"function_call_output\",\"call_id\":\"";
  out_ += id;
  out_ += "\",\"output\":\"";
}

void Rollout::endOutput() {
  out_ += '"';
  close();
}

void Rollout::execCommand() {
  const std::string cmd = command();
  const std::string id = callId();
  std::string arguments = "{\"cmd\":\"";
  appendEscaped(arguments, cmd);
  arguments += "\",\"workdir\":\"";
  appendEscaped(arguments, project_.cwd);
  arguments += "\",\"yield_time_ms\":10000,\"max_output_tokens\":10000";
  if (random_.chance(0.1)) {
    arguments += ",\"sandbox_permissions\":\"require_escalated\",\"justification\":\"";
    arguments += random_.pick(pools_.sentences);
    arguments += '"';
  }
  arguments += '}';
  functionCall("exec_command", arguments, id);
  advance(static_cast<int64_t>(random_.logUniform(50, 60000)));

  const int code = exitCode();
  if (code != 0) stats_.failed++;
  const bool running = random_.chance(0.03);
  const std::string text = outputText(cmd, cap(outputWanted(random_)), code);
  beginOutput(id, false);
  out_ += "Chunk ID: ";
  out_ += randomChars(random_, kHex, 6);
  out_ += "\\nWall time: ";
  appendSeconds(out_, random_, 0.01, running ? 10.0 : 120.0);
  out_ += " seconds\\n";
  if (running) {
    out_ += "Process running with session ID ";
    appendNumber(out_, ++execSessions_);
  } else {
    out_ += "Process exited with code ";
    appendNumber(out_, code);
  }
  out_ += "\\nOriginal token count: ";
  appendNumber(out_, static_cast<int64_t>(text.size() / 4));
  out_ += "\\nOutput:\\n";
  out_ += text;
  endOutput();
  if (!running) return;
  // The model waits for the rest of a long command's output.
  const std::string poll = callId();
  std::string pollArguments = "{\"session_id\":";
  appendNumber(pollArguments, execSessions_);
  pollArguments += ",\"chars\":\"\",\"yield_time_ms\":30000}";
  functionCall("write_stdin", pollArguments, poll);
  advance(static_cast<int64_t>(random_.logUniform(1000, 30000)));
  beginOutput(poll, false);
  out_ += "Chunk ID: ";
  out_ += randomChars(random_, kHex, 6);
  out_ += "\\nWall time: ";
  appendSeconds(out_, random_, 1, 30);
  out_ += " seconds\\nProcess exited with code 0\\nOriginal token count: 60\\nOutput:\\n";
  appendLines(out_, pools_.test, cap(random_.logUniform(100, 2000)), random_);
  endOutput();
}

void Rollout::shell() {
  const std::string cmd = command();
  const std::string id = callId();
  std::string arguments = "{\"command\":[\"bash\",\"-lc\",\"";
  appendEscaped(arguments, cmd);
  arguments += "\"],\"workdir\":\"";
  appendEscaped(arguments, project_.cwd);
  arguments += "\",\"timeout_ms\":120000}";
  functionCall("shell", arguments, id);
  advance(static_cast<int64_t>(random_.logUniform(50, 60000)));

  const int code = exitCode();
  if (code != 0) stats_.failed++;
  // The older shell tool answers with a JSON document, itself written as a string.
  std::string document = "{\"output\":\"";
  document += outputText(cmd, cap(outputWanted(random_)), code);
  document += "\",\"metadata\":{\"exit_code\":";
  appendNumber(document, code);
  document += ",\"duration_seconds\":";
  appendSeconds(document, random_, 0.01, 60);
  document += "}}";
  beginOutput(id, false);
  out_ += "";
  appendEscaped(out_, document);
  endOutput();
}

void Rollout::shellCommand() {
  const std::string cmd = command();
  const std::string id = callId();
  std::string arguments = "{\"command\":\"";
  appendEscaped(arguments, cmd);
  arguments += "\",\"workdir\":\"";
  appendEscaped(arguments, project_.cwd);
  arguments += "\"}";
  functionCall("shell_command", arguments, id);
  advance(static_cast<int64_t>(random_.logUniform(50, 30000)));

  const int code = exitCode();
  if (code != 0) stats_.failed++;
  beginOutput(id, false);
  out_ += "Exit code: ";
  appendNumber(out_, code);
  out_ += "\\nWall time: ";
  appendSeconds(out_, random_, 0.01, 30);
  out_ += " seconds\\nOutput:\\n";
  out_ += outputText(cmd, cap(outputWanted(random_)), code);
  endOutput();
}

std::string Rollout::planArguments() {
  static const char* const statuses[] = {"completed", "in_progress", "pending"};
  std::string arguments = "{\"explanation\":\"";
  arguments += random_.pick(pools_.sentences);
  arguments += "\",\"plan\":[";
  const auto steps = random_.between(2, 6);
  const auto current = random_.between(0, steps - 1);
  for (int64_t i = 0; i < steps; ++i) {
    if (i > 0) arguments += ',';
    arguments += "{\"step\":\"";
    arguments += fill("@A the @a @n", random_);
    arguments += "\",\"status\":\"";
    arguments += statuses[i < current ? 0 : i == current ? 1 : 2];
    arguments += "\"}";
  }
  arguments += "]}";
  return arguments;
}

void Rollout::updatePlan() {
  const std::string id = callId();
  functionCall("update_plan", planArguments(), id);
  beginOutput(id, false);
  out_ += "Plan updated";
  endOutput();
}

// Patch text, escaped once; in a JavaScript template its backquotes are escaped first.
std::string Rollout::patchText(bool forTemplate) {
  std::string patch = "*** Begin Patch";
  const auto files = random_.chance(0.8) ? 1 : random_.between(2, 3);
  const auto& code = pools_.code[project_.language];
  for (int64_t f = 0; f < files; ++f) {
    const bool added = random_.chance(0.15);
    patch += added ? "\\n*** Add File: " : "\\n*** Update File: ";
    appendEscaped(patch, random_.pick(project_.files));
    const auto hunks = added ? 1 : random_.between(1, 4);
    for (int64_t h = 0; h < hunks; ++h) {
      if (!added) patch += "\\n@@";
      const size_t size = cap(random_.logUniform(200, 6000));
      const size_t goal = patch.size() + size;
      while (patch.size() < goal) {
        const double draw = random_.unit();
        patch += added || draw < 0.4 ? "\\n+" : draw < 0.6 ? "\\n-" : "\\n ";
        patch += random_.pick(code);
      }
    }
  }
  patch += "\\n*** End Patch";
  if (!forTemplate) return patch;
  std::string escapedTicks;
  for (const char c : patch) {
    if (c == '`') escapedTicks += "\\\\";
    escapedTicks += c;
  }
  return escapedTicks;
}

void Rollout::applyPatch() {
  const std::string id = callId();
  const bool freeform = !older_ && random_.chance(0.8);
  const std::string patch = patchText(false);
  if (freeform) {
    open("response_item");
    out_ += "\"type\":\"custom_tool_call\",\"status\":\"completed\",\"call_id\":\"";
    out_ += id;
    out_ += "\",\"name\":\"apply_patch\",\"input\":\"";
    out_ += patch;
    out_ += '"';
    close();
  } else {
    functionCall("apply_patch", "{\"input\":\"" + patch + "\"}", id);
  }
  const int code = random_.chance(0.08) ? 1 : 0;
  if (code != 0) stats_.failed++;
  std::string document = "{\"output\":\"";
  if (code == 0) {
    document += "Success. Updated the following files:\\nM ";
    appendEscaped(document, random_.pick(project_.files));
    document += "\\n";
  } else {
    document += "apply_patch verification failed: Failed to find expected lines in ";
    appendEscaped(document, random_.pick(project_.files));
  }
  document += "\",\"metadata\":{\"exit_code\":";
  appendNumber(document, code);
  document += ",\"duration_seconds\":0.0}}";
  beginOutput(id, freeform);
  appendEscaped(out_, document);
  endOutput();
}

namespace {

// A JavaScript string literal of `text`, escaped once for the JSON around it.
void appendScriptString(std::string& out, const std::string& text) {
  const bool singles = text.find('\'') == std::string::npos;
  std::string literal;
  literal += singles ? '\'' : '"';
  for (const char c : text) {
    if (!singles && c == '"') literal += '\\';
    literal += c;
  }
  literal += singles ? '\'' : '"';
  appendEscaped(out, literal);
}

}  // namespace

void Rollout::codeMode() {
  const std::string id = callId();
  const double draw = random_.unit();
  int code = 0;
  std::string cmd;
  open("response_item");
  out_ += "\"type\":\"custom_tool_call\",\"status\":\"completed\",\"call_id\":\"";
  out_ += id;
  out_ += "\",\"name\":\"exec\",\"input\":\"";
  if (draw < 0.7) {
    cmd = command();
    const bool quotedKeys = random_.chance(0.2);
    out_ += "const r = await tools.exec_command({";
    out_ += quotedKeys ? "\\\"cmd\\\": " : "cmd: ";
    appendScriptString(out_, cmd);
    out_ += quotedKeys ? ", \\\"workdir\\\": " : ", workdir: ";
    appendScriptString(out_, project_.cwd);
    out_ += "});\\nconsole.log(r.output);";
    if (random_.chance(0.3)) {
      const std::string second = command();
      out_ += "\\nconst s = await tools.exec_command({cmd: ";
      appendScriptString(out_, second);
      out_ += "});\\nconsole.log(s.output);";
    }
    code = exitCode();
  } else if (draw < 0.9) {
    out_ += "await tools.apply_patch(`";
    out_ += patchText(true);
    out_ += "`);";
  } else {
    out_ += "await tools.update_plan(";
    out_ += escaped(planArguments());
    out_ += ");";
  }
  out_ += '"';
  close();
  advance(static_cast<int64_t>(random_.logUniform(50, 60000)));
  if (code != 0) stats_.failed++;
  beginOutput(id, true);
  if (cmd.empty()) {
    out_ += draw < 0.9 ? "Success. Updated the following files:\\nM " : "Plan updated";
    if (draw < 0.9) appendEscaped(out_, random_.pick(project_.files));
  } else {
    out_ += "Script completed\\nWall time: ";
    appendSeconds(out_, random_, 0.01, 60);
    out_ += " seconds\\nProcess exited with code ";
    appendNumber(out_, code);
    out_ += "\\nOutput:\\n";
    out_ += outputText(cmd, cap(outputWanted(random_)), code);
  }
  endOutput();
}

}  // namespace tessel::bench

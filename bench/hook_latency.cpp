// Wall time of one tessel-hook run, as Claude Code pays it, against /bin/true spawned
// the same way. Runs alternate so both see the same machine noise; medians are compared.
//
//   hook_latency [runs-per-case] [path-to-tessel-hook]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string preToolUse() {
  std::string input =
      R"({"session_id":"8d0c7b3e-61a4-4f6e-9a0b-2f8e4c1d7a55",)"
      R"("transcript_path":"/home/dev/.claude/projects/-home-dev-src-shop/8d0c7b3e-61a4-4f6e-9a0b-2f8e4c1d7a55.jsonl",)"
      R"("cwd":"/home/dev/src/shop","permission_mode":"acceptEdits","hook_event_name":"PreToolUse",)"
      R"("tool_name":"Bash","tool_use_id":"toolu_01HXq3v9Lk2mB7cN4pR8sT6w","tool_input":{"command":")";
  input += "cd /home/dev/src/shop && npm run test -- --coverage --reporter=dot 2>&1 | tail -n 40";
  input += R"(","timeout":600000,"description":")";
  while (input.size() < 1000) input += "Run the unit tests with coverage and show the summary. ";
  input += R"("}})";
  return input;
}

std::string postToolUse() {
  std::string output;
  while (output.size() < (1 << 20)) output += "PASS src/cart/total.test.ts (12 ms)\\n";
  return R"({"session_id":"8d0c7b3e-61a4-4f6e-9a0b-2f8e4c1d7a55","cwd":"/home/dev/src/shop",)"
         R"("hook_event_name":"PostToolUse","tool_name":"Bash","tool_input":{"command":"npm test"},)"
         R"("tool_response":{"stdout":")" +
         output +
         R"(","stderr":"","interrupted":false,"isImage":false},"tool_use_id":"toolu_01HXq3v9Lk2mB7cN4pR8sT6w"})";
}

// Spawns `program` with `input` on a pipe (or /dev/null when empty) and waits for it.
double runOnce(const char* program, const std::string& input, char** environment) {
  int fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  } else {
    if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(program), nullptr};

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, program, &actions, nullptr, argv, environment) != 0) {
    std::fprintf(stderr, "cannot start %s\n", program);
    std::exit(2);
  }
  std::thread writer;
  if (!input.empty()) {
    close(fds[0]);
    writer = std::thread([&] {
      size_t done = 0;
      while (done < input.size()) {
        const ssize_t wrote = write(fds[1], input.data() + done, input.size() - done);
        if (wrote <= 0) break;
        done += static_cast<size_t>(wrote);
      }
      close(fds[1]);
    });
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (writer.joinable()) writer.join();
  const auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 400;
  const char* hook = argc > 2 ? argv[2] : TESSEL_HOOK_BINARY;
  signal(SIGPIPE, SIG_IGN);

  // The hook logs into a scratch HOME, never the user's.
  std::string home = (std::filesystem::temp_directory_path() / "tessel-latency-XXXXXX").string();
  if (mkdtemp(home.data()) == nullptr) return 2;
  const std::string homeVariable = "HOME=" + home;
  char* environment[] = {const_cast<char*>(homeVariable.c_str()), nullptr};

  struct Case {
    const char* name;
    std::string input;
    double target;
  };
  const Case cases[] = {{"(a) PreToolUse, 1 KB input", preToolUse(), 2.5},
                        {"(b) PostToolUse, 1 MB tool_response", postToolUse(), 4.0}};
  std::printf("%d runs per program and case, alternating; medians of wall time\n\n", runs);
  std::printf("%-38s %12s %12s %8s %8s\n", "case", "tessel-hook", "/bin/true", "ratio", "target");
  bool allMet = true;
  for (const Case& c : cases) {
    std::vector<double> hookTimes, trueTimes;
    for (int i = 0; i < runs / 10 + 5; ++i) {  // warm the page cache and the allocator
      runOnce(hook, c.input, environment);
      runOnce("/bin/true", "", environment);
    }
    for (int i = 0; i < runs; ++i) {
      hookTimes.push_back(runOnce(hook, c.input, environment));
      trueTimes.push_back(runOnce("/bin/true", "", environment));
    }
    const double hookMedian = median(hookTimes), trueMedian = median(trueTimes);
    const double ratio = hookMedian / trueMedian;
    allMet = allMet && ratio <= c.target;
    std::printf("%-38s %9.3f ms %9.3f ms %7.2fx %6.1fx %s\n", c.name, hookMedian, trueMedian, ratio,
                c.target, ratio <= c.target ? "met" : "MISSED");
  }
  std::filesystem::remove_all(home);
  return allMet ? 0 : 1;
}

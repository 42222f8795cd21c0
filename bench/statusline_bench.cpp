// What one `tessel statusline` costs: Claude Code starts it after every message of every
// session, so it must stay well under 10 ms and 10 MB. Runs it 200 times over a real
// status input with rate limits, in a home of its own, and reports the median elapsed
// and processor time and the peak resident memory, as wait4 measures the child. The same
// figures for /bin/true, started the same way, show what the machine charges any process.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int runs = 200;

struct Run {
  double elapsedMs = 0;
  double processMs = 0;  // user + system
  long peakKb = 0;
};

std::string input(long resetsAt) {
  return R"({"hook_event_name":"Status","session_id":"9f0c2d4e-bench",)"
         R"("transcript_path":"/home/dev/.claude/projects/-src-app/9f0c2d4e-bench.jsonl",)"
         R"("cwd":"/src/app","version":"2.0.14",)"
         R"("model":{"id":"claude-opus-4-1","display_name":"Opus"},)"
         R"("workspace":{"current_dir":"/src/app","project_dir":"/src/app"},)"
         R"("output_style":{"name":"default"},"exceeds_200k_tokens":false,)"
         R"("cost":{"total_cost_usd":1.234,"total_duration_ms":45000,)"
         R"("total_api_duration_ms":2300,"total_lines_added":156,"total_lines_removed":23},)"
         R"("context_window":{"context_window_size":200000,"used_percentage":37.2,)"
         R"("remaining_percentage":62.8},)"
         R"("rate_limits":{"five_hour":{"used_percentage":42,"resets_at":)" +
         std::to_string(resetsAt) + R"(},"seven_day":{"used_percentage":18,"resets_at":)" +
         std::to_string(resetsAt + int64_t{3} * 86400) + "}}}";
}

Run runOnce(const char* program, const std::string& inputPath) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(inputPath.c_str(), O_RDONLY);
    const int out = open("/dev/null", O_WRONLY);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    execl(program, "tessel", "statusline", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s did not exit 0\n", program);
    std::exit(1);
  }
  const auto ms = [](const timeval& time) { return time.tv_sec * 1e3 + time.tv_usec / 1e3; };
  return {std::chrono::duration<double, std::milli>(end - start).count(),
          ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_maxrss};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/statusline-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string home = pattern;
  setenv("HOME", home.c_str(), 1);
  setenv("CLAUDE_CONFIG_DIR", (home + "/.claude").c_str(), 1);
  setenv("CODEX_HOME", (home + "/.codex").c_str(), 1);
  const std::string inputPath = home + "/status.json";
  std::ofstream(inputPath) << input(static_cast<long>(std::time(nullptr)) / 60 * 60 + 3600);

  for (const char* program : {TESSEL_BINARY, "/bin/true"}) {
    std::vector<double> elapsed, process;
    long peakKb = 0;
    for (int i = 0; i < runs; ++i) {
      const Run run = runOnce(program, inputPath);
      elapsed.push_back(run.elapsedMs);
      process.push_back(run.processMs);
      peakKb = std::max(peakKb, run.peakKb);
    }
    std::printf("%s, %d runs\n", program, runs);
    std::printf("  median elapsed:      %.2f ms\n", median(elapsed));
    std::printf("  median process time: %.2f ms (user + system)\n", median(process));
    std::printf("  peak RSS:            %.1f MB\n", static_cast<double>(peakKb) / 1024);
  }
  std::error_code error;
  fs::remove_all(home, error);
  return 0;
}

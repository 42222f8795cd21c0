// A Claude Code projects folder of a chosen size, for measuring the transcript readers on
// a heavy user's machine:
//
//   make_projects <output-folder> <megabytes> [seed] [now-seconds]
//
// writes <output-folder>/projects/<project-dir>/<session>.jsonl, and sub-agent files under
// <project-dir>/<session>/subagents/, each file dated by its last line. A seed and a time
// base name one tree: the same bytes on every run, however many threads write it (the time
// base only moves the dates; it defaults to now). Transcript sizes follow a heavy user's:
// many small sessions, some of several megabytes, a few of tens, most bytes in tool results.
#include "projects_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "util/json_writer.h"

namespace tessel::bench {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr int64_t kSecondMs = 1000;
constexpr int64_t kMinuteMs = 60 * kSecondMs;
constexpr int64_t kHourMs = 60 * kMinuteMs;
constexpr int64_t kDayMs = 24 * kHourMs;

// splitmix64: small, fast, and the same sequence everywhere (the standard library's
// distributions are not), so that a seed names one tree on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // In [0, n).
  uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
  // In [low, high].
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(below(static_cast<uint64_t>(high - low + 1)));
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return unit() < p; }
  // As many values between 1 and 10 KB as between 10 and 100 KB: the shape of file
  // and output sizes.
  double logUniform(double low, double high) { return low * std::pow(high / low, unit()); }
  template <typename T>
  const T& pick(const std::vector<T>& items) {
    return items[below(items.size())];
  }
  template <typename T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

 private:
  uint64_t state_;
};

uint64_t mix(uint64_t a, uint64_t b) {
  Random random(a * 0x2545F4914F6CDD1DULL + b);
  random.next();
  return random.next();
}

// JSON string contents the way JSON.stringify writes them: "/" stays raw.
void appendEscaped(std::string& out, std::string_view text) {
  JsonWriter::appendEscaped(out, text, false);
}

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  appendEscaped(out, text);
  return out;
}

void appendNumber(std::string& out, int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// `value` right-aligned in `width` columns, as line-numbered file listings show it.
void appendPadded(std::string& out, int64_t value, size_t width) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const auto length = static_cast<size_t>(end - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, end);
}

// "2026-03-05T19:02:10.948Z": JavaScript's toISOString, always three fraction digits.
void appendTimestamp(std::string& out, int64_t millis) {
  int64_t days = millis / kDayMs;
  int64_t rest = millis % kDayMs;
  if (rest < 0) {
    rest += kDayMs;
    --days;
  }
  // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[25];
  const auto two = [&](size_t at, int64_t value) {
    text[at] = static_cast<char>('0' + value / 10);
    text[at + 1] = static_cast<char>('0' + value % 10);
  };
  two(0, year / 100);
  two(2, year % 100);
  text[4] = '-';
  two(5, month);
  text[7] = '-';
  two(8, day);
  text[10] = 'T';
  two(11, rest / kHourMs);
  text[13] = ':';
  two(14, rest / kMinuteMs % 60);
  text[16] = ':';
  two(17, rest / kSecondMs % 60);
  text[19] = '.';
  const int64_t millisPart = rest % kSecondMs;
  text[20] = static_cast<char>('0' + millisPart / 100);
  two(21, millisPart % 100);
  text[23] = 'Z';
  out.append(text, 24);
}

std::string timestamp(int64_t millis) {
  std::string out;
  appendTimestamp(out, millis);
  return out;
}

std::string randomChars(Random& random, std::string_view alphabet, size_t count) {
  std::string out(count, ' ');
  uint64_t bits = 0;
  int left = 0;
  for (char& c : out) {
    if (left == 0) {
      bits = random.next();
      left = 8;
    }
    c = alphabet[(bits & 0xFF) % alphabet.size()];
    bits >>= 8;
    --left;
  }
  return out;
}

constexpr std::string_view kHex = "0123456789abcdef";
constexpr std::string_view kBase62 =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string uuid(Random& random) {
  std::string hex = randomChars(random, kHex, 32);
  hex[12] = '4';
  hex[16] = kHex[8 + random.below(4)];
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

// Project folder names: every character but ASCII letters and digits becomes '-'.
std::string projectDirName(std::string_view cwd) {
  std::string name(cwd);
  for (char& c : name) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alphanumeric) c = '-';
  }
  return name;
}

// ---------------------------------------------------------------------------------------
// Text: pools of lines made once per tree from templates, stored JSON-escaped so that
// outputs of any size are built by appending whole lines.

const char* const kNouns[] = {
    "session", "parser",  "buffer",  "config",  "request", "token",   "cache",   "event",
    "record",  "window",  "project", "handler", "client",  "server",  "queue",   "worker",
    "index",   "schema",  "route",   "model",   "stream",  "reader",  "writer",  "layout",
    "theme",   "metric",  "report",  "user",    "order",   "payment", "invoice", "price",
    "cart",    "profile", "message", "thread",  "channel", "node",    "graph",   "task",
    "job",     "plan",    "step",    "batch",   "frame",   "query",   "result",  "widget",
    "account", "ledger",  "tenant",  "policy",  "rule",    "bucket",  "shard",   "lease"};
const char* const kVerbs[] = {
    "parse",  "load",    "save",    "read",     "write",   "update", "create", "delete",
    "fetch",  "render",  "build",   "merge",    "split",   "format", "check",  "resolve",
    "apply",  "compute", "refresh", "flush",    "open",    "close",  "start",  "stop",
    "handle", "encode",  "decode",  "sort",     "filter",  "map",    "retry",  "cancel",
    "attach", "detach",  "sync",    "validate", "migrate", "index",  "trim",   "expand"};
const char* const kParticiples[] = {
    "parsed",  "loaded",   "saved",     "read",    "written",  "updated",   "created", "deleted",
    "fetched", "rendered", "built",     "merged",  "split",    "formatted", "checked", "resolved",
    "applied", "computed", "refreshed", "flushed", "opened",   "closed",    "started", "stopped",
    "handled", "encoded",  "decoded",   "sorted",  "filtered", "mapped",    "retried", "cancelled"};
const char* const kAdjectives[] = {
    "empty",  "stale",    "missing", "partial", "nested", "invalid", "pending", "cached",
    "remote", "local",    "hidden",  "active",  "closed", "large",   "small",   "broken",
    "sorted", "unsorted", "shared",  "private", "frozen", "dirty",   "default", "legacy"};
const char* const kAnimals[] = {"otter", "falcon", "badger", "heron", "lynx",  "marten",
                                "tapir", "wombat", "ibis",   "gecko", "quail", "bison"};
const char* const kStdHeaders[] = {
    "string",    "vector",     "optional", "map",     "memory",     "mutex",        "thread",
    "algorithm", "chrono",     "cstdint",  "utility", "functional", "iostream",     "fstream",
    "sstream",   "filesystem", "atomic",   "span",    "variant",    "unordered_map"};

std::string capitalized(std::string_view word) {
  std::string out(word);
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
  return out;
}

// Fills a template: @n noun, @v verb, @d verb in the past, @a adjective, @A capitalized verb, @f
// camelCase function, @F CamelCase function, @s snake_case name, @T type name, @N small number,
// @P percentage, @h short hash, @e file extension, @H standard header, @@ a literal '@'.
std::string fill(std::string_view pattern, Random& random) {
  std::string out;
  out.reserve(pattern.size() + 32);
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '@' || i + 1 == pattern.size()) {
      out += pattern[i];
      continue;
    }
    switch (pattern[++i]) {
      case 'n':
        out += random.pick(kNouns);
        break;
      case 'v':
        out += random.pick(kVerbs);
        break;
      case 'a':
        out += random.pick(kAdjectives);
        break;
      case 'd':
        out += random.pick(kParticiples);
        break;
      case 'A':
        out += capitalized(random.pick(kVerbs));
        break;
      case 'f':
        out += random.pick(kVerbs);
        out += capitalized(random.pick(kNouns));
        break;
      case 'F':
        out += capitalized(random.pick(kVerbs));
        out += capitalized(random.pick(kNouns));
        break;
      case 's':
        out += random.pick(kNouns);
        if (random.chance(0.5)) {
          out += '_';
          out += random.pick(kNouns);
        }
        break;
      case 'T':
        out += capitalized(random.pick(kNouns));
        out += capitalized(random.pick(kNouns));
        break;
      case 'N':
        out += std::to_string(random.logUniform(1, 2000));
        out.erase(out.find('.'));
        break;
      case 'P':
        out += std::to_string(random.below(101));
        break;
      case 'h':
        out += randomChars(random, kHex, 7);
        break;
      case 'e': {
        static const char* const extensions[] = {"ts", "tsx", "py", "rs", "go", "cpp", "h"};
        out += random.pick(extensions);
        break;
      }
      case 'H':
        out += random.pick(kStdHeaders);
        break;
      case '@':
        out += '@';
        break;
      default:
        out += '@';
        out += pattern[i];
    }
  }
  return out;
}

enum Language { cpp, typescript, python, rust, go, languageCount };

const std::vector<std::vector<const char*>> kCodeTemplates = {
    {
        "  const auto @s = @s.@f(@s);",
        "  if (!@s) return std::nullopt;",
        "std::optional<@T> @T::@f(std::string_view @s) const {",
        "  for (const auto& @n : @s_) {",
        "    @s_.push_back(@n);",
        "  }",
        "}",
        "",
        "#include \"@n/@s.h\"",
        "#include <@H>",
        "  // @A the @n before the @n is flushed, or the @a @n wins.",
        "  std::string @s = \"@n: \" + std::to_string(@N);",
        "  std::printf(\"%s: %d\\n\", @s.c_str(), @N);",
        "  return @s * @N + @s.size();",
        "namespace @n {",
        "  EXPECT_EQ(@s.@f(), @N);",
        "\tcase @T::k@T: return \"@n\";",
        "TEST(@T, @F) {",
        "  std::lock_guard guard(@s_);",
        "  auto [@n, @n] = @f(@s, /*@s=*/true);",
        "  const std::string path = root + \"/@n/\" + @s + \".json\";",
    },
    {
        "import { @T } from \"./@n\";",
        "export function @f(@n: @T): @T | undefined {",
        "  const response = await fetch(`/api/@n/${id}`);",
        "  if (!@n) throw new Error(\"@n is @a\");",
        "  return @n.@f(@N);",
        "  @ns.forEach((@n) => @f(@n));",
        "}",
        "",
        "  // TODO: @v the @n when the @n changes",
        "export const @T = @N;",
        "    <div className=\"@n-@n\">{@n.@n}</div>",
        "  it(\"@vs the @a @n\", async () => {",
        "    expect(@f(@n)).toEqual({ @n: @N, @n: \"@a\" });",
        "  const [@n, set@T] = useState<@T | null>(null);",
        "    .then((r) => r.json())",
        "  @s: string;",
        "interface @T {",
    },
    {
        "def @s(self, @s: @T) -> @T:",
        "    \"\"\"@A the @n and return the @a @n.\"\"\"",
        "    if @s is None:",
        "        raise ValueError(f\"@n {@s!r} is @a\")",
        "    return {k: v for k, v in @s.items() if v}",
        "import @n",
        "from @n.@n import @T",
        "class @T(@T):",
        "    @s = self.@s.get(\"@n\", @N)",
        "        print(f\"@n: {@s}\")",
        "    assert @s(@N) == @N",
        "",
        "    for @n in self.@ns:",
        "        @s.append(@n)",
        "    return @s",
        "    pattern = re.compile(r\"^(\\w+)\\s*=\\s*(.*)$\")",
    },
    {
        "fn @s(&self, @s: &@T) -> Result<@T, Error> {",
        "    let @s = @s.iter().map(|x| x.@s()).collect::<Vec<_>>();",
        "    if @s.is_empty() { return Ok(@T::default()); }",
        "use crate::@n::@T;",
        "    println!(\"@n = {:?}\", @s);",
        "#[derive(Debug, Clone, PartialEq)]",
        "pub struct @T {",
        "    pub @s: Option<String>,",
        "impl @T {",
        "}",
        "",
        "    let path = format!(\"{}/@n/{}.json\", root, @s);",
        "        .map_err(|e| anyhow!(\"@v @n: {e}\"))?;",
        "    #[test]",
    },
    {
        "func (s *@T) @F(ctx context.Context, @n string) (*@T, error) {",
        "\tif err != nil {",
        "\t\treturn nil, fmt.Errorf(\"@v @n: %w\", err)",
        "\t}",
        "\t@n := s.@ns[@n]",
        "package @n",
        "import \"github.com/acme/@n/internal/@n\"",
        "}",
        "",
        "\tfor _, @n := range s.@ns {",
        "\t\ts.log.Info(\"@v @n\", \"@n\", @n)",
        "type @T struct {",
        "\t@T string `json:\"@n,omitempty\"`",
    },
};

const char* const kExtensions[languageCount] = {"cpp", "ts", "py", "rs", "go"};

const char* const kBuildTemplates[] = {
    "[ @P%] Building CXX object core/CMakeFiles/@n.dir/@s.cpp.o",
    "   Compiling @n v0.@N.@N",
    "[@N/@N] Linking CXX executable bin/@n",
    "vite v5.4.@N building for production...",
    "✓ @N modules transformed.",
    "dist/assets/@n-@h.js   @N.@N kB │ gzip: @N.@N kB",
    "npm warn deprecated @n-@n@@1.@N.0: This package is no longer supported.",
    "    Finished `release` profile [optimized] target(s) in @N.@Ns",
    "go: downloading github.com/@n/@n v1.@N.0",
    "src/@s.cpp:@N:@N: warning: unused variable ‘@s’ [-Wunused-variable]",
};
const char* const kTestTemplates[] = {
    "tests/test_@s.py::test_@s PASSED                                        [ @P%]",
    "  ✓ @vs the @a @n (@N ms)",
    "  ✗ @vs the @a @n",
    "test @n::tests::@s ... ok",
    "--- PASS: Test@T (0.0@Ns)",
    "ok  \tgithub.com/acme/@n/@n\t0.@Ns",
    "@N/@N Test #@N: @T.@F ...............   Passed    0.0@N sec",
    "Tests:       @N passed, @N total",
    "    Expected: \"@n\"",
    "    Received: \"@a @n\"",
    " PASS  src/@n/@s.test.ts",
    "=================== @N passed, @N warnings in @N.@Ns ===================",
};
const char* const kErrorTemplates[] = {
    "src/@s.cpp:@N:@N: error: ‘@s’ was not declared in this scope",
    "src/@n.ts(@N,@N): error TS2339: Property '@s' does not exist on type '@T'.",
    "error[E0308]: mismatched types",
    "  --> src/@s.rs:@N:@N",
    "Traceback (most recent call last):",
    "  File \"/home/dev/src/@n/@s.py\", line @N, in @s",
    "KeyError: '@n'",
    "make: *** [Makefile:@N: all] Error 2",
    "FAILED tests/test_@s.py::test_@s - AssertionError: assert @N == @N",
    "npm error code ELIFECYCLE",
    " FAIL  src/@n/@s.test.ts > @T > @vs the @n",
    "panic: runtime error: index out of range [@N] with length @N",
};
const char* const kGitTemplates[] = {
    "On branch main",
    "Changes not staged for commit:",
    "  (use \"git add <file>...\" to update what will be committed)",
    "\tmodified:   src/@n/@s.@e",
    "@h @A @n @n handling",
    "@h Fix @a @n in @s",
    " src/@n/@s.@e | @N ++++---",
    " @N files changed, @N insertions(+), @N deletions(-)",
    "diff --git a/src/@n/@s.@e b/src/@n/@s.@e",
    "@@@@ -@N,@N +@N,@N @@@@ @s",
    "index @h..@h 100644",
};
const char* const kListingTemplates[] = {
    "-rw-r--r--  1 dev dev  @N Mar @P 12:@P @s.@e",
    "drwxr-xr-x  @N dev dev  4096 Mar  3 09:@P @n",
    "./src/@n/@s.@e",
    "    @N src/@n/@s.@e",
    "├── @s.@e",
    "│   └── @s.@e",
};
const char* const kMiscTemplates[] = {
    "{\"status\":\"ok\",\"uptime\":@N,\"@n\":\"@a\"}",
    "CONTAINER ID   IMAGE          COMMAND                  STATUS",
    "@h   postgres:16    \"docker-entrypoint.s…\"   Up @N minutes",
    "@N",
    "  \"@n\": \"^@N.@N.0\",",
    "export @T_@T=\"@n\"",
    "\x1b[32m✔\x1b[0m @A @n",
    "PID   USER  %CPU COMMAND",
    "@N   dev   @P.0 node server.js",
};
const char* const kSentenceTemplates[] = {
    "I'll @v the @n @n first so the @a path is covered.",
    "The @n in `src/@n/@s.@e` is @d twice — once in `@f()` and again on refresh.",
    "Let me check how `@f` handles an @a @n.",
    "Tests pass now: @N passed, 0 failed.",
    "Found it: `@f` returns early when the @n is \"@a\", so the @n never gets @d.",
    "Now I need to @v the @n before the @n is @d.",
    "The build is green; the remaining warning comes from `@s` and is unrelated.",
    "This keeps the @a @n out of the hot path → fewer allocations per @n.",
    "Let me look at the @n @n to see where the @a @n comes from.",
    "I'll update the test so it covers the @a case as well.",
    "Both call sites pass a `@T`, so the signature can take it by reference.",
    "The failure is a race: the @n is @d while the @n still holds the old @n.",
    "Next, @v the @n and re-run the @n tests.",
    "Good — the @n now survives a restart, and the @a @n is dropped.",
    "I should double-check the “@a” @n case before committing.",
    "Note: `@s` is only set after `@f()` succeeds.",
};
const char* const kPromptTemplates[] = {
    "can you @v the @n @n in src/@n/@s.@e? it breaks when the @n is @a",
    "the @n page is broken after the last change, please fix",
    "add a test for @f",
    "why does the @n fail with \"@a @n\"?",
    "refactor src/@n/@s.@e so @n and @n share one @n",
    "continue",
    "yes",
    "looks good, commit it",
    "ok now run the tests",
    "please @v the @n handling, the @a case still crashes",
    "make the @n @n faster, it takes @N ms on a @a @n",
    "peux-tu corriger le bug dans src/@n/@s.@e ?",
    "このテストを直してください: test_@s",
    "🚀 ship it",
    "use `@f` instead of the @a @n helper everywhere",
    "what does @T do? explain briefly",
    "revert the change to @s and try a different approach",
};
const char* const kMcpTools[] = {"mcp__github__create_issue",
                                 "mcp__github__get_pull_request",
                                 "mcp__linear__list_issues",
                                 "mcp__linear__update_issue",
                                 "mcp__playwright__browser_snapshot",
                                 "mcp__sentry__get_issue_details",
                                 "mcp__postgres__query",
                                 "mcp__context7__get-library-docs"};

struct Pools {
  std::vector<std::string> code[languageCount];
  std::vector<std::string> build, test, errors, git, listing, misc, sentences, prompts;

  explicit Pools(Random& random) {
    const auto make = [&](std::vector<std::string>& pool, size_t count, auto&& next) {
      pool.reserve(count);
      for (size_t i = 0; i < count; ++i) pool.push_back(escaped(fill(next(), random)));
    };
    for (int language = 0; language < languageCount; ++language) {
      const auto& templates = kCodeTemplates[static_cast<size_t>(language)];
      make(code[language], 2000, [&] { return random.pick(templates); });
    }
    make(build, 800, [&] { return random.pick(kBuildTemplates); });
    make(test, 800, [&] { return random.pick(kTestTemplates); });
    make(errors, 600, [&] { return random.pick(kErrorTemplates); });
    make(git, 600, [&] { return random.pick(kGitTemplates); });
    make(listing, 600, [&] { return random.pick(kListingTemplates); });
    make(misc, 300, [&] { return random.pick(kMiscTemplates); });
    make(sentences, 3000, [&] { return random.pick(kSentenceTemplates); });
    make(prompts, 1500, [&] { return random.pick(kPromptTemplates); });
  }
};

// Whole pool lines joined by escaped newlines until `out` has grown by about `bytes`.
void appendLines(std::string& out, const std::vector<std::string>& pool, size_t bytes,
                 Random& random) {
  const size_t goal = out.size() + bytes;
  bool first = true;
  while (out.size() < goal) {
    if (!first) out += "\\n";
    first = false;
    out += random.pick(pool);
  }
}

void appendProse(std::string& out, const Pools& pools, size_t bytes, Random& random) {
  const size_t goal = out.size() + bytes;
  bool first = true;
  while (out.size() < goal) {
    if (!first) out += random.chance(0.2) ? "\\n\\n" : " ";
    first = false;
    out += random.pick(pools.sentences);
  }
}

// ---------------------------------------------------------------------------------------
// Projects and the plan of sessions.

struct Project {
  std::string cwd;  // escaped
  std::string dir;  // the folder under projects/
  Language language = cpp;
  std::vector<std::string> files;  // absolute, escaped
  std::vector<std::string> branches;
};

std::vector<Project> makeProjects(size_t count, Random& random) {
  static const char* const names[] = {
      "shop",         "tessel",   "api-gateway", "ml_pipeline", "site.io",     "infra",
      "mobile-app",   "docs",     "data-tools",  "game_engine", "blog",        "payments",
      "auth-service", "cli",      "dotfiles",    "notebooks",   "compiler",    "search",
      "scheduler",    "frontend", "billing",     "etl.jobs",    "chat-server", "kernel_mods",
      "website-v2",   "monorepo", "analytics",   "sdk-python",  "router",      "ledger"};
  static const char* const directories[] = {
      "src", "src/api", "src/components", "lib",     "tests", "core", "app", "server",
      "cmd", "scripts", "internal/store", "src/util"};
  std::vector<Project> projects;
  for (size_t i = 0; i < count; ++i) {
    Project project;
    std::string name = names[i % std::size(names)];
    if (i >= std::size(names)) name += "-" + std::to_string(i / std::size(names) + 1);
    std::string cwd;
    const uint64_t shape = random.below(10);
    if (shape < 5) {
      cwd = "/home/dev/src/" + name;
    } else if (shape < 7) {
      cwd = "/home/dev/work/acme/" + name;
    } else if (shape < 8) {
      cwd = "/home/dev/src/" + name + "/.claude/worktrees/" + fill("@v-@n", random);
    } else if (shape < 9) {
      cwd = "/home/dev/Projects/My " + capitalized(name);
    } else {
      cwd = "/workspaces/" + name;
    }
    project.dir = projectDirName(cwd);
    project.cwd = escaped(cwd);
    project.language = static_cast<Language>(random.below(languageCount));
    const auto fileCount = static_cast<size_t>(random.between(30, 200));
    for (size_t f = 0; f < fileCount; ++f) {
      std::string path = cwd + "/" + random.pick(directories) + "/" +
                         fill(project.language == typescript ? "@f" : "@s", random) + "." +
                         kExtensions[project.language];
      project.files.push_back(escaped(path));
    }
    project.branches = {"main", "main", "HEAD", fill("feat/@v-@n", random),
                        "fix/issue-" + std::to_string(random.between(100, 9999))};
    projects.push_back(std::move(project));
  }
  return projects;
}

struct SessionPlan {
  uint64_t bytes = 0;
  size_t project = 0;
  uint64_t seed = 0;
};

// Session sizes adding up to `total`: mostly small, some of several megabytes, a few
// of tens. The first is a big one so that even a small tree has one.
std::vector<SessionPlan> planSessions(uint64_t total, size_t projectCount, Random& random) {
  constexpr uint64_t smallest = 20 * kKiB;
  std::vector<double> weights;
  double weightSum = 0;
  for (size_t i = 0; i < projectCount; ++i) {
    weights.push_back(1 / std::pow(static_cast<double>(i + 1), 0.8));
    weightSum += weights.back();
  }
  std::vector<SessionPlan> plan;
  uint64_t remaining = total;
  while (remaining > 0) {
    double size = 0;
    const double u = random.unit();
    if (plan.empty()) {
      size = std::min(random.logUniform(20.0 * kMiB, 40.0 * kMiB), total / 3.0);
    } else if (u < 0.82) {
      size = random.logUniform(smallest, 500.0 * kKiB);
    } else if (u < 0.89) {
      size = random.logUniform(500.0 * kKiB, 2.0 * kMiB);
    } else if (u < 0.99) {
      size = random.logUniform(2.0 * kMiB, 10.0 * kMiB);
    } else {
      size = random.logUniform(20.0 * kMiB, 40.0 * kMiB);
    }
    auto bytes = std::max<uint64_t>(static_cast<uint64_t>(size), std::min(smallest, remaining));
    if (bytes > remaining || remaining - bytes < smallest) bytes = remaining;
    remaining -= bytes;
    SessionPlan session;
    session.bytes = bytes;
    double point = random.unit() * weightSum;
    for (size_t i = 0; i < projectCount; ++i) {
      session.project = i;
      point -= weights[i];
      if (point < 0) break;
    }
    session.seed = random.next();
    plan.push_back(session);
  }
  return plan;
}

// ---------------------------------------------------------------------------------------
// Output: one file written in large blocks, dated by its last line when closed.

class FileOut {
 public:
  static constexpr size_t flushBytes = 4 * kMiB;

  explicit FileOut(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("open");
    buffer_.reserve(flushBytes + 256 * kKiB);
  }
  FileOut(const FileOut&) = delete;
  FileOut& operator=(const FileOut&) = delete;
  ~FileOut() {
    if (fd_ >= 0) ::close(fd_);
  }

  std::string& buffer() { return buffer_; }
  uint64_t size() const { return flushed_ + buffer_.size(); }
  void maybeFlush() {
    if (buffer_.size() >= flushBytes) flush();
  }
  void close(int64_t modifiedMs) {
    flush();
    if (::close(fd_) != 0) fail("close");
    fd_ = -1;
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(modifiedMs / kSecondMs);
    times[0].tv_nsec = static_cast<long>(modifiedMs % kSecondMs * 1000000);
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, path_.c_str(), times, 0) != 0) fail("utimensat");
  }

 private:
  void flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
      const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("write");
      done += static_cast<size_t>(n);
    }
    flushed_ += buffer_.size();
    buffer_.clear();
  }
  [[noreturn]] void fail(const char* what) const {
    std::fprintf(stderr, "make_projects: %s %s: %s\n", what, path_.c_str(), std::strerror(errno));
    std::exit(1);
  }

  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  uint64_t flushed_ = 0;
};

// ---------------------------------------------------------------------------------------
// One transcript: a main session, or a sub-agent's file written while its parent waits
// for the Agent call.

class SessionWriter {
 public:
  struct Setting {
    const Pools& pools;
    const Project& project;
    std::string projectPath;  // <output>/projects/<project-dir>
    int64_t nowMs;
  };

  // A main session of about `bytes`, including its sub-agents' files.
  SessionWriter(const Setting& setting, Random& random, TreeStats& stats, uint64_t bytes)
      : setting_(setting),
        pools_(setting.pools),
        project_(setting.project),
        random_(random),
        stats_(stats),
        sessionId_(uuid(random)),
        out_(setting.projectPath + "/" + sessionId_ + ".jsonl") {
    chooseSessionTraits(bytes);
  }

  void writeSession() {
    stats_.sessions++;
    bool first = true;
    while (!full()) {
      turn(first);
      first = false;
    }
    if (customTitle_ && random_.chance(0.5)) customTitleLine();
    if (aiTitle_ && random_.chance(0.5)) aiTitleLine();
    close();
  }

 private:
  // A sub-agent of `parent`, started by the Agent call `toolUseId` at the parent's clock.
  SessionWriter(SessionWriter& parent, const std::string& agentId, const std::string& toolUseId,
                uint64_t bytes)
      : setting_(parent.setting_),
        pools_(parent.pools_),
        project_(parent.project_),
        random_(parent.random_),
        stats_(parent.stats_),
        sessionId_(parent.sessionId_),
        out_(subagentPath(parent, agentId, toolUseId)) {
    ownTarget_ = bytes;
    model_ = random_.chance(0.35) ? "claude-haiku-4-5-20251001" : parent.model_;
    envelope_ = parent.envelope_;
    head_ = ",\"isSidechain\":true,\"agentId\":\"" + agentId + "\"";
    sidechain_ = true;
    start_ = parent.clock_;
    clock_ = start_;
    span_ = static_cast<int64_t>(random_.logUniform(20.0 * kSecondMs, 8.0 * kMinuteMs) *
                                 std::max(1.0, static_cast<double>(bytes) / (200.0 * kKiB)));
    limit_ = parent.limit_;
    identicalUsage_ = parent.identicalUsage_;
    context_ = random_.between(8000, 20000);
  }

  static std::string subagentPath(const SessionWriter& parent, const std::string& agentId,
                                  const std::string& toolUseId) {
    const std::string folder = parent.setting_.projectPath + "/" + parent.sessionId_ + "/subagents";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::string meta = folder + "/agent-" + agentId + ".meta.json";
    const std::string sidecar = "{\"toolUseId\":\"" + toolUseId + "\"}";
    FileOut sidecarFile(meta);
    sidecarFile.buffer() = sidecar;
    sidecarFile.close(parent.clock_);
    return folder + "/agent-" + agentId + ".jsonl";
  }

  void chooseSessionTraits(uint64_t bytes) {
    Random& r = random_;
    const double modelDraw = r.unit();
    model_ = modelDraw < 0.55   ? "claude-opus-4-7"
             : modelDraw < 0.95 ? "claude-sonnet-4-6"
                                : "claude-haiku-4-5-20251001";
    // Most sessions ended in the last ten days; a few are older, beyond two weeks.
    const double ageDays = r.chance(0.05) ? r.logUniform(14.5, 30) : r.unit() * 10;
    const auto endMs = setting_.nowMs - static_cast<int64_t>(ageDays * kDayMs);
    const double megabytes = static_cast<double>(bytes) / kMiB;
    const double spanMs = megabytes < 0.5  ? r.logUniform(5.0 * kMinuteMs, 3.0 * kHourMs)
                          : megabytes < 10 ? r.logUniform(1.0 * kHourMs, 10.0 * kHourMs)
                                           : r.logUniform(10.0 * kHourMs, 3.0 * kDayMs);
    span_ = static_cast<int64_t>(spanMs);
    start_ = endMs - span_;
    clock_ = start_;
    limit_ = setting_.nowMs - kSecondMs;
    const int64_t minor = 140 - static_cast<int64_t>(ageDays * 2) - r.between(0, 3);
    const double entry = r.unit();
    const char* entrypoint = entry < 0.9    ? "cli"
                             : entry < 0.95 ? "claude-desktop"
                             : entry < 0.98 ? "sdk-cli"
                                            : "sdk-py";
    std::string slug = fill("@a-@n-", r) + r.pick(kAnimals);
    envelope_ = ",\"userType\":\"external\",\"entrypoint\":\"" + std::string(entrypoint) +
                "\",\"cwd\":\"" + project_.cwd + "\",\"sessionId\":\"" + sessionId_ +
                "\",\"version\":\"2.1." + std::to_string(minor) + "\",\"gitBranch\":\"" +
                escaped(r.pick(project_.branches)) + "\",\"slug\":\"" + slug + "\"";
    head_ = ",\"isSidechain\":false";
    aiTitle_ = r.chance(0.85);
    customTitle_ = r.chance(0.2);
    lastPrompts_ = r.chance(0.9);
    identicalUsage_ = r.chance(0.4);
    serverToolUse_ = r.chance(0.3);
    context_ = r.between(12000, 30000);
    // About a fifth of sessions hand work to sub-agents, each with a slice of the bytes.
    uint64_t childBytes = 0;
    if (r.chance(0.2)) {
      const auto count = static_cast<size_t>(r.between(1, 3));
      const double share = r.logUniform(0.1, 0.4);
      for (size_t i = 0; i < count; ++i) {
        const auto slice = std::max<uint64_t>(
            6 * kKiB, static_cast<uint64_t>(static_cast<double>(bytes) * share / count));
        agents_.push_back({r.unit() * 0.8, slice});
        childBytes += slice;
      }
      std::sort(agents_.begin(), agents_.end());
      if (childBytes > bytes / 2) {
        agents_.clear();
        childBytes = 0;
      }
    }
    ownTarget_ = bytes - childBytes;
  }

  // ------------------------------------------------------------------ clock and lines

  // Lines come `gapMs` apart, but never earlier than their share of the session's span
  // by bytes written, so that big sessions spread over hours or days.
  void advance(int64_t gapMs) {
    const double progress =
        std::min(1.0, static_cast<double>(out_.size()) / static_cast<double>(ownTarget_));
    const auto floor = start_ + static_cast<int64_t>(progress * static_cast<double>(span_));
    const int64_t next = std::max(clock_ + gapMs, floor);
    clock_ = std::max(clock_, std::min(next, limit_));
  }
  void advanceLogUniform(double lowMs, double highMs) {
    advance(static_cast<int64_t>(random_.logUniform(lowMs, highMs)));
  }

  bool full() const { return agents_.empty() && out_.size() + closingReserve >= ownTarget_; }
  // What is left of the session's own bytes for one more output, kept small near the end
  // so that files land close to their planned sizes.
  size_t budget(double wanted) const {
    const uint64_t used = out_.size() + closingReserve;
    const uint64_t left = used < ownTarget_ ? ownTarget_ - used : 0;
    return static_cast<size_t>(std::min(wanted, std::max(64.0, static_cast<double>(left) / 3)));
  }

  std::string& buf() { return out_.buffer(); }

  void openEntry() {
    std::string& b = buf();
    b += "{\"parentUuid\":";
    if (parent_.empty()) {
      b += "null";
    } else {
      b += '"';
      b += parent_;
      b += '"';
    }
    b += head_;
  }
  // uuid and timestamp; the caller may add members after them before endEntry.
  void stampEntry(const std::string& id) {
    std::string& b = buf();
    b += ",\"uuid\":\"";
    b += id;
    b += "\",\"timestamp\":\"";
    appendTimestamp(b, clock_);
    b += '"';
    parent_ = id;
    lastStampMs_ = clock_;
  }
  void endEntry() {
    std::string& b = buf();
    b += envelope_;
    b += "}\n";
    out_.maybeFlush();
  }
  void metadataLine(std::string_view type, std::string_view key, std::string_view value) {
    std::string& b = buf();
    b += "{\"type\":\"";
    b += type;
    b += "\",\"";
    b += key;
    b += "\":\"";
    b += value;
    b += "\",\"sessionId\":\"";
    b += sessionId_;
    b += "\"}\n";
  }
  void customTitleLine() { metadataLine("custom-title", "customTitle", customTitleText_); }
  void aiTitleLine() { metadataLine("ai-title", "aiTitle", aiTitleText_); }
  void queueOperation(std::string_view operation, const std::string* content) {
    std::string& b = buf();
    b += "{\"type\":\"queue-operation\",\"operation\":\"";
    b += operation;
    b += "\",\"timestamp\":\"";
    appendTimestamp(b, clock_);
    b += "\",\"sessionId\":\"";
    b += sessionId_;
    b += '"';
    if (content != nullptr) {
      b += ",\"content\":\"";
      b += *content;
      b += '"';
    }
    b += "}\n";
  }
  void fileHistorySnapshot(const std::string& messageId) {
    std::string& b = buf();
    b += "{\"type\":\"file-history-snapshot\",\"messageId\":\"";
    b += messageId;
    b += "\",\"snapshot\":{\"messageId\":\"";
    b += messageId;
    b += "\",\"trackedFileBackups\":{";
    for (size_t i = 0; i < editedFiles_.size(); ++i) {
      if (i > 0) b += ',';
      b += '"';
      b += editedFiles_[i].first;
      b += "\":{\"backupFileName\":\"";
      b += randomChars(random_, kHex, 16);
      b += "@v";
      appendNumber(b, editedFiles_[i].second);
      b += "\",\"version\":";
      appendNumber(b, editedFiles_[i].second);
      b += ",\"backupTime\":\"";
      appendTimestamp(b, clock_);
      b += "\"}";
    }
    b += "},\"timestamp\":\"";
    appendTimestamp(b, clock_);
    b += "\"},\"isSnapshotUpdate\":false}\n";
  }

  void appendUsage(std::string& b, int64_t outputTokens) {
    b += "{\"input_tokens\":";
    appendNumber(b, random_.between(1, 12));
    b += ",\"cache_creation_input_tokens\":";
    appendNumber(b, newTokens_);
    b += ",\"cache_read_input_tokens\":";
    appendNumber(b, context_);
    b += ",\"output_tokens\":";
    appendNumber(b, outputTokens);
    if (serverToolUse_)
      b += ",\"server_tool_use\":{\"web_search_requests\":0,\"web_fetch_requests\":0}";
    b += ",\"cache_creation\":{\"ephemeral_5m_input_tokens\":0,\"ephemeral_1h_input_tokens\":";
    appendNumber(b, newTokens_);
    b += "},\"service_tier\":\"standard\"}";
  }

  // ------------------------------------------------------------------ conversation

  void turn(bool first) {
    const int64_t turnStart = clock_;
    promptText_.clear();
    bool slash = false;
    if (!first && random_.chance(0.03)) {
      slash = true;
    } else if (random_.chance(0.04)) {
      // A pasted error log under the question.
      promptText_ = random_.pick(pools_.prompts);
      promptText_ += "\\n\\n```\\n";
      appendLines(promptText_, pools_.errors, budget(random_.logUniform(500, 8000)), random_);
      promptText_ += "\\n```";
    } else {
      promptText_ = random_.pick(pools_.prompts);
    }
    promptId_ = uuid(random_);
    const std::string promptUuid = uuid(random_);
    if (first) {
      queueOperation("enqueue", &promptText_);
      queueOperation("dequeue", nullptr);
    } else {
      advanceLogUniform(5.0 * kSecondMs, 20.0 * kMinuteMs);
      if (!slash && random_.chance(0.05)) {
        queueOperation("enqueue", &promptText_);
        queueOperation(random_.chance(0.8) ? "dequeue" : "remove", nullptr);
      }
    }
    fileHistorySnapshot(promptUuid);
    if (slash) {
      modelCommand(promptUuid);
      return;
    }
    promptLine(promptUuid);
    if (random_.chance(0.007)) {
      syntheticReply();
      if (lastPrompts_) metadataLine("last-prompt", "lastPrompt", promptText_);
      return;
    }
    const int64_t steps = random_.between(1, random_.chance(0.3) ? 40 : 10);
    bool interrupted = false;
    for (int64_t i = 0; i < steps && !interrupted; ++i) {
      if (full()) break;
      maybeCompact();
      step(interrupted);
    }
    if (!interrupted) {
      reply();
      if (random_.chance(0.8)) turnDuration(turnStart);
    }
    if (first) {
      aiTitleText_ = escaped(fill("@A @a @n @n", random_));
      customTitleText_ = escaped(fill("@n-@n fix", random_));
      if (aiTitle_) aiTitleLine();
    }
    if (customTitle_ && random_.chance(0.1)) customTitleLine();
    if (lastPrompts_) metadataLine("last-prompt", "lastPrompt", promptText_);
  }

  void promptLine(const std::string& id) {
    std::string& b = buf();
    openEntry();
    b += ",\"promptId\":\"";
    b += promptId_;
    b += "\",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":";
    const double shape = random_.unit();
    if (shape < 0.75) {
      b += '"';
      b += promptText_;
      b += '"';
    } else {
      b += "[{\"type\":\"text\",\"text\":\"";
      b += promptText_;
      b += "\"}";
      if (shape > 0.99) {
        b += ",{\"type\":\"image\",\"source\":{\"type\":\"base64\",\"media_type\":\"image/png\","
             "\"data\":\"iVBORw0KGgo";
        b += randomChars(random_, kBase64, budget(random_.logUniform(8000, 60000)) / 4 * 4);
        b += "\"}}";
      }
      b += ']';
    }
    b += '}';
    stampEntry(id);
    b += ",\"permissionMode\":\"";
    b += random_.chance(0.8) ? "default" : "acceptEdits";
    b += '"';
    endEntry();
  }

  // "/model sonnet": the command line, the CLI's answer, and the next replies' model.
  void modelCommand(const std::string& id) {
    const bool toSonnet = model_ != "claude-sonnet-4-6";
    promptText_ = toSonnet ? "/model sonnet" : "/model opus";
    std::string& b = buf();
    openEntry();
    b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"<command-name>/model</"
         "command-name>\\n            <command-message>model</command-message>\\n            "
         "<command-args>";
    b += toSonnet ? "sonnet" : "opus";
    b += "</command-args>\"}";
    stampEntry(id);
    endEntry();
    advance(random_.between(5, 40));
    openEntry();
    b +=
        ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"<local-command-stdout>Set "
        "model to \\u001b[1m";
    b += toSonnet ? "Sonnet 4.6" : "Opus 4.7";
    b += "\\u001b[22m</local-command-stdout>\"}";
    stampEntry(uuid(random_));
    endEntry();
    model_ = toSonnet ? "claude-sonnet-4-6" : "claude-opus-4-7";
    if (lastPrompts_) metadataLine("last-prompt", "lastPrompt", promptText_);
  }

  // A reply made on this machine: nothing was asked, or the API failed.
  void syntheticReply() {
    advanceLogUniform(200, 30000);
    const bool apiError = random_.chance(0.5);
    std::string& b = buf();
    openEntry();
    b += ",\"message\":{\"model\":\"<synthetic>\",\"id\":\"";
    b += uuid(random_);
    b += "\",\"type\":\"message\",\"role\":\"assistant\",\"content\":[{\"type\":\"text\",\"text\":"
         "\"";
    b += apiError
             ? "API Error: 529 "
               "{\\\"type\\\":\\\"error\\\",\\\"error\\\":{\\\"type\\\":\\\"overloaded_error\\\","
               "\\\"message\\\":\\\"Overloaded\\\"}}"
             : "No response requested.";
    b += "\"}],\"stop_reason\":\"stop_sequence\",\"stop_sequence\":\"\",\"usage\":{\"input_"
         "tokens\":0,"
         "\"output_tokens\":0,\"cache_creation_input_tokens\":0,\"cache_read_input_tokens\":0}},"
         "\"type\":\"assistant\"";
    stampEntry(uuid(random_));
    if (apiError) b += ",\"error\":\"unknown\",\"isApiErrorMessage\":true,\"apiErrorStatus\":529";
    endEntry();
  }

  // Long sessions compact their context every several megabytes.
  void maybeCompact() {
    if (sidechain_ || out_.size() < nextCompactAt_) return;
    nextCompactAt_ =
        out_.size() + static_cast<uint64_t>(random_.logUniform(4.0 * kMiB, 9.0 * kMiB));
    advanceLogUniform(20.0 * kSecondMs, 90.0 * kSecondMs);
    std::string& b = buf();
    const std::string logicalParent = parent_;
    parent_.clear();
    openEntry();
    b += ",\"type\":\"system\",\"subtype\":\"compact_boundary\",\"content\":\"Conversation "
         "compacted\",\"isMeta\":false";
    stampEntry(uuid(random_));
    b += ",\"level\":\"info\",\"compactMetadata\":{\"trigger\":\"auto\",\"preTokens\":";
    appendNumber(b, context_);
    b += "},\"logicalParentUuid\":\"";
    b += logicalParent;
    b += '"';
    endEntry();
    advance(random_.between(1, 20));
    openEntry();
    b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"This session is being "
         "continued from a previous conversation that ran out of context. The conversation is "
         "summarized below:\\nAnalysis:\\n";
    appendProse(b, pools_, budget(random_.logUniform(4000, 15000)), random_);
    b += "\"},\"isVisibleInTranscriptOnly\":true,\"isCompactSummary\":true";
    stampEntry(uuid(random_));
    endEntry();
    context_ = random_.between(15000, 40000);
  }

  void turnDuration(int64_t turnStart) {
    advance(random_.between(1, 30));
    std::string& b = buf();
    openEntry();
    b += ",\"type\":\"system\",\"subtype\":\"turn_duration\",\"durationMs\":";
    appendNumber(b, clock_ - turnStart);
    b += ",\"isMeta\":false";
    stampEntry(uuid(random_));
    endEntry();
  }

  // The closing text of a turn: one message, maybe thought through first.
  void reply() {
    blocks_.clear();
    if (random_.chance(0.4)) blocks_.push_back(thinkingBlock());
    std::string text = "{\"type\":\"text\",\"text\":\"";
    appendProse(text, pools_, budget(random_.logUniform(60, 2500)), random_);
    text += "\"}";
    blocks_.push_back(std::move(text));
    advanceLogUniform(1500, 40000);
    assistantMessage(false);
  }

  std::string thinkingBlock() {
    std::string block = "{\"type\":\"thinking\",\"thinking\":\"";
    appendProse(block, pools_, budget(random_.logUniform(150, 4000)), random_);
    block += "\",\"signature\":\"";
    block += randomChars(random_, kBase64, static_cast<size_t>(random_.between(300, 1400)));
    block += "\"}";
    return block;
  }

  // Writes blocks_ as one API response: one line per block, all with the message's id,
  // request id and a copy of its usage. Returns each line's uuid through blockUuids_.
  void assistantMessage(bool endsWithTools) {
    const std::string messageId = "msg_01" + randomChars(random_, kBase62, 22);
    const std::string requestId = "req_011C" + randomChars(random_, kBase62, 20);
    int64_t outputTokens = 0;
    for (const std::string& block : blocks_) outputTokens += static_cast<int64_t>(block.size() / 4);
    blockUuids_.clear();
    std::string& b = buf();
    for (size_t i = 0; i < blocks_.size(); ++i) {
      const bool last = i + 1 == blocks_.size();
      if (i > 0) advance(random_.between(15, 900));
      openEntry();
      b += ",\"message\":{\"model\":\"";
      b += model_;
      b += "\",\"id\":\"";
      b += messageId;
      b += "\",\"type\":\"message\",\"role\":\"assistant\",\"content\":[";
      b += blocks_[i];
      b += "],\"stop_reason\":";
      b += !last ? "null" : endsWithTools ? "\"tool_use\"" : "\"end_turn\"";
      b += ",\"stop_sequence\":null,\"usage\":";
      appendUsage(b, last || identicalUsage_ ? outputTokens : random_.between(1, 30));
      b += "},\"requestId\":\"";
      b += requestId;
      b += "\",\"type\":\"assistant\"";
      blockUuids_.push_back(uuid(random_));
      stampEntry(blockUuids_.back());
      endEntry();
    }
    newTokens_ = outputTokens + random_.between(0, 300);
    context_ += newTokens_;
  }

  // ------------------------------------------------------------------ tool calls

  struct Call {
    std::string id, name, input;
    std::string content;  // a JSON value: a string with its quotes, or an array
    std::string result;   // the toolUseResult value
    bool isError = false;
    int64_t durationMs = 0;
    uint64_t agentBytes = 0;
  };

  // One API response with tool calls, then each call's result on its own line.
  void step(bool& interrupted) {
    advanceLogUniform(1500, 25000);
    size_t count = 1;
    if (random_.chance(0.15)) count = static_cast<size_t>(random_.between(2, 4));
    calls_.resize(count);
    bool agentCalled = false;
    for (Call& call : calls_) {
      call = Call{};
      call.id = "toolu_01" + randomChars(random_, kBase62, 22);
      const double progress =
          static_cast<double>(out_.size()) / static_cast<double>(std::max<uint64_t>(1, ownTarget_));
      if (!agentCalled && !agents_.empty() &&
          (agents_.front().first <= progress || out_.size() + closingReserve >= ownTarget_)) {
        agentCalled = true;
        agentCall(call, agents_.front().second);
        agents_.erase(agents_.begin());
      } else {
        toolCall(call);
      }
    }
    blocks_.clear();
    if (random_.chance(0.5)) blocks_.push_back(thinkingBlock());
    if (random_.chance(0.35)) {
      std::string text = "{\"type\":\"text\",\"text\":\"";
      appendProse(text, pools_, static_cast<size_t>(random_.logUniform(40, 600)), random_);
      text += "\"}";
      blocks_.push_back(std::move(text));
    }
    const size_t firstCall = blocks_.size();
    for (const Call& call : calls_) {
      std::string block = "{\"type\":\"tool_use\",\"id\":\"";
      block += call.id;
      block += "\",\"name\":\"";
      block += call.name;
      block += "\",\"input\":";
      block += call.input;
      block += '}';
      blocks_.push_back(std::move(block));
      if (call.name == "Bash") stats_.bashCalls++;
    }
    assistantMessage(true);
    for (size_t i = 0; i < calls_.size(); ++i) {
      Call& call = calls_[i];
      if (call.agentBytes > 0) runAgent(call);
      if (random_.chance(0.006)) {
        rejected(call);
        interrupted = true;
      }
      advance(call.durationMs);
      resultLine(call, blockUuids_[firstCall + i]);
      context_ += static_cast<int64_t>(call.content.size() / 4);
    }
    if (interrupted) interruptLine();
  }

  void resultLine(const Call& call, const std::string& sourceUuid) {
    std::string& b = buf();
    openEntry();
    if (!promptId_.empty()) {
      b += ",\"promptId\":\"";
      b += promptId_;
      b += '"';
    }
    b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{\"tool_use_id\":\"";
    b += call.id;
    b += "\",\"type\":\"tool_result\",\"content\":";
    b += call.content;
    if (call.isError) {
      b += ",\"is_error\":true";
    } else if (random_.chance(0.1)) {
      b += ",\"is_error\":false";
    }
    b += "}]}";
    stampEntry(uuid(random_));
    b += ",\"toolUseResult\":";
    b += call.result;
    b += ",\"sourceToolAssistantUUID\":\"";
    b += sourceUuid;
    b += '"';
    endEntry();
    stats_.toolResults++;
    if (call.isError) stats_.errors++;
  }

  void rejected(Call& call) {
    call.content =
        "\"The user doesn't want to proceed with this tool use. The tool use was rejected (eg. if "
        "it was a file edit, the new_string was NOT written to the file). STOP what you are doing "
        "and wait for the user to tell you how to proceed.\"";
    call.result = "\"User rejected tool use\"";
    call.isError = true;
  }

  void interruptLine() {
    advance(random_.between(100, 3000));
    std::string& b = buf();
    openEntry();
    b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{\"type\":\"text\","
         "\"text\":\"[Request interrupted by user for tool use]\"}]}";
    stampEntry(uuid(random_));
    endEntry();
  }

  // Bash about 40% of calls; the rest as a coding session spreads them.
  void toolCall(Call& call) {
    if (!background_.empty() && random_.chance(0.3)) return bashOutput(call);
    const double u = random_.unit() * 100;
    if (u < 40) return bash(call);
    if (u < 59) return read(call);
    if (u < 71) return edit(call, false);
    if (u < 72) return edit(call, true);
    if (u < 79) return grep(call);
    if (u < 83) return glob(call);
    if (u < 87) return write(call);
    if (u < 92) return todoWrite(call);
    if (u < 94) return webFetch(call);
    if (u < 95) return webSearch(call);
    return mcp(call);
  }

  // A string value: `text` (already escaped) in quotes.
  static void quoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
  }

  void bash(Call& call) {
    enum Kind { test, build, git, listing, search, misc };
    struct Command {
      Kind kind;
      const char* command;
      const char* description;
    };
    static const Command commands[] = {
        {test, "npm test", "Run the test suite"},
        {test, "npm run test -- --run src/@n", "Run the @n tests"},
        {test, "pytest -q tests/test_@s.py", "Run the @n tests"},
        {test, "cargo test @s 2>&1 | tail -40", "Run the @n tests"},
        {test, "go test ./internal/@n/...", "Run the Go tests for @n"},
        {test, "ctest --test-dir build --output-on-failure -R @T", "Run the @T tests"},
        {build, "npm run build", "Build the project"},
        {build, "cargo build --release 2>&1 | tail -50", "Build in release mode"},
        {build, "cmake --build build -j2 2>&1 | tail -30", "Build with CMake"},
        {build, "make -j4", "Build"},
        {build, "npx tsc --noEmit", "Type-check the project"},
        {git, "git status", "Show working tree status"},
        {git, "git diff --stat", "Show changed files"},
        {git, "git diff src/@n/@s.@e", "Show the diff of @s"},
        {git, "git log --oneline -20", "Show recent commits"},
        {git,
         "git add -A && git commit -m \"$(cat <<'EOF'\n@A the @a @n\n\nThe @n was @d twice; "
         "now once.\nEOF\n)\"",
         "Commit the @n fix"},
        {listing, "ls -la src/@n", "List the @n folder"},
        {listing, "find . -name '*.@e' -not -path './node_modules/*' | head -50",
         "Find source files"},
        {listing, "wc -l src/@n/*.@e", "Count lines"},
        {search, "grep -rn \"@f\" src/ | head -30", "Find uses of @f"},
        {search, "rg -n '@s\\(' --type @e", "Search for @s calls"},
        {misc, "cat package.json", "Show package.json"},
        {misc, "docker ps", "List running containers"},
        {misc, "curl -s localhost:8080/health", "Check the server"},
        {misc, "python3 -c \"import json,sys; print(json.load(open('@n.json'))['@n'])\"",
         "Read a config value"},
        {misc, "mkdir -p build && cd build && cmake .. -G Ninja", "Configure the build"},
        {misc, "echo $PATH | tr ':' '\\n'", "Show PATH entries"},
    };
    const Command& chosen = random_.pick(commands);
    call.name = "Bash";
    call.input = "{\"command\":";
    quoted(call.input, escaped(fill(chosen.command, random_)));
    call.input += ",\"description\":";
    quoted(call.input, escaped(fill(chosen.description, random_)));
    if (random_.chance(0.12))
      call.input += random_.chance(0.5) ? ",\"timeout\":120000" : ",\"timeout\":600000";
    const bool longRunning = chosen.kind == test || chosen.kind == build || chosen.kind == misc;
    if (longRunning && random_.chance(0.1)) {
      const std::string task = "bash_" + std::to_string(++backgroundCount_);
      call.input += ",\"run_in_background\":true}";
      call.content = "\"Command running in background with ID: " + task + "\"";
      call.result =
          "{\"stdout\":\"\",\"stderr\":\"\",\"interrupted\":false,\"isImage\":false,"
          "\"backgroundTaskId\":\"" +
          task + "\"}";
      call.durationMs = random_.between(20, 300);
      background_.push_back(task);
      return;
    }
    call.input += '}';
    call.durationMs = static_cast<int64_t>(longRunning ? random_.logUniform(800, 180000)
                                                       : random_.logUniform(10, 2000));
    const std::vector<std::string>* pool = &pools_.misc;
    switch (chosen.kind) {
      case test:
        pool = &pools_.test;
        break;
      case build:
        pool = &pools_.build;
        break;
      case git:
        pool = random_.chance(0.5) ? &pools_.code[project_.language] : &pools_.git;
        break;
      case listing:
        pool = &pools_.listing;
        break;
      case search:
        pool = &pools_.code[project_.language];
        break;
      case misc:
        break;
    }
    if (random_.chance(0.08)) {
      const int64_t code = random_.chance(0.8) ? 1 : random_.between(2, 127);
      std::string text = "Exit code " + std::to_string(code) + "\\n";
      appendLines(text, pools_.errors, budget(random_.logUniform(60, 6000)), random_);
      call.content = "\"" + text + "\"";
      call.result = "\"Error: " + text + "\"";
      call.isError = true;
      return;
    }
    // Output sizes: a quarter nearly empty, most a few KB, a few tens of KB.
    const double u = random_.unit();
    const double size = u < 0.25   ? random_.logUniform(2, 80)
                        : u < 0.70 ? random_.logUniform(100, 3000)
                        : u < 0.95 ? random_.logUniform(3000, 20000)
                                   : random_.logUniform(20000, 60000);
    std::string output;
    appendLines(output, *pool, budget(size), random_);
    call.content.clear();
    quoted(call.content, output);
    call.result = "{\"stdout\":";
    quoted(call.result, output);
    call.result += ",\"stderr\":\"\",\"interrupted\":false,\"isImage\":false";
    if (random_.chance(0.3)) call.result += ",\"noOutputExpected\":false";
    call.result += '}';
  }

  void bashOutput(Call& call) {
    const std::string task = background_.front();
    background_.erase(background_.begin());
    call.name = "BashOutput";
    call.input = "{\"bash_id\":\"" + task + "\"}";
    call.durationMs = random_.between(5, 60);
    std::string output;
    appendLines(output, pools_.test, budget(random_.logUniform(200, 12000)), random_);
    call.content = "\"<status>completed</status>\\n\\n<exit_code>0</exit_code>\\n\\n<stdout>\\n" +
                   output + "\\n</stdout>\\n\\n<timestamp>" + timestamp(clock_) + "</timestamp>\"";
    call.result = "{\"shellId\":\"" + task +
                  "\",\"status\":\"completed\",\"exitCode\":0,\"stdout\":\"" + output +
                  "\",\"stderr\":\"\",\"timestamp\":\"" + timestamp(clock_) + "\"}";
  }

  // About `bytes` of consecutive lines of a file in the project's language, starting at a random
  // place of its pool, as raw content and as the numbered listing the tools show.
  int64_t fileLines(size_t bytes, std::string* raw, std::string* numbered, int64_t firstLine) {
    const auto& pool = pools_.code[project_.language];
    size_t at = random_.below(pool.size());
    int64_t number = firstLine;
    const size_t goal = (raw != nullptr ? raw->size() : numbered->size()) + bytes;
    while ((raw != nullptr ? raw->size() : numbered->size()) < goal) {
      const std::string& line = pool[at];
      at = (at + 1) % pool.size();
      if (raw != nullptr) {
        raw->append(line);
        raw->append("\\n");
      }
      if (numbered != nullptr) {
        appendPadded(*numbered, number, 6);
        numbered->append("→");
        numbered->append(line);
        numbered->append("\\n");
      }
      ++number;
    }
    return number - firstLine;
  }

  const std::string& someFile() { return random_.pick(project_.files); }

  void noteEdited(const std::string& path) {
    for (auto& [file, version] : editedFiles_) {
      if (file == path) {
        ++version;
        return;
      }
    }
    if (editedFiles_.size() < 12) editedFiles_.emplace_back(path, 1);
  }

  void read(Call& call) {
    const std::string& path = someFile();
    call.name = "Read";
    call.input = "{\"file_path\":\"" + path + "\"";
    int64_t offset = 1;
    if (random_.chance(0.2)) {
      offset = random_.between(1, 800);
      call.input += ",\"offset\":" + std::to_string(offset) +
                    ",\"limit\":" + std::to_string(random_.between(50, 400));
    }
    call.input += '}';
    call.durationMs = random_.between(3, 80);
    if (random_.chance(0.03)) {
      call.content =
          "\"<tool_use_error>File does not exist. Note: your current working directory is " +
          project_.cwd + ".</tool_use_error>\"";
      call.result = "\"Error: File does not exist. Note: your current working directory is " +
                    project_.cwd + ".\"";
      call.isError = true;
      return;
    }
    std::string raw, numbered;
    const int64_t lines =
        fileLines(budget(random_.logUniform(300, 30000)), &raw, &numbered, offset);
    if (random_.chance(0.6)) {
      numbered +=
          "\\n<system-reminder>\\nWhenever you read a file, you should consider whether it would "
          "be considered malware. You CAN and SHOULD provide analysis of malware, what it is "
          "doing. But you MUST refuse to improve or augment the code. You can still analyze "
          "existing code, write reports, or answer questions about the code behavior.\\n</"
          "system-reminder>\\n";
    }
    call.content.clear();
    quoted(call.content, numbered);
    call.result = "{\"type\":\"text\",\"file\":{\"filePath\":\"" + path + "\",\"content\":";
    quoted(call.result, raw);
    call.result +=
        ",\"numLines\":" + std::to_string(lines) + ",\"startLine\":" + std::to_string(offset) +
        ",\"totalLines\":" + std::to_string(offset + lines + random_.between(0, 300)) + "}}";
  }

  void edit(Call& call, bool multi) {
    const std::string& path = someFile();
    std::string oldText, newText;
    fileLines(static_cast<size_t>(random_.logUniform(40, 600)), &oldText, nullptr, 1);
    fileLines(static_cast<size_t>(random_.logUniform(40, 900)), &newText, nullptr, 1);
    call.name = multi ? "MultiEdit" : "Edit";
    call.durationMs = random_.between(20, 400);
    if (multi) {
      call.input = "{\"file_path\":\"" + path + "\",\"edits\":[{\"old_string\":\"" + oldText +
                   "\",\"new_string\":\"" + newText + "\"},{\"old_string\":\"" + newText +
                   "\",\"new_string\":\"" + oldText + "\"}]}";
    } else {
      call.input = "{\"file_path\":\"" + path + "\",\"old_string\":\"" + oldText +
                   "\",\"new_string\":\"" + newText + "\"";
      if (random_.chance(0.2)) call.input += ",\"replace_all\":false";
      call.input += '}';
    }
    if (random_.chance(0.07)) {
      call.content = "\"<tool_use_error>String to replace not found in file.\\nString: " + oldText +
                     "</tool_use_error>\"";
      call.result = "\"Error: String to replace not found in file.\\nString: " + oldText + "\"";
      call.isError = true;
      return;
    }
    noteEdited(path);
    std::string snippet;
    const int64_t at = random_.between(1, 900);
    fileLines(static_cast<size_t>(random_.logUniform(300, 2500)), nullptr, &snippet, at);
    call.content = "\"The file " + path +
                   " has been updated. Here's the result of running `cat -n` on a snippet of "
                   "the edited file:\\n" +
                   snippet + "\"";
    std::string original;
    fileLines(budget(random_.logUniform(1000, 30000)), &original, nullptr, 1);
    call.result = "{\"filePath\":\"" + path + "\",\"oldString\":\"" + oldText +
                  "\",\"newString\":\"" + newText + "\",\"originalFile\":";
    quoted(call.result, original);
    call.result += ",\"structuredPatch\":[{\"oldStart\":" + std::to_string(at) +
                   ",\"oldLines\":" + std::to_string(random_.between(1, 12)) +
                   ",\"newStart\":" + std::to_string(at) +
                   ",\"newLines\":" + std::to_string(random_.between(1, 14)) + ",\"lines\":[";
    const auto& pool = pools_.code[project_.language];
    const int64_t patchLines = random_.between(3, 14);
    for (int64_t i = 0; i < patchLines; ++i) {
      if (i > 0) call.result += ',';
      call.result += '"';
      call.result += random_.chance(0.6) ? ' ' : random_.chance(0.5) ? '-' : '+';
      call.result += random_.pick(pool);
      call.result += '"';
    }
    call.result += "]}],\"userModified\":false,\"replaceAll\":false}";
  }

  void write(Call& call) {
    const std::string& path = someFile();
    std::string content;
    fileLines(budget(random_.logUniform(300, 15000)), &content, nullptr, 1);
    call.name = "Write";
    call.input = "{\"file_path\":\"" + path + "\",\"content\":";
    quoted(call.input, content);
    call.input += '}';
    call.durationMs = random_.between(10, 200);
    call.content = "\"File created successfully at: " + path + "\"";
    call.result = "{\"type\":\"create\",\"filePath\":\"" + path + "\",\"content\":";
    quoted(call.result, content);
    call.result += ",\"structuredPatch\":[],\"originalFile\":null}";
    noteEdited(path);
  }

  void grep(Call& call) {
    const bool contentMode = random_.chance(0.5);
    const std::string pattern = escaped(fill(random_.chance(0.5) ? "@f\\(" : "@s", random_));
    call.name = "Grep";
    call.input = "{\"pattern\":\"" + pattern + "\",\"path\":\"" + project_.cwd + "/src\"";
    if (random_.chance(0.4))
      call.input += ",\"glob\":\"*." + std::string(kExtensions[project_.language]) + "\"";
    call.input += contentMode ? ",\"output_mode\":\"content\",\"-n\":true}"
                              : ",\"output_mode\":\"files_with_matches\"}";
    call.durationMs = random_.between(10, 600);
    const size_t size = budget(random_.logUniform(60, 12000));
    std::string text;
    int64_t count = 0;
    std::string names = "[";
    while (text.size() < size) {
      const std::string& file = someFile();
      if (count > 0) {
        text += "\\n";
        names += ',';
      }
      text += file;
      quoted(names, file);
      if (contentMode) {
        text += ':';
        appendNumber(text, random_.between(1, 900));
        text += ':';
        text += random_.pick(pools_.code[project_.language]);
      }
      ++count;
    }
    names += ']';
    if (contentMode) {
      call.content = "\"" + text + "\"";
      call.result = "{\"mode\":\"content\",\"numFiles\":0,\"filenames\":[],\"content\":\"" + text +
                    "\",\"numLines\":" + std::to_string(count) + "}";
    } else {
      call.content = "\"Found " + std::to_string(count) + " files\\n" + text + "\"";
      call.result = "{\"mode\":\"files_with_matches\",\"filenames\":" + names +
                    ",\"numFiles\":" + std::to_string(count) + "}";
    }
  }

  void glob(Call& call) {
    call.name = "Glob";
    call.input = "{\"pattern\":\"**/*." + std::string(kExtensions[project_.language]) + "\"";
    if (random_.chance(0.3)) call.input += ",\"path\":\"" + project_.cwd + "/src\"";
    call.input += '}';
    call.durationMs = random_.between(5, 300);
    const size_t size = budget(random_.logUniform(100, 6000));
    std::string text, names = "[";
    int64_t count = 0;
    while (text.size() < size) {
      if (count > 0) {
        text += "\\n";
        names += ',';
      }
      const std::string& file = someFile();
      text += file;
      quoted(names, file);
      ++count;
    }
    names += ']';
    call.content = "\"" + text + "\"";
    call.result = "{\"filenames\":" + names + ",\"durationMs\":" + std::to_string(call.durationMs) +
                  ",\"numFiles\":" + std::to_string(count) + ",\"truncated\":false}";
  }

  void todoWrite(Call& call) {
    const int64_t count = random_.between(3, 8);
    std::string todos = "[";
    for (int64_t i = 0; i < count; ++i) {
      if (i > 0) todos += ',';
      const std::string task = escaped(fill("@A the @a @n in @s", random_));
      const double u = random_.unit();
      todos += "{\"content\":\"" + task + "\",\"status\":\"" +
               (u < 0.4   ? "completed"
                : u < 0.6 ? "in_progress"
                          : "pending") +
               "\",\"activeForm\":\"" + task + "\"}";
    }
    todos += ']';
    call.name = "TodoWrite";
    call.input = "{\"todos\":" + todos + "}";
    call.durationMs = random_.between(2, 20);
    call.content =
        "\"Todos have been modified successfully. Ensure that you continue to use the todo list "
        "to track your progress. Please proceed with the current tasks if applicable\"";
    call.result = "{\"oldTodos\":" + todos + ",\"newTodos\":" + todos + "}";
  }

  void webFetch(Call& call) {
    const std::string url = fill("https://docs.@n.dev/guide/@v-@n", random_);
    call.name = "WebFetch";
    call.input = "{\"url\":\"" + url + "\",\"prompt\":\"" +
                 escaped(fill("How do I @v a @n with the @n API?", random_)) + "\"}";
    call.durationMs = static_cast<int64_t>(random_.logUniform(300, 15000));
    if (random_.chance(0.1)) {
      call.content = "\"Request failed with status code 404\"";
      call.result = "\"Error: Request failed with status code 404\"";
      call.isError = true;
      return;
    }
    std::string text;
    appendProse(text, pools_, budget(random_.logUniform(800, 10000)), random_);
    call.content = "\"" + text + "\"";
    call.result = "{\"bytes\":" + std::to_string(text.size() * 6) +
                  ",\"code\":200,\"codeText\":\"OK\",\"result\":\"" + text +
                  "\",\"durationMs\":" + std::to_string(call.durationMs) + ",\"url\":\"" + url +
                  "\"}";
  }

  void webSearch(Call& call) {
    const std::string query = escaped(fill("@n @n @v error 2026", random_));
    call.name = "WebSearch";
    call.input = "{\"query\":\"" + query + "\"}";
    call.durationMs = static_cast<int64_t>(random_.logUniform(2000, 12000));
    std::string links = "[";
    for (int i = 0; i < 8; ++i) {
      if (i > 0) links += ',';
      links += "{\"title\":\"" + escaped(fill("@A @n in @T", random_)) + "\",\"url\":\"" +
               fill("https://stackoverflow.com/questions/@N/@v-@n", random_) + "\"}";
    }
    links += ']';
    std::string summary;
    appendProse(summary, pools_, budget(random_.logUniform(500, 4000)), random_);
    call.content = "\"Web search results for query: \\\"" + query +
                   "\\\"\\n\\nLinks: " + escaped(links) + "\\n\\n" + summary + "\"";
    call.result = "{\"query\":\"" + query + "\",\"results\":[{\"tool_use_id\":\"srvtoolu_01" +
                  randomChars(random_, kBase62, 22) + "\",\"content\":" + links + "},\"" + summary +
                  "\"],\"durationSeconds\":" + std::to_string(call.durationMs / 1000) + "}";
  }

  void mcp(Call& call) {
    call.name = random_.pick(kMcpTools);
    call.input = "{\"" + fill("@n", random_) + "\":\"" + escaped(fill("@a @n", random_)) +
                 "\",\"limit\":" + std::to_string(random_.between(5, 50)) + "}";
    call.durationMs = static_cast<int64_t>(random_.logUniform(100, 8000));
    std::string text = "{\\\"items\\\":[";
    const size_t size = budget(random_.logUniform(200, 15000));
    bool first = true;
    while (text.size() < size) {
      if (!first) text += ',';
      first = false;
      text += "{\\\"id\\\":" + std::to_string(random_.between(1, 99999)) + ",\\\"title\\\":\\\"" +
              escaped(escaped(fill("@A @a @n", random_))) + "\\\",\\\"state\\\":\\\"open\\\"}";
    }
    text += "]}";
    call.content = "[{\"type\":\"text\",\"text\":\"" + text + "\"}]";
    call.result = call.content;
    if (random_.chance(0.02)) {
      call.content = "\"MCP error -32603: " + escaped(fill("@n not found", random_)) + "\"";
      call.result = "\"Error: " + call.content.substr(1);
      call.isError = true;
    }
  }

  void agentCall(Call& call, uint64_t bytes) {
    static const char* const types[] = {"general-purpose", "general-purpose", "Explore", "Plan"};
    std::string prompt;
    appendProse(prompt, pools_, static_cast<size_t>(random_.logUniform(200, 2500)), random_);
    call.name = "Agent";
    call.input = "{\"description\":\"" + escaped(fill("@A the @n @n", random_)) +
                 "\",\"prompt\":\"" + prompt + "\",\"subagent_type\":\"" + random_.pick(types) +
                 "\"}";
    call.content = prompt;  // handed to the sub-agent in runAgent
    call.agentBytes = bytes;
  }

  // The sub-agent runs while the parent waits; its report is the call's result.
  void runAgent(Call& call) {
    const std::string agentId = randomChars(random_, kHex, 16);
    const std::string prompt = std::move(call.content);
    const int64_t started = clock_;
    std::string report;
    uint64_t written = 0;
    int64_t toolCount = 0;
    int64_t ended = clock_;
    {
      SessionWriter child(*this, agentId, call.id, call.agentBytes);
      child.promptText_ = prompt;
      child.writeSubagent(report);
      written = child.out_.size();
      toolCount = child.toolCount_;
      ended = child.clock_;
    }
    stats_.subagentFiles++;
    // Bytes a sub-agent wrote beyond or short of its share come out of the parent's.
    ownTarget_ += call.agentBytes;
    ownTarget_ = ownTarget_ > written ? ownTarget_ - written : 1;
    clock_ = std::max(clock_, ended);
    const std::string content = "[{\"type\":\"text\",\"text\":\"" + report + "\"}]";
    call.content = content;
    call.result = "{\"status\":\"completed\",\"prompt\":\"" + prompt + "\",\"agentId\":\"" +
                  agentId + "\",\"content\":" + content +
                  ",\"totalDurationMs\":" + std::to_string(ended - started) +
                  ",\"totalTokens\":" + std::to_string(random_.between(5000, 120000)) +
                  ",\"totalToolUseCount\":" + std::to_string(toolCount) + ",\"usage\":";
    appendUsage(call.result, random_.between(200, 4000));
    call.result += '}';
    call.durationMs = random_.between(5, 50);
  }

  void writeSubagent(std::string& report) {
    promptId_.clear();
    std::string& b = buf();
    openEntry();
    b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"";
    b += promptText_;
    b += "\"}";
    stampEntry(uuid(random_));
    endEntry();
    bool interrupted = false;
    while (!full() && !interrupted) {
      step(interrupted);
      toolCount_ += static_cast<int64_t>(calls_.size());
    }
    appendProse(report, pools_, static_cast<size_t>(random_.logUniform(300, 4000)), random_);
    blocks_.clear();
    blocks_.push_back("{\"type\":\"text\",\"text\":\"" + report + "\"}");
    advanceLogUniform(1500, 20000);
    assistantMessage(false);
    close();
  }

  void close() {
    stats_.bytes += out_.size();
    out_.close(lastStampMs_ != 0 ? lastStampMs_ : clock_);
  }

  static constexpr uint64_t closingReserve = 2 * kKiB;

  const Setting& setting_;
  const Pools& pools_;
  const Project& project_;
  Random& random_;
  TreeStats& stats_;
  std::string sessionId_;
  FileOut out_;

  // The bytes of this file alone: the session's share after its sub-agents' files.
  uint64_t ownTarget_ = 1;
  std::string model_, envelope_, head_, parent_, promptId_, promptText_;
  std::string aiTitleText_, customTitleText_;
  bool aiTitle_ = false, customTitle_ = false, lastPrompts_ = false;
  bool identicalUsage_ = false, serverToolUse_ = false, sidechain_ = false;
  int64_t start_ = 0, span_ = 0, clock_ = 0, limit_ = 0, lastStampMs_ = 0;
  int64_t context_ = 0, newTokens_ = 0, toolCount_ = 0, backgroundCount_ = 0;
  uint64_t nextCompactAt_ = 5 * kMiB;
  // (when, as a share of the session's own bytes; bytes) of each sub-agent still to run.
  std::vector<std::pair<double, uint64_t>> agents_;
  std::vector<std::pair<std::string, int64_t>> editedFiles_;
  std::vector<std::string> background_;
  std::vector<std::string> blocks_, blockUuids_;
  std::vector<Call> calls_;
};

// ---------------------------------------------------------------------------------------

bool writeProjectsTree(const TreeOptions& options, TreeStats& totals) {
  namespace fs = std::filesystem;
  const std::string projectsPath = options.output + "/projects";
  std::error_code error;
  if (fs::exists(projectsPath, error) && !fs::is_empty(projectsPath, error)) {
    std::fprintf(stderr, "make_projects: %s is not empty; remove it first\n", projectsPath.c_str());
    return false;
  }
  fs::create_directories(projectsPath, error);
  if (error) {
    std::fprintf(stderr, "make_projects: cannot create %s: %s\n", projectsPath.c_str(),
                 error.message().c_str());
    return false;
  }
  Random random(mix(options.seed, 0x70726f6a));
  const Pools pools(random);
  // The plan first, then projects for it: the session count bounds the project count.
  Random planRandom(mix(options.seed, 0x706c616e));
  const size_t wantedProjects = static_cast<size_t>(planRandom.between(20, 60));
  const auto plan = planSessions(options.bytes, wantedProjects, planRandom);
  const std::vector<Project> projects =
      makeProjects(std::max<size_t>(1, std::min(wantedProjects, plan.size())), random);
  for (const Project& project : projects) fs::create_directories(projectsPath + "/" + project.dir);

  unsigned threads = options.threads;
  if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
  std::atomic<size_t> next{0};
  std::mutex totalsLock;
  const auto work = [&] {
    TreeStats stats;
    for (size_t i = next++; i < plan.size(); i = next++) {
      const SessionPlan& session = plan[i];
      const Project& project = projects[session.project % projects.size()];
      const SessionWriter::Setting setting{pools, project, projectsPath + "/" + project.dir,
                                           options.nowMs};
      Random sessionRandom(session.seed);
      SessionWriter writer(setting, sessionRandom, stats, session.bytes);
      writer.writeSession();
    }
    const std::lock_guard guard(totalsLock);
    totals.add(stats);
  };
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  return true;
}

int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tessel::bench

#include "tree/vocabulary.h"

#include <string_view>

#include "tree/text.h"

namespace tessel::bench {
namespace {

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
const char* const kStdHeaders[] = {
    "string",    "vector",     "optional", "map",     "memory",     "mutex",        "thread",
    "algorithm", "chrono",     "cstdint",  "utility", "functional", "iostream",     "fstream",
    "sstream",   "filesystem", "atomic",   "span",    "variant",    "unordered_map"};

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

}  // namespace

std::string capitalized(std::string_view word) {
  std::string out(word);
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
  return out;
}

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

Pools::Pools(Random& random) {
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

}  // namespace tessel::bench

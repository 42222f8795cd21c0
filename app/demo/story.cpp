#include "demo/story.h"

#include <algorithm>

namespace tessel::demo {
namespace {

Step bash(std::string command, int seconds, std::string output, bool runsProcess = false) {
  Step step{.tool = "Bash",
            .input = Json{{"command", command}, {"description", "Run " + command}},
            .seconds = seconds,
            .output = std::move(output)};
  if (runsProcess) step.process = std::move(command);
  return step;
}

Step failing(Step step) {
  step.isFailed = true;
  return step;
}

Step read(std::string path) {
  return Step{.tool = "Read", .input = Json{{"file_path", path}}, .output = "(file contents)"};
}

Step edit(std::string path, std::string before, std::string after, int seconds = 2) {
  return Step{.tool = "Edit",
              .input = Json{{"file_path", path}, {"old_string", before}, {"new_string", after}},
              .seconds = seconds,
              .output = "The file " + path + " has been updated."};
}

Step grep(std::string pattern) {
  return Step{.tool = "Grep",
              .input = Json{{"pattern", pattern}, {"output_mode", "files_with_matches"}},
              .output = "Found 3 files"};
}

Step task(std::string description, std::string prompt, int seconds) {
  return Step{.tool = "Task",
              .input = Json{{"description", description},
                            {"prompt", prompt},
                            {"subagent_type", "general-purpose"}},
              .seconds = seconds,
              .output = "Reviewed 4 files: every field is escaped before it is written."};
}

Story shop() {
  Step composeUp = bash("docker compose up -d", 3,
                        "Container shop-db-1  Started\nContainer shop-redis-1  Started\n"
                        "Container shop-api-1  Started");
  composeUp.startsCompose = true;
  return Story{
      .title = "Add CSV export for orders",
      .project = "shop",
      .model = "claude-opus-4-5-20251101",
      .branch = "feature/order-export",
      .startedMinutesAgo = 14,
      .past = {Turn{.prompt = "Sketch an endpoint that exports orders as CSV",
                    .steps = {read("src/routes/orders.ts"), grep("orderRepository")},
                    .reply = "Here is a plan: a GET /orders/export route streaming rows."}},
      .opening = {Turn{.prompt = "Start the stack, wire up the CSV export and run the tests",
                       .steps = {composeUp, read("src/routes/orders.ts"),
                                 edit("src/routes/orders.ts", "router.get('/orders'",
                                      "router.get('/orders/export', exportOrders);\n"
                                      "router.get('/orders'"),
                                 bash("npm test -- orders", 7, "Tests: 24 passed, 24 total", true),
                                 bash("npm run build", 5, "Compiled successfully.", true)},
                       .reply = "The export route is in place and the order tests pass.",
                       .pauseSeconds = 6}},
      .loop = {Turn{.prompt = "Have a sub-agent review the export for injection risks",
                    .steps = {task("Review CSV export",
                                   "Check src/export for CSV and SQL injection risks", 9),
                              edit("src/export/csv.ts", "value", "escapeCell(value)"),
                              bash("npm test", 6, "Tests: 131 passed, 131 total", true),
                              bash("git add -A && git commit -m \"Add CSV export for orders\"", 1,
                                   "[feature/order-export 4f9a2c1] Add CSV export for orders")},
                    .reply = "Reviewed, hardened and committed.",
                    .pauseSeconds = 8},
               Turn{.prompt = "Push the branch",
                    .steps = {bash("git push -u origin feature/order-export", 3,
                                   "branch 'feature/order-export' set up to track "
                                   "'origin/feature/order-export'.")},
                    .reply = "Pushed.",
                    .pauseSeconds = 10}}};
}

Story storefront() {
  Step devServer = bash("npm run dev", 1, "Command running in background with ID: bash_1");
  devServer.input["run_in_background"] = true;
  devServer.process = "node node_modules/.bin/vite --port";
  devServer.processArgument = "5173";
  devServer.isBackground = true;
  return Story{
      .title = "Fix checkout layout on mobile",
      .project = "storefront",
      .model = "claude-sonnet-4-5-20250929",
      .branch = "fix/checkout-mobile",
      .startedMinutesAgo = 6,
      .delaySeconds = 2,
      .past = {Turn{.prompt = "Start the dev server",
                    .steps = {devServer},
                    .reply = "The dev server runs on http://localhost:5173."}},
      .opening = {Turn{
          .prompt = "The checkout button overlaps the summary on small screens; fix it and run "
                    "the e2e tests",
          .steps = {read("src/components/Checkout.tsx"),
                    edit("src/components/Checkout.tsx", "flex-row", "flex-col sm:flex-row"),
                    failing(bash("npx playwright test checkout", 8,
                                 "1 failed\n  checkout.e2e.ts:42 › places an order on mobile",
                                 true)),
                    edit("src/components/Checkout.tsx", "gap-2", "gap-4"),
                    bash("npx playwright test checkout", 7, "3 passed (6.1s)", true),
                    bash("docker compose -p shop exec db psql -U shop -c \"select count(*) from "
                         "orders\"",
                         2, " count\n-------\n  1204")},
          .reply = "Fixed: the summary stacks under the button below the sm breakpoint.",
          .pauseSeconds = 12}},
      .loop = {Turn{.prompt = "Run the whole e2e suite",
                    .steps = {bash("npx playwright test", 9, "41 passed (38.2s)", true)},
                    .reply = "All 41 e2e tests pass.",
                    .pauseSeconds = 15}}};
}

Story handbook() {
  Step rebuild = bash("rm -rf docs/api && npm run docs:build", 5, "Built 212 pages.", true);
  rebuild.permissionSeconds = 20;
  return Story{
      .title = "Update the onboarding guide",
      .project = "handbook",
      .model = "claude-sonnet-4-5-20250929",
      .startedMinutesAgo = 25,
      .delaySeconds = 1,
      .past = {Turn{.prompt = "Find the pages that still mention the old VPN",
                    .steps = {grep("vpn\\.example")},
                    .reply = "Three pages mention it."}},
      .opening = {Turn{.prompt = "Regenerate the API reference and update the onboarding guide",
                       .steps = {read("docs/onboarding.md"), rebuild,
                                 edit("docs/onboarding.md", "vpn.example", "the new gateway", 3)},
                       .reply = "The reference is rebuilt and the guide updated.",
                       .pauseSeconds = 30}},
      .loop = {Turn{.prompt = "Fix the broken links the build reported",
                    .steps = {grep("\\]\\(/api/"), edit("docs/setup.md", "/api/v1", "/api/v2"),
                              bash("npm run docs:build", 5, "Built 212 pages.", true)},
                    .reply = "No broken links left.",
                    .pauseSeconds = 40}}};
}

Story infra() {
  return Story{.title = "Bump Terraform providers",
               .project = "infra",
               .model = "claude-opus-4-5-20251101",
               .startedMinutesAgo = 70,
               .past = {Turn{.prompt = "Bump the AWS provider and show me the plan",
                             .steps = {edit("versions.tf", "~> 5.60", "~> 5.80"),
                                       bash("terraform init -upgrade", 12,
                                            "Terraform has been "
                                            "successfully initialized!"),
                                       bash("terraform plan", 20, "No changes.")},
                             .reply = "The plan shows no changes."}},
               .idleMinutes = 47};
}

}  // namespace

std::vector<Story> claudeStories() { return {shop(), storefront(), handbook(), infra()}; }

Story codexStory() {
  const auto run = [](std::string command, int seconds, std::string output, bool runsProcess) {
    return bash(std::move(command), seconds, std::move(output), runsProcess);
  };
  return Story{
      .title = "Speed up invoice PDF rendering",
      .project = "billing",
      .model = "gpt-5-codex",
      .startedMinutesAgo = 12,
      .delaySeconds = 3,
      .past = {Turn{.prompt = "Start a local object store for the PDFs",
                    .steps = {run("podman run -d --name minio-dev -p 9000:9000 "
                                  "quay.io/minio/minio server /data",
                                  2, "4c1d2e3f4a5b", false)},
                    .reply = "MinIO runs on port 9000."}},
      .opening = {Turn{
          .prompt = "Profile the invoice PDF renderer and make it faster",
          .steps = {run("rg -n render_pdf src", 1, "src/pdf.rs:88: pub fn render_pdf(", false),
                    run("cargo build --release", 6, "Finished release", true),
                    run("cargo test -p invoices", 8, "test result: ok. 57 passed", true),
                    run("git diff --stat", 1, " src/pdf.rs | 42 +++++-----", false)},
          .reply = "Rendering now reuses the font cache: 3.1x faster.",
          .pauseSeconds = 20}},
      .loop = {
          Turn{.prompt = "Run the benchmarks again",
               .steps = {run("cargo bench -p invoices", 9, "render_pdf  time: [41.2 ms]", true)},
               .reply = "41 ms per invoice, down from 128 ms.",
               .pauseSeconds = 25}}};
}

std::vector<PastProject> pastProjects(const std::string& source) {
  return {
      PastProject{.cwd = source + "/shop",
                  .model = "claude-opus-4-5-20251101",
                  .prompts = {"Add pagination to the orders list", "Fix the flaky refund test",
                              "Log slow queries"},
                  .commands = {"npm test", "npm run build", "git status", "npm run lint"}},
      PastProject{.cwd = source + "/storefront",
                  .model = "claude-sonnet-4-5-20250929",
                  .prompts = {"Make the product grid responsive", "Add a wishlist button",
                              "Upgrade React Router"},
                  .commands = {"npx playwright test", "npm run build", "git diff", "npm run dev"}},
      PastProject{.cwd = source + "/handbook",
                  .model = "claude-haiku-4-5-20251001",
                  .prompts = {"Proofread the security page", "Add the holiday calendar"},
                  .commands = {"npm run docs:build", "git log --oneline -5"}},
      PastProject{.cwd = source + "/infra",
                  .model = "claude-opus-4-5-20251101",
                  .prompts = {"Add an alarm on queue depth", "Rotate the staging certificates"},
                  .commands = {"terraform plan", "terraform validate", "git status"}},
  };
}

std::vector<std::string> processPrograms() {
  std::vector<std::string> programs;
  std::vector<Story> stories = claudeStories();
  stories.push_back(codexStory());
  for (const Story& story : stories) {
    for (const auto* turns : {&story.past, &story.opening, &story.loop}) {
      for (const Turn& turn : *turns) {
        for (const Step& step : turn.steps) {
          if (step.process.empty()) continue;
          programs.push_back(step.process.substr(0, step.process.find(' ')));
        }
      }
    }
  }
  std::sort(programs.begin(), programs.end());
  programs.erase(std::unique(programs.begin(), programs.end()), programs.end());
  return programs;
}

}  // namespace tessel::demo

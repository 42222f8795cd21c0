#include "support/fake_tools.h"

#include <cstdio>

namespace tessel::test {
namespace {

// Single-quoted for sh: safe for any bytes.
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

void FakeTools::add(const std::string& name, const std::vector<Reply>& replies) {
  const std::string log = dir_ / ("." + name + ".calls");
  // One write per call, so concurrent calls never interleave their lines; arguments
  // are separated by the unit separator, which no fixture argument contains.
  std::string script =
      "#!/bin/sh\nline=\nif [ $# -gt 0 ]; then line=$(printf '%s\\037' \"$@\"); fi\nprintf '%s\\n' "
      "\"$line\" >> " +
      quoted(log) + "\ncase \"$*\" in\n";
  for (size_t index = 0; index < replies.size(); ++index) {
    const Reply& reply = replies[index];
    const std::string stem = dir_ / ("." + name + "." + std::to_string(index));
    dir_.write(stem.substr(dir_.path().size() + 1) + ".out", reply.out);
    dir_.write(stem.substr(dir_.path().size() + 1) + ".err", reply.err);
    // The pattern stays unquoted so its wildcards work; blanks and braces are escaped.
    std::string pattern;
    for (char c : reply.pattern) {
      if (c == '*' || c == '?') {
        pattern += c;
      } else {
        pattern += '\\';
        pattern += c;
      }
    }
    script += "  " + pattern + ")\n";
    if (reply.delay > 0) script += "    /bin/sleep " + std::to_string(reply.delay) + "\n";
    if (!reply.before.empty()) script += "    " + reply.before + "\n";
    script += "    /bin/cat " + quoted(stem + ".out") + "\n";
    script += "    /bin/cat " + quoted(stem + ".err") + " >&2\n";
    script += "    exit " + std::to_string(reply.status) + " ;;\n";
  }
  script += "  *)\n    printf 'unknown command: %s\\n' \"$*\" >&2\n    exit 64 ;;\nesac\n";
  dir_.script(name, script);
}

ToolRunner FakeTools::runner() const { return ToolRunner({dir_.path()}); }

Environments::Context FakeTools::context() const { return context(dir_ / "no-docker-desktop"); }

Environments::Context FakeTools::context(const std::string& dockerApplication) const {
  return Environments::Context({dir_.path()}, dockerApplication);
}

std::vector<std::vector<std::string>> FakeTools::calls(const std::string& name) const {
  std::vector<std::vector<std::string>> calls;
  const std::string text = readFile(dir_ / ("." + name + ".calls"));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> arguments;
    size_t piece = start;
    for (size_t at = start; at < end; ++at) {
      if (text[at] == '\037') {
        arguments.push_back(text.substr(piece, at - piece));
        piece = at + 1;
      }
    }
    calls.push_back(std::move(arguments));
    start = end + 1;
  }
  return calls;
}

std::vector<std::vector<std::string>> FakeTools::calls(const std::string& name,
                                                       const std::string& command) const {
  std::vector<std::vector<std::string>> matching;
  for (auto& call : calls(name)) {
    if (!call.empty() && call.front() == command) matching.push_back(std::move(call));
  }
  return matching;
}

}  // namespace tessel::test

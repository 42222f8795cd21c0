#include "platform/linux/proc_stat.h"

#include <charconv>

namespace tessel::platform::ProcStat {
namespace {

// The fields after the command name, one at a time; field 3 (the state) comes first.
class FieldWalk {
 public:
  explicit FieldWalk(std::string_view rest) : rest_(rest) {}

  std::optional<std::string_view> next() {
    const size_t start = rest_.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest_.remove_prefix(start);
    size_t end = rest_.find_first_of(" \n");
    if (end == std::string_view::npos) end = rest_.size();
    const std::string_view field = rest_.substr(0, end);
    rest_.remove_prefix(end);
    return field;
  }

  // Skips the fields before the one wanted, which must be a whole number.
  template <class Number>
  std::optional<Number> number(int skipped = 0) {
    for (int i = 0; i < skipped; ++i) {
      if (!next()) return std::nullopt;
    }
    const auto field = next();
    if (!field) return std::nullopt;
    Number value{};
    const auto [end, error] = std::from_chars(field->data(), field->data() + field->size(), value);
    if (error != std::errc() || end != field->data() + field->size()) return std::nullopt;
    return value;
  }

 private:
  std::string_view rest_;
};

}  // namespace

std::optional<Fields> parse(std::string_view text) {
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  Fields fields;
  fields.name = text.substr(open + 1, close - open - 1);
  FieldWalk rest(text.substr(close + 1));
  const auto state = rest.next();
  if (!state || state->size() != 1) return std::nullopt;
  fields.state = state->front();
  const auto ppid = rest.number<int32_t>();     // field 4
  const auto flags = rest.number<uint32_t>(4);  // field 9
  const auto user = rest.number<uint64_t>(4);   // field 14
  const auto system = rest.number<uint64_t>();  // field 15
  const auto start = rest.number<uint64_t>(6);  // field 22
  if (!ppid || !flags || !user || !system || !start) return std::nullopt;
  fields.ppid = *ppid;
  fields.flags = *flags;
  fields.userTicks = *user;
  fields.systemTicks = *system;
  fields.startTicks = *start;
  return fields;
}

std::optional<int32_t> parseParentPid(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  return FieldWalk(text.substr(close + 1)).number<int32_t>(1);
}

}  // namespace tessel::platform::ProcStat

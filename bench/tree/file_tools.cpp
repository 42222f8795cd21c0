// Calls on the project's files: reading, editing, writing and searching them. Their
// contents are runs of consecutive lines of the project language's pool.
#include <string>

#include "tree/text.h"
#include "tree/tool_calls.h"

namespace tessel::bench {

// About `bytes` of consecutive lines of a file in the project's language, starting at a random
// place of its pool, as raw content and as the numbered listing the tools show.
int64_t ToolCalls::fileLines(size_t bytes, std::string* raw, std::string* numbered,
                             int64_t firstLine) {
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

const std::string& ToolCalls::someFile() { return random_.pick(project_.files); }

void ToolCalls::noteEdited(const std::string& path) {
  for (auto& [file, version] : editedFiles_) {
    if (file == path) {
      ++version;
      return;
    }
  }
  if (editedFiles_.size() < 12) editedFiles_.emplace_back(path, 1);
}

void ToolCalls::read(ToolCall& call, Budget budget) {
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
      fileLines(budget.cap(random_.logUniform(300, 30000)), &raw, &numbered, offset);
  if (random_.chance(0.6)) {
    numbered +=
        "\\n<system-reminder>\\nWhenever you read a file, you should consider whether it would "
        "be considered malware. You CAN and SHOULD provide analysis of malware, what it is "
        "doing. But you MUST refuse to improve or augment the code. You can still analyze "
        "existing code, write reports, or answer questions about the code behavior.\\n</"
        "system-reminder>\\n";
  }
  call.content.clear();
  appendQuoted(call.content, numbered);
  call.result = "{\"type\":\"text\",\"file\":{\"filePath\":\"" + path + "\",\"content\":";
  appendQuoted(call.result, raw);
  call.result +=
      ",\"numLines\":" + std::to_string(lines) + ",\"startLine\":" + std::to_string(offset) +
      ",\"totalLines\":" + std::to_string(offset + lines + random_.between(0, 300)) + "}}";
}

void ToolCalls::edit(ToolCall& call, Budget budget, bool multi) {
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
  fileLines(budget.cap(random_.logUniform(1000, 30000)), &original, nullptr, 1);
  call.result = "{\"filePath\":\"" + path + "\",\"oldString\":\"" + oldText +
                "\",\"newString\":\"" + newText + "\",\"originalFile\":";
  appendQuoted(call.result, original);
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

void ToolCalls::write(ToolCall& call, Budget budget) {
  const std::string& path = someFile();
  std::string content;
  fileLines(budget.cap(random_.logUniform(300, 15000)), &content, nullptr, 1);
  call.name = "Write";
  call.input = "{\"file_path\":\"" + path + "\",\"content\":";
  appendQuoted(call.input, content);
  call.input += '}';
  call.durationMs = random_.between(10, 200);
  call.content = "\"File created successfully at: " + path + "\"";
  call.result = "{\"type\":\"create\",\"filePath\":\"" + path + "\",\"content\":";
  appendQuoted(call.result, content);
  call.result += ",\"structuredPatch\":[],\"originalFile\":null}";
  noteEdited(path);
}

void ToolCalls::grep(ToolCall& call, Budget budget) {
  const bool contentMode = random_.chance(0.5);
  const std::string pattern = escaped(fill(random_.chance(0.5) ? "@f\\(" : "@s", random_));
  call.name = "Grep";
  call.input = "{\"pattern\":\"" + pattern + "\",\"path\":\"" + project_.cwd + "/src\"";
  if (random_.chance(0.4))
    call.input += ",\"glob\":\"*." + std::string(kExtensions[project_.language]) + "\"";
  call.input += contentMode ? ",\"output_mode\":\"content\",\"-n\":true}"
                            : ",\"output_mode\":\"files_with_matches\"}";
  call.durationMs = random_.between(10, 600);
  const size_t size = budget.cap(random_.logUniform(60, 12000));
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
    appendQuoted(names, file);
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

void ToolCalls::glob(ToolCall& call, Budget budget) {
  call.name = "Glob";
  call.input = "{\"pattern\":\"**/*." + std::string(kExtensions[project_.language]) + "\"";
  if (random_.chance(0.3)) call.input += ",\"path\":\"" + project_.cwd + "/src\"";
  call.input += '}';
  call.durationMs = random_.between(5, 300);
  const size_t size = budget.cap(random_.logUniform(100, 6000));
  std::string text, names = "[";
  int64_t count = 0;
  while (text.size() < size) {
    if (count > 0) {
      text += "\\n";
      names += ',';
    }
    const std::string& file = someFile();
    text += file;
    appendQuoted(names, file);
    ++count;
  }
  names += ']';
  call.content = "\"" + text + "\"";
  call.result = "{\"filenames\":" + names + ",\"durationMs\":" + std::to_string(call.durationMs) +
                ",\"numFiles\":" + std::to_string(count) + ",\"truncated\":false}";
}

}  // namespace tessel::bench

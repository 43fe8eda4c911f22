#include "attach/frames.h"

#include <charconv>

#include "attach/base64.h"
#include "attach/json.h"

namespace qlp::attach {

Result<SpawnRequest> build_spawn_request(const std::vector<std::string>& command,
                                         std::optional<std::string> shell,
                                         const std::vector<std::string>& environ,
                                         std::optional<std::string> cwd,
                                         std::optional<TerminalSize> size) {
  SpawnRequest request;
  if (command.empty()) {
    request.shell_path = shell && !shell->empty() ? *shell : "/bin/sh";
  } else {
    request.shell_path = command.front();
    request.shell_args.assign(command.begin() + 1, command.end());
  }
  if (!is_valid_utf8(request.shell_path)) {
    return Error("the program name is not valid UTF-8, which frames cannot carry");
  }
  for (const auto& arg : request.shell_args) {
    if (!is_valid_utf8(arg)) {
      return Error("an argument is not valid UTF-8, which frames cannot carry");
    }
  }
  for (const auto& entry : environ) {
    size_t equals = entry.find('=', 1);
    if (equals == std::string::npos || !is_valid_utf8(entry)) continue;
    request.env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }
  if (cwd && is_valid_utf8(*cwd)) request.cwd = std::move(cwd);
  if (size) {
    request.rows = size->rows;
    request.cols = size->cols;
  }
  return request;
}

std::string spawn_frame_line(const SpawnRequest& request) {
  std::string line = R"({"type":"spawn","shellPath":)";
  append_json_string(line, request.shell_path);
  line += R"(,"shellArgs":[)";
  for (size_t i = 0; i < request.shell_args.size(); ++i) {
    if (i > 0) line += ',';
    append_json_string(line, request.shell_args[i]);
  }
  line += ']';
  if (request.cwd) {
    line += R"(,"cwd":)";
    append_json_string(line, *request.cwd);
  }
  if (!request.env.empty()) {
    line += R"(,"env":{)";
    for (size_t i = 0; i < request.env.size(); ++i) {
      if (i > 0) line += ',';
      append_json_string(line, request.env[i].first);
      line += ':';
      append_json_string(line, request.env[i].second);
    }
    line += '}';
  }
  if (request.rows) line += R"(,"rows":)" + std::to_string(*request.rows);
  if (request.cols) line += R"(,"cols":)" + std::to_string(*request.cols);
  line += '}';
  return line;
}

std::string input_frame_line(std::string_view bytes) {
  return R"({"type":"input","data":")" + base64_encode(bytes) + "\"}";
}

std::string resize_frame_line(TerminalSize size) {
  return R"({"type":"resize","rows":)" + std::to_string(size.rows) + R"(,"cols":)" +
         std::to_string(size.cols) + "}";
}

std::string kill_frame_line() { return R"({"type":"kill"})"; }

namespace {

Result<const std::string*> string_member(const JsonValue& frame, std::string_view key) {
  const JsonValue* member = frame.find(key);
  if (member == nullptr || member->kind != JsonValue::Kind::kString) {
    return Error("member `" + std::string(key) + "` is missing or not a string");
  }
  return &member->text;
}

}  // namespace

Result<OutputFrame> parse_output_frame(std::string_view line) {
  auto json = parse_json(line);
  if (!json) return std::move(json).error();
  if (json->kind != JsonValue::Kind::kObject) return Error("a frame must be a JSON object");
  auto type = string_member(*json, "type");
  if (!type) return std::move(type).error();

  OutputFrame frame;
  const std::string& tag = **type;
  if (tag == "ready") {
    frame.type = OutputFrame::Type::kReady;
  } else if (tag == "data") {
    frame.type = OutputFrame::Type::kData;
    auto data = string_member(*json, "data");
    if (!data) return std::move(data).error();
    auto bytes = base64_decode(**data);
    if (!bytes) return std::move(bytes).error();
    frame.bytes = std::move(*bytes);
  } else if (tag == "exit") {
    frame.type = OutputFrame::Type::kExit;
    const JsonValue* code = json->find("code");
    if (code == nullptr || code->kind != JsonValue::Kind::kNumber) {
      return Error("member `code` is missing or not a number");
    }
    const char* first = code->text.data();
    const char* last = first + code->text.size();
    auto [end, status] = std::from_chars(first, last, frame.code);
    if (status != std::errc() || end != last) {
      return Error("exit code " + code->text + " is not an unsigned 32-bit integer");
    }
  } else if (tag == "error") {
    frame.type = OutputFrame::Type::kError;
    auto message = string_member(*json, "message");
    if (!message) return std::move(message).error();
    frame.message = **message;
  } else {
    return Error("unknown frame type `" + tag + "`");
  }
  return frame;
}

}  // namespace qlp::attach

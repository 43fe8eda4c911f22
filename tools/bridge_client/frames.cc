#include "bridge_client/frames.h"

#include "frames/base64.h"
#include "frames/json_reader.h"
#include "frames/output_frame.h"

namespace qlp::client {

std::string spawn_frame_line(const SpawnRequest& request) {
  std::string line = R"({"type":"spawn","shellPath":)";
  append_json_string(request.shell_path, line);
  line += R"(,"shellArgs":[)";
  for (std::size_t i = 0; i < request.shell_args.size(); ++i) {
    if (i > 0) line += ',';
    append_json_string(request.shell_args[i], line);
  }
  line += ']';
  if (request.cwd) {
    line += R"(,"cwd":)";
    append_json_string(*request.cwd, line);
  }
  if (!request.env.empty()) {
    line += R"(,"env":{)";
    for (std::size_t i = 0; i < request.env.size(); ++i) {
      if (i > 0) line += ',';
      append_json_string(request.env[i].first, line);
      line += ':';
      append_json_string(request.env[i].second, line);
    }
    line += '}';
  }
  if (request.rows) line += R"(,"rows":)" + std::to_string(*request.rows);
  if (request.cols) line += R"(,"cols":)" + std::to_string(*request.cols);
  line += '}';
  return line;
}

void append_input_frame_line(std::string_view bytes, std::string& out) {
  out += R"({"type":"input","data":")";
  base64_encode_append(bytes, out);
  out += "\"}";
}

std::string input_frame_line(std::string_view bytes) {
  std::string line;
  append_input_frame_line(bytes, line);
  return line;
}

std::string resize_frame_line(TerminalSize size) {
  return R"({"type":"resize","rows":)" + std::to_string(size.rows) + R"(,"cols":)" +
         std::to_string(size.cols) + "}";
}

std::string kill_frame_line() { return R"({"type":"kill"})"; }

namespace {

/// The last member named `key`, or nullptr.
const JsonValue* find_member(const JsonValue::Object& object, std::string_view key) {
  for (auto it = object.rbegin(); it != object.rend(); ++it) {
    if (it->key == key) return &it->value;
  }
  return nullptr;
}

Result<const std::string*> string_member(const JsonValue::Object& frame, std::string_view key) {
  const JsonValue* member = find_member(frame, key);
  const std::string* text = member ? std::get_if<std::string>(&member->data) : nullptr;
  if (text == nullptr) return Error("member `" + std::string(key) + "` is missing or not a string");
  return text;
}

Result<BridgeFrame> data_frame(std::string_view base64) {
  Result<std::string> bytes = base64_decode(base64);
  if (!bytes) return std::move(bytes).error();
  BridgeFrame frame;
  frame.type = BridgeFrame::Type::kData;
  frame.bytes = std::move(*bytes);
  return frame;
}

}  // namespace

Result<BridgeFrame> parse_bridge_frame(std::string_view line) {
  // A data frame in the bridge's exact bytes skips the general reader: a flood is millions of
  // them. Base64 holds no quote or backslash, so whatever decodes here is that very frame.
  constexpr std::string_view kDataPrefix = R"({"type":"data","data":")";
  constexpr std::string_view kDataSuffix = R"("})";
  if (line.size() >= kDataPrefix.size() + kDataSuffix.size() && line.starts_with(kDataPrefix) &&
      line.ends_with(kDataSuffix)) {
    return data_frame(
        line.substr(kDataPrefix.size(), line.size() - kDataPrefix.size() - kDataSuffix.size()));
  }

  Result<JsonValue> json = parse_json(line);
  if (!json) return std::move(json).error();
  const auto* object = std::get_if<JsonValue::Object>(&json->data);
  if (object == nullptr) return Error("a frame must be a JSON object");
  Result<const std::string*> type = string_member(*object, "type");
  if (!type) return std::move(type).error();

  BridgeFrame frame;
  const std::string& tag = **type;
  if (tag == "ready") {
    frame.type = BridgeFrame::Type::kReady;
  } else if (tag == "data") {
    Result<const std::string*> data = string_member(*object, "data");
    if (!data) return std::move(data).error();
    return data_frame(**data);
  } else if (tag == "exit") {
    frame.type = BridgeFrame::Type::kExit;
    const JsonValue* code = find_member(*object, "code");
    if (code == nullptr) return Error("member `code` is missing");
    const auto* value = std::get_if<std::uint64_t>(&code->data);
    if (value == nullptr || *value > UINT32_MAX) {
      return Error("exit code " + describe_json_value(*code) +
                   " is not an unsigned 32-bit integer");
    }
    frame.code = static_cast<std::uint32_t>(*value);
  } else if (tag == "error") {
    frame.type = BridgeFrame::Type::kError;
    Result<const std::string*> message = string_member(*object, "message");
    if (!message) return std::move(message).error();
    frame.message = **message;
  } else {
    return Error("unknown frame type `" + tag + "`");
  }
  return frame;
}

}  // namespace qlp::client

#include "frames/input_frame.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "frames/json_reader.h"
#include "frames/signal_names.h"

namespace qlp {
namespace {

using Env = std::unordered_map<std::string, std::optional<std::string>>;

enum class Tag { kSpawn, kInput, kResize, kKill, kSignal, kQuery };

// What the first decoding stage gathers: the tag and the other members or
// elements, still as generic JSON, in the order they appeared.
struct RawFrame {
  Tag tag;
  bool array_form = false;
  std::vector<JsonMember> members;
  std::vector<JsonValue> elements;
};

// The fields of one variant: wire keys in declaration order (the array form's
// order), which keys the object form requires, which field the array form
// may leave out, and how many of the keys the array form has (fields added
// later exist in the object form only, so that the array form's length
// messages stay as they were).
struct Shape {
  std::string_view name;
  std::span<const std::string_view> keys;
  unsigned required = 0;             // Bit i: keys[i] must be present.
  std::size_t defaulted = SIZE_MAX;  // Array form: this field may be missing.
  std::size_t array_fields = SIZE_MAX;
};

constexpr std::string_view kSpawnKeys[] = {"shellPath", "shellArgs", "cwd", "env",
                                           "rows",      "cols",      "features"};
constexpr std::string_view kInputKeys[] = {"data"};
constexpr std::string_view kResizeKeys[] = {"rows", "cols"};
constexpr std::string_view kSignalKeys[] = {"signal"};

constexpr Shape kSpawnShape{"Spawn", kSpawnKeys, 0b1, 1, 6};
constexpr Shape kInputShape{"Input", kInputKeys, 0b1};
constexpr Shape kResizeShape{"Resize", kResizeKeys, 0b11};
constexpr Shape kKillShape{"Kill", {}};
constexpr Shape kSignalShape{"Signal", kSignalKeys, 0b1};
constexpr Shape kQueryShape{"Query", {}};

std::string count_of_elements(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " element" : " elements");
}

// Reads the value of `type` at the cursor. An array or object is not read, so
// its fault is placed at the byte before it.
Result<Tag> read_tag(JsonReader& reader, Features accepted) {
  const int next = reader.peek();
  if (next == '[' || next == '{') {
    return reader.error_after_consumed(std::string("invalid type: ") +
                                       (next == '[' ? "sequence" : "map") +
                                       ", expected variant identifier");
  }
  if (next != '"') {
    Result<JsonValue> value = reader.read_value();
    if (!value) return std::move(value).error();
    return reader.error_after_consumed("invalid type: " + describe_json_value(*value) +
                                       ", expected variant identifier");
  }
  Result<std::string> name = reader.read_string();
  if (!name) return std::move(name).error();
  if (*name == "spawn") return Tag::kSpawn;
  if (*name == "input") return Tag::kInput;
  if (*name == "resize") return Tag::kResize;
  if (*name == "kill") return Tag::kKill;
  if (*name == "signal" && accepted.has(Feature::kSignal)) return Tag::kSignal;
  if (*name == "query" && accepted.has(Feature::kProcess)) return Tag::kQuery;
  std::string expected = "`spawn`, `input`, `resize`, `kill`";
  if (accepted.has(Feature::kSignal)) expected += ", `signal`";
  if (accepted.has(Feature::kProcess)) expected += ", `query`";
  return reader.error_after_consumed("unknown variant `" + *name + "`, expected one of " +
                                     expected);
}

// Stage 1: the whole line as JSON, with the tag checked as soon as it is read.
Result<RawFrame> read_raw_frame(std::string_view line, Features accepted) {
  JsonReader reader(line);
  RawFrame raw;
  std::optional<Tag> tag;
  auto take_tag = [&]() -> Result<void> {
    Result<Tag> read = read_tag(reader, accepted);
    if (!read) return std::move(read).error();
    tag = *read;
    return {};
  };

  Result<void> read;
  const int first = reader.peek();
  if (first == '{') {
    read = reader.read_object([&](std::string&& key) -> Result<void> {
      if (key == "type" && tag) return reader.error_after_consumed("duplicate field `type`");
      if (Result<void> colon = reader.read_colon(); !colon) return colon;
      if (key == "type") return take_tag();
      Result<JsonValue> value = reader.read_value();
      if (!value) return std::move(value).error();
      raw.members.push_back(JsonMember{std::move(key), std::move(*value)});
      return {};
    });
  } else if (first == '[') {
    raw.array_form = true;
    read = reader.read_array([&](std::size_t index) -> Result<void> {
      if (index == 0) return take_tag();
      Result<JsonValue> value = reader.read_value();
      if (!value) return std::move(value).error();
      raw.elements.push_back(std::move(*value));
      return {};
    });
  } else {
    Result<JsonValue> value = reader.read_value();
    if (!value) return std::move(value).error();
    return reader.error_after_consumed("invalid type: " + describe_json_value(*value) +
                                       ", expected internally tagged enum InputFrame");
  }
  if (!read) return std::move(read).error();
  if (!tag) return reader.error_after_consumed("missing field `type`");
  if (Result<void> end = reader.finish(); !end) return std::move(end).error();
  raw.tag = *tag;
  return raw;
}

Error invalid_type(const JsonValue& value, std::string_view expected) {
  return Error("invalid type: " + describe_json_value(value) + ", expected " +
               std::string(expected));
}

bool is_null(const JsonValue& value) { return std::holds_alternative<std::nullptr_t>(value.data); }

Result<void> set_text(std::string& target, JsonValue&& value) {
  auto* text = std::get_if<std::string>(&value.data);
  if (text == nullptr) return invalid_type(value, "a string");
  target = std::move(*text);
  return {};
}

Result<void> set_optional_text(std::optional<std::string>& target, JsonValue&& value) {
  if (is_null(value)) {
    target.reset();
    return {};
  }
  return set_text(target.emplace(), std::move(value));
}

Result<void> set_text_list(std::vector<std::string>& target, JsonValue&& value) {
  auto* elements = std::get_if<JsonValue::Array>(&value.data);
  if (elements == nullptr) return invalid_type(value, "a sequence");
  target.clear();
  for (JsonValue& element : *elements) {
    if (Result<void> set = set_text(target.emplace_back(), std::move(element)); !set) return set;
  }
  return {};
}

Result<void> set_optional_text_list(std::optional<std::vector<std::string>>& target,
                                   JsonValue&& value) {
  if (is_null(value)) {
    target.reset();
    return {};
  }
  return set_text_list(target.emplace(), std::move(value));
}

Result<void> set_signal(int& target, JsonValue&& value) {
  std::string name;
  if (Result<void> set = set_text(name, std::move(value)); !set) return set;
  std::optional<int> number = signal_number(name);
  if (!number) return Error("unknown signal `" + name + "`, expected a signal name such as `SIGTERM`");
  target = *number;
  return {};
}

Result<void> set_env(std::optional<Env>& target, JsonValue&& value) {
  if (is_null(value)) {
    target.reset();
    return {};
  }
  auto* members = std::get_if<JsonValue::Object>(&value.data);
  if (members == nullptr) return invalid_type(value, "a map");
  Env& env = target.emplace();
  for (JsonMember& member : *members) {
    // A later member for the same name wins.
    std::optional<std::string>& slot = env[std::move(member.key)];
    if (Result<void> set = set_optional_text(slot, std::move(member.value)); !set) return set;
  }
  return {};
}

Result<void> set_u16(std::uint16_t& target, const JsonValue& value) {
  std::string number;
  if (const auto* n = std::get_if<std::uint64_t>(&value.data)) {
    if (*n <= UINT16_MAX) {
      target = static_cast<std::uint16_t>(*n);
      return {};
    }
    number = std::to_string(*n);
  } else if (const auto* n = std::get_if<std::int64_t>(&value.data)) {
    if (*n >= 0 && *n <= UINT16_MAX) {
      target = static_cast<std::uint16_t>(*n);
      return {};
    }
    number = std::to_string(*n);
  } else {
    return invalid_type(value, "u16");
  }
  return Error("invalid value: integer `" + number + "`, expected u16");
}

Result<void> set_optional_u16(std::optional<std::uint16_t>& target, const JsonValue& value) {
  if (is_null(value)) {
    target.reset();
    return {};
  }
  return set_u16(target.emplace(), value);
}

// Stage 2 for either form: hands each field's value to `set(field, value)` in
// the order the line gives them, then checks what is missing or surplus.
template <typename Set>
Result<void> fill_fields(RawFrame& raw, const Shape& shape, Set&& set) {
  if (raw.array_form) {
    const std::size_t field_count = std::min(shape.keys.size(), shape.array_fields);
    const std::size_t present = raw.elements.size();
    for (std::size_t field = 0; field < field_count; ++field) {
      if (field < present) {
        if (Result<void> done = set(field, std::move(raw.elements[field])); !done) return done;
      } else if (field != shape.defaulted) {
        return Error("invalid length " + std::to_string(field) +
                     ", expected struct variant InputFrame::" + std::string(shape.name) + " with " +
                     count_of_elements(field_count));
      }
    }
    if (present > field_count) {
      return Error("invalid length " + std::to_string(present) + ", expected " +
                   count_of_elements(field_count) + " in sequence");
    }
    return {};
  }

  const std::size_t field_count = shape.keys.size();
  unsigned seen = 0;
  for (JsonMember& member : raw.members) {
    std::size_t field = 0;
    while (field < field_count && shape.keys[field] != member.key) ++field;
    if (field == field_count) continue;  // Not a member of this variant.
    if (seen & (1u << field)) return Error("duplicate field `" + member.key + "`");
    seen |= 1u << field;
    if (Result<void> done = set(field, std::move(member.value)); !done) return done;
  }
  for (std::size_t field = 0; field < field_count; ++field) {
    if ((shape.required & ~seen) & (1u << field)) {
      return Error("missing field `" + std::string(shape.keys[field]) + "`");
    }
  }
  return {};
}

// Stage 2: the variant named by the tag, from the gathered values.
Result<InputFrame> build_frame(RawFrame& raw) {
  switch (raw.tag) {
    case Tag::kSpawn: {
      InputFrame::Spawn spawn;
      Result<void> filled =
          fill_fields(raw, kSpawnShape, [&](std::size_t field, JsonValue&& value) -> Result<void> {
            switch (field) {
              case 0:
                return set_text(spawn.shell_path, std::move(value));
              case 1:
                return set_text_list(spawn.shell_args, std::move(value));
              case 2:
                return set_optional_text(spawn.cwd, std::move(value));
              case 3:
                return set_env(spawn.env, std::move(value));
              case 4:
                return set_optional_u16(spawn.rows, value);
              case 5:
                return set_optional_u16(spawn.cols, value);
              default:
                return set_optional_text_list(spawn.features, std::move(value));
            }
          });
      if (!filled) return std::move(filled).error();
      return InputFrame{std::move(spawn)};
    }
    case Tag::kInput: {
      InputFrame::Input input;
      Result<void> filled =
          fill_fields(raw, kInputShape, [&](std::size_t, JsonValue&& value) -> Result<void> {
            return set_text(input.data, std::move(value));
          });
      if (!filled) return std::move(filled).error();
      return InputFrame{std::move(input)};
    }
    case Tag::kResize: {
      InputFrame::Resize resize{};
      Result<void> filled =
          fill_fields(raw, kResizeShape, [&](std::size_t field, JsonValue&& value) -> Result<void> {
            return set_u16(field == 0 ? resize.rows : resize.cols, value);
          });
      if (!filled) return std::move(filled).error();
      return InputFrame{resize};
    }
    case Tag::kSignal: {
      InputFrame::Signal signal{};
      Result<void> filled =
          fill_fields(raw, kSignalShape, [&](std::size_t, JsonValue&& value) -> Result<void> {
            return set_signal(signal.number, std::move(value));
          });
      if (!filled) return std::move(filled).error();
      return InputFrame{signal};
    }
    case Tag::kQuery: {
      Result<void> filled =
          fill_fields(raw, kQueryShape, [](std::size_t, JsonValue&&) -> Result<void> { return {}; });
      if (!filled) return std::move(filled).error();
      return InputFrame{InputFrame::Query{}};
    }
    case Tag::kKill:
      break;
  }
  Result<void> filled =
      fill_fields(raw, kKillShape, [](std::size_t, JsonValue&&) -> Result<void> { return {}; });
  if (!filled) return std::move(filled).error();
  return InputFrame{InputFrame::Kill{}};
}

}  // namespace

Result<InputFrame> parse_input_frame(std::string_view line, Features accepted) {
  Result<RawFrame> raw = read_raw_frame(line, accepted);
  if (!raw) return std::move(raw).error();
  return build_frame(*raw);
}

}  // namespace qlp

#include "frames/output_frame.h"

#include <array>
#include <charconv>

namespace qlp {
namespace {

// For each byte: 0 when it is copied as it is, else the letter of its short escape, or 'u' for
// the \u00xx form.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr auto kEscape = make_escape_table();

template <typename... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

void append_number(std::uint32_t number, std::string& out) {
  char digits[10];  // 4294967295 is the longest
  auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, end);
}

void append_optional_string(const std::optional<std::string>& text, std::string& out) {
  if (text) {
    append_json_string(*text, out);
  } else {
    out += "null";
  }
}

}  // namespace

void append_json_string(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char escape = kEscape[byte];
    if (escape == 0) continue;
    out.append(text, run_start, i - run_start);
    run_start = i + 1;
    if (escape == 'u') {
      const char sequence[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
      out.append(sequence, sizeof sequence);
    } else {
      const char sequence[] = {'\\', escape};
      out.append(sequence, sizeof sequence);
    }
  }
  out.append(text, run_start, text.size() - run_start);
  out += '"';
}

void append_frame_line(const OutputFrame& frame, std::string& out) {
  std::visit(Overloaded{
                 [&](const OutputFrame::Ready& ready) {
                   out += R"({"type":"ready")";
                   if (ready.features) {
                     out += R"(,"features":[)";
                     bool first = true;
                     for (std::string_view name : *ready.features) {
                       if (!first) out += ',';
                       first = false;
                       append_json_string(name, out);
                     }
                     out += ']';
                   }
                   if (ready.pid) {
                     out += R"(,"pid":)";
                     append_number(*ready.pid, out);
                   }
                   out += '}';
                 },
                 [&](const OutputFrame::Data& data) {
                   out += R"({"type":"data","data":)";
                   append_json_string(data.data, out);
                   out += '}';
                 },
                 [&](const OutputFrame::Exit& exit) {
                   out += R"({"type":"exit","code":)";
                   append_number(exit.code, out);
                   if (exit.signal) {
                     out += R"(,"signal":)";
                     append_json_string(*exit.signal, out);
                   }
                   out += '}';
                 },
                 [&](const OutputFrame::Error& error) {
                   out += R"({"type":"error","message":)";
                   append_json_string(error.message, out);
                   if (error.cause) {
                     out += R"(,"cause":)";
                     append_json_string(*error.cause, out);
                   }
                   if (error.code) {
                     out += R"(,"code":)";
                     append_json_string(*error.code, out);
                   }
                   out += '}';
                 },
                 [&](const OutputFrame::Process& process) {
                   out += R"({"type":"process","pid":)";
                   if (process.pid) {
                     append_number(*process.pid, out);
                   } else {
                     out += "null";
                   }
                   out += R"(,"name":)";
                   append_optional_string(process.name, out);
                   out += R"(,"cwd":)";
                   append_optional_string(process.cwd, out);
                   out += '}';
                 },
             },
             frame.frame);
  out += '\n';
}

std::string frame_line(const OutputFrame& frame) {
  std::string line;
  append_frame_line(frame, line);
  return line;
}

}  // namespace qlp

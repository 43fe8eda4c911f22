// Feeds arbitrary lines to the input-frame decoder. Beyond not crashing:
// - every message is valid UTF-8 (it reaches the parent inside a JSON frame);
// - a line that decodes as a frame is also valid JSON to the generic reader;
// - a decoded frame, written back as a canonical object, decodes to the same frame;
// - every line is decoded twice, without extensions and with all of them: what decodes without
//   decodes the same with (the extensions only add), and the signal and query frames need them.
// Every line is decoded from a buffer of exactly its length (libFuzzer's own is one), where a read
// past its end is caught.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frames/input_frame.h"
#include "frames/json_reader.h"
#include "frames/signal_names.h"
#include "support/exact_bytes.h"
#include "support/utf8_oracle.h"

namespace {

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

template <typename T>
std::string optional_number(const std::optional<T>& value) {
  return value ? std::to_string(*value) : "null";
}

std::string features(const std::optional<std::vector<std::string>>& names) {
  if (!names) return "";
  std::string out = ",\"features\":[";
  for (std::size_t i = 0; i < names->size(); ++i) out += (i ? "," : "") + quoted((*names)[i]);
  return out + "]";
}

std::string canonical(const qlp::InputFrame& frame) {
  if (const auto* spawn = std::get_if<qlp::InputFrame::Spawn>(&frame.frame)) {
    std::string out =
        "{\"type\":\"spawn\",\"shellPath\":" + quoted(spawn->shell_path) + ",\"shellArgs\":[";
    for (std::size_t i = 0; i < spawn->shell_args.size(); ++i) {
      out += (i ? "," : "") + quoted(spawn->shell_args[i]);
    }
    out += "],\"cwd\":" + (spawn->cwd ? quoted(*spawn->cwd) : "null") + ",\"env\":";
    if (spawn->env) {
      out += "{";
      bool first = true;
      for (const auto& [name, value] : *spawn->env) {
        out += (first ? "" : ",") + quoted(name) + ":" + (value ? quoted(*value) : "null");
        first = false;
      }
      out += "}";
    } else {
      out += "null";
    }
    return out + ",\"rows\":" + optional_number(spawn->rows) +
           ",\"cols\":" + optional_number(spawn->cols) + features(spawn->features) + "}";
  }
  if (const auto* signal = std::get_if<qlp::InputFrame::Signal>(&frame.frame)) {
    return "{\"type\":\"signal\",\"signal\":" + quoted(*qlp::signal_name(signal->number)) + "}";
  }
  if (std::holds_alternative<qlp::InputFrame::Query>(frame.frame)) return "{\"type\":\"query\"}";
  if (const auto* input = std::get_if<qlp::InputFrame::Input>(&frame.frame)) {
    return "{\"type\":\"input\",\"data\":" + quoted(input->data) + "}";
  }
  if (const auto* resize = std::get_if<qlp::InputFrame::Resize>(&frame.frame)) {
    return "{\"type\":\"resize\",\"rows\":" + std::to_string(resize->rows) +
           ",\"cols\":" + std::to_string(resize->cols) + "}";
  }
  return "{\"type\":\"kill\"}";
}

bool same(const qlp::InputFrame& a, const qlp::InputFrame& b) {
  if (a.frame.index() != b.frame.index()) return false;
  if (const auto* x = std::get_if<qlp::InputFrame::Spawn>(&a.frame)) {
    const auto& y = std::get<qlp::InputFrame::Spawn>(b.frame);
    return x->shell_path == y.shell_path && x->shell_args == y.shell_args && x->cwd == y.cwd &&
           x->env == y.env && x->rows == y.rows && x->cols == y.cols && x->features == y.features;
  }
  if (const auto* x = std::get_if<qlp::InputFrame::Signal>(&a.frame)) {
    return x->number == std::get<qlp::InputFrame::Signal>(b.frame).number;
  }
  if (const auto* x = std::get_if<qlp::InputFrame::Input>(&a.frame)) {
    return x->data == std::get<qlp::InputFrame::Input>(b.frame).data;
  }
  if (const auto* x = std::get_if<qlp::InputFrame::Resize>(&a.frame)) {
    const auto& y = std::get<qlp::InputFrame::Resize>(b.frame);
    return x->rows == y.rows && x->cols == y.cols;
  }
  return true;
}

// Checks one decoding; true when the line decoded.
bool check(std::string_view line, const qlp::Result<qlp::InputFrame>& frame, qlp::Features accepted) {
  if (!frame) {
    const std::string& message = frame.error().message();
    if (message.empty() || !qlp::test::is_well_formed_utf8(message)) std::abort();
    return false;
  }
  if (!qlp::parse_json(line)) std::abort();
  const std::string again = canonical(*frame);
  qlp::Result<qlp::InputFrame> redecoded =
      qlp::parse_input_frame(qlp::test::ExactBytes(again), accepted);
  if (!redecoded || !same(*frame, *redecoded)) std::abort();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const qlp::Features all = qlp::Features::accept({"pid", "process", "signal", "errors"});
  const qlp::Result<qlp::InputFrame> plain = qlp::parse_input_frame(line);
  const qlp::Result<qlp::InputFrame> extended = qlp::parse_input_frame(line, all);
  const bool plain_decoded = check(line, plain, {});
  const bool extended_decoded = check(line, extended, all);
  if (plain_decoded) {
    if (!extended_decoded || !same(*plain, *extended)) std::abort();
    if (std::holds_alternative<qlp::InputFrame::Signal>(plain->frame) ||
        std::holds_alternative<qlp::InputFrame::Query>(plain->frame)) {
      std::abort();
    }
  }
  return 0;
}

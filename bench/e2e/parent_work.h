// What a parent does with each output line besides reading it. A light parent (the benchmark's
// default) recognises the frame by its bytes and decodes its Base64; a heavy one, like an editor
// feeding a terminal emulator, parses the line with a general JSON parser, decodes the text, and
// runs every byte through a terminal's parser state machine onto a screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "relay_process.h"

namespace qlp::bench {

enum class ParentKind { light, heavy };

class ParentWork {
 public:
  explicit ParentWork(ParentKind kind) : kind_(kind) {}

  ParentKind kind() const { return kind_; }

  /// For a heavy parent, parses the line again with the general JSON reader and decodes a data
  /// frame's text itself, as a parent with no fast path would; false when that disagrees with
  /// `parsed`. A light parent does nothing here.
  bool parse(const OutputLine& parsed);

  /// For a heavy parent, runs `bytes` through the terminal parser; a light one skips them.
  void consume(const unsigned char* bytes, std::size_t count);

  /// Depends on every byte consumed, so that no pass can be optimised away.
  std::uint64_t checksum() const { return checksum_ + screen_[cursor_]; }

 private:
  ParentKind kind_;
  std::uint8_t state_ = 0;
  std::uint32_t cursor_ = 0;
  std::uint64_t checksum_ = 0;
  std::uint32_t screen_[80 * 24] = {};
};

}  // namespace qlp::bench

#include "common.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "relay_process.h"

namespace qlp::bench {

std::vector<std::string> flood_child(const std::string& path) {
  return {"/bin/sh", "-c", "stty -opost -echo; exec cat \"$0\"", path};
}

std::vector<std::string> echo_child() {
  return {"/bin/sh", "-c", std::string("stty raw -echo; printf ") + kEchoReady + "; exec cat"};
}

std::span<char> LineSplitter::space() {
  if (begin_ > 0 && begin_ == end_) begin_ = end_ = scanned_ = 0;
  if (buffer_.size() - end_ < read_size_) {
    // Keep what has not been handed out; grow only for a line longer than the buffer.
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (buffer_.size() - end_ < read_size_) buffer_.resize(buffer_.size() * 2);
  }
  return {buffer_.data() + end_, buffer_.size() - end_};
}

std::optional<std::string_view> LineSplitter::next() {
  const char* base = buffer_.data() + begin_;
  const std::size_t available = end_ - begin_;
  const void* newline =
      available > scanned_ ? std::memchr(base + scanned_, '\n', available - scanned_) : nullptr;
  if (newline == nullptr) {
    scanned_ = available;
    return std::nullopt;
  }
  const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - base);
  begin_ += length + 1;
  scanned_ = 0;
  return std::string_view(base, length);
}

Result<void> await_ready_and(RelayProcess& relay, char marker) {
  const auto deadline = Clock::now() + step_timeout();
  bool ready = false;
  bool marked = marker == 0;
  while (!ready || !marked) {
    Result<std::optional<OutputLine>> line = relay.next_line(deadline);
    if (!line) return std::move(line).error();
    if (!line->has_value()) return Error("output ended before the session was ready");
    const OutputLine& got = **line;
    if (got.type == OutputLine::Type::ready) {
      ready = true;
    } else if (got.type == OutputLine::Type::data && !got.bytes.empty() &&
               got.bytes.size() <= kMaxFrameBytes) {
      marked = got.bytes.back() == marker;
    } else {
      return unexpected_line(got);
    }
  }
  return {};
}

Result<OutputLine> FloodCheck::next(RelayProcess& relay, Clock::time_point deadline) {
  Result<std::optional<OutputLine>> line = relay.next_line(deadline);
  if (!line) return std::move(line).error();
  if (!line->has_value()) return Error("output ended after " + std::to_string(received_) + " bytes");
  OutputLine& got = **line;
  switch (got.type) {
    case OutputLine::Type::data: {
      const std::size_t count = got.bytes.size();
      if (count > kMaxFrameBytes) return Error("data frame over 8192 bytes");
      if (count == 0) return unexpected_line(got);
      if (count > expected_.size() - received_ ||
          std::memcmp(got.bytes.data(), expected_.data() + received_, count) != 0) {
        return Error("received bytes differ from the file after offset " +
                     std::to_string(received_));
      }
      received_ += count;
      break;
    }
    case OutputLine::Type::ready:
      if (ready_) return unexpected_line(got);
      ready_ = true;
      break;
    case OutputLine::Type::exit:
      if (!ready_ || exit_code_) return unexpected_line(got);
      exit_code_ = got.code;
      break;
    default:
      return unexpected_line(got);
  }
  return std::move(got);
}

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  if (q <= 0) return values.front();
  // Nearest rank, except that the median of an even count is the mean of the middle two.
  if (q == 0.5 && values.size() % 2 == 0) {
    return (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
  }
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
  return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

std::optional<double> paired_ratio(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.empty() || a.size() != b.size()) return std::nullopt;
  std::vector<double> ratios;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (b[i] == 0) return std::nullopt;
    ratios.push_back(a[i] / b[i]);
  }
  return median(ratios);
}

std::string format(double value) {
  char text[32];
  const double magnitude = std::fabs(value);
  const char* form = magnitude == 0     ? "%.0f"
                     : magnitude >= 100 ? "%.0f"
                     : magnitude >= 10  ? "%.1f"
                                        : "%.2f";
  std::snprintf(text, sizeof text, form, value);
  return text;
}

}  // namespace qlp::bench

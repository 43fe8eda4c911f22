// Decoding input frames: the Base64 input frame is the one that carries bulk
// data, so it must decode far faster than a terminal can take the bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "frames/base64.h"
#include "frames/input_frame.h"
#include "frames/json_reader.h"

namespace {

/// `length` symbols of Base64 (a multiple of 4) of bytes in no simple order.
std::string base64_text(std::size_t length) {
  std::string bytes(length / 4 * 3, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37 + i / 7);
  return qlp::base64_encode(bytes);
}

void BM_ParseInputFrame64KiB(benchmark::State& state) {
  const std::string line = "{\"type\":\"input\",\"data\":\"" + base64_text(64 * 1024) + "\"}";
  for (auto _ : state) {
    qlp::Result<qlp::InputFrame> frame = qlp::parse_input_frame(line);
    benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseInputFrame64KiB);

void BM_ParseInputFrameArrayForm64KiB(benchmark::State& state) {
  const std::string line = "[\"input\",\"" + base64_text(64 * 1024) + "\"]";
  for (auto _ : state) {
    qlp::Result<qlp::InputFrame> frame = qlp::parse_input_frame(line);
    benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseInputFrameArrayForm64KiB);

void BM_ParseSpawnFrame(benchmark::State& state) {
  const std::string line =
      "{\"type\":\"spawn\",\"shellPath\":\"/bin/bash\",\"shellArgs\":[\"-l\",\"-i\"],"
      "\"cwd\":\"/home/user/project\",\"env\":{\"TERM\":\"xterm-256color\",\"LANG\":\"C.UTF-8\","
      "\"OLDPWD\":null},\"rows\":24,\"cols\":80}";
  for (auto _ : state) {
    qlp::Result<qlp::InputFrame> frame = qlp::parse_input_frame(line);
    benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseSpawnFrame);

// Many small values: the reader's per-token cost rather than its string scan.
void BM_ParseJsonNumberArray(benchmark::State& state) {
  std::string text = "[";
  for (int i = 0; i < 8192; ++i) text += std::to_string(i * 7919) + (i % 3 ? ".5," : ",");
  text += "0]";
  for (auto _ : state) {
    qlp::Result<qlp::JsonValue> value = qlp::parse_json(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseJsonNumberArray);

}  // namespace

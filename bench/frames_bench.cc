// Framing must never be what limits a terminal: each of these should move at least 1 GiB of input
// a second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "frames/base64.h"
#include "frames/shared_stdout.h"

namespace {

std::string sample_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

void BM_Base64Encode8KiB(benchmark::State& state) {
  const std::string chunk = sample_bytes(8192);
  for (auto _ : state) benchmark::DoNotOptimize(qlp::base64_encode(chunk));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}
BENCHMARK(BM_Base64Encode8KiB);

void BM_Base64EncodeAppend8KiB(benchmark::State& state) {
  const std::string chunk = sample_bytes(8192);
  std::string out;
  for (auto _ : state) {
    out.clear();
    qlp::base64_encode_append(chunk, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}
BENCHMARK(BM_Base64EncodeAppend8KiB);

void BM_Base64Decode64KiB(benchmark::State& state) {
  const std::string text = qlp::base64_encode(sample_bytes(48 * 1024));  // 64 KiB of text
  for (auto _ : state) benchmark::DoNotOptimize(qlp::base64_decode(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Base64Decode64KiB);

void BM_EmitDataChunk8KiBToDevNull(benchmark::State& state) {
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  auto out = qlp::SharedStdout::create(fd);
  const std::string chunk = sample_bytes(8192);
  for (auto _ : state) {
    if (!qlp::emit_data_chunk(*out, chunk)) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
  ::close(fd);
}
BENCHMARK(BM_EmitDataChunk8KiBToDevNull);

}  // namespace

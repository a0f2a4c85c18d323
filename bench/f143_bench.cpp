// F143 encode and decode throughput over a 16 Mi-value buffer, next to memcpy of the same buffers
// as the memory-bandwidth yardstick. Items are values; bytes are those read and written.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "quarn/runtime/blocked_data.hpp"

namespace {

using namespace quarn::runtime::blocked_data;

constexpr std::size_t VALUE_COUNT = std::size_t{16} << 20;

// Normally distributed values, wide enough to touch subnormal, normal and saturating bytes.
std::vector<float> sample_values() {
  std::mt19937 random(143);
  std::normal_distribution<float> normal(0.0f, 40.0f);
  std::vector<float> values(VALUE_COUNT);
  for (auto& v : values) v = normal(random);
  return values;
}

void BM_F143Encode(benchmark::State& state) {
  const std::vector<float> values = sample_values();
  const std::int8_t scale = f143_scale(values);
  std::vector<std::uint8_t> bytes(VALUE_COUNT);
  for (auto _ : state) {
    for (std::size_t i = 0; i < VALUE_COUNT; ++i) bytes[i] = f143_from_f32(values[i], scale);
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * VALUE_COUNT));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * VALUE_COUNT * 5));
}
BENCHMARK(BM_F143Encode)->Unit(benchmark::kMillisecond);

void BM_F143Decode(benchmark::State& state) {
  const std::vector<float> values = sample_values();
  const std::int8_t scale = f143_scale(values);
  std::vector<std::uint8_t> bytes(VALUE_COUNT);
  for (std::size_t i = 0; i < VALUE_COUNT; ++i) bytes[i] = f143_from_f32(values[i], scale);
  std::vector<float> decoded(VALUE_COUNT);
  for (auto _ : state) {
    for (std::size_t i = 0; i < VALUE_COUNT; ++i) decoded[i] = f143_to_f32(bytes[i], scale);
    benchmark::DoNotOptimize(decoded.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * VALUE_COUNT));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * VALUE_COUNT * 5));
}
BENCHMARK(BM_F143Decode)->Unit(benchmark::kMillisecond);

// memcpy of the 16 Mi floats (64 MiB) and of the 16 Mi F143 bytes (16 MiB).
template <typename Element>
void BM_F143Memcpy(benchmark::State& state) {
  const std::vector<Element> source(VALUE_COUNT, Element{1});
  std::vector<Element> destination(VALUE_COUNT);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), VALUE_COUNT * sizeof(Element));
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * VALUE_COUNT));
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * VALUE_COUNT * sizeof(Element) * 2));
}
BENCHMARK(BM_F143Memcpy<float>)->Name("BM_F143MemcpyFloats")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_F143Memcpy<std::uint8_t>)->Name("BM_F143MemcpyBytes")->Unit(benchmark::kMillisecond);

}  // namespace

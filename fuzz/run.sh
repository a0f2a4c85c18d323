#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang 16 and runs each one: fuzz/run.sh [seconds-per-harness] [harness...]
# New corpus entries go to fuzz/corpus/<name>; crashes to fuzz/crashes/<name>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
if ! command -v clang++-16 >/dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q clang-16 libclang-rt-16-dev
fi
build=build-fuzz
# g++ 12's standard library shows std::expected only to compilers that announce C++20 concepts.
CXX=clang++-16 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARN_BUILD_FUZZERS=ON -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_BENCHMARKS=OFF \
  -DQUARN_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS="-D__cpp_concepts=202002L -Wno-macro-redefined" >/dev/null
cmake --build "$build" -j "$(nproc)"
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for harness in fuzz/harness_*.cpp; do
    name=$(basename "$harness" .cpp)
    names+=("${name#harness_}")
  done
fi
for name in "${names[@]}"; do
  mkdir -p "fuzz/corpus/$name" "fuzz/crashes/$name"
  echo "== $name: ${seconds}s" >&2
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="fuzz/crashes/$name/" "fuzz/corpus/$name" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|==[0-9]+==ERROR|oracle failed|SUMMARY)' || true
done

// Micro-benchmark of the line reader alone: lines per second over a page-cached file,
// so that a change to the reading hot path can be judged in isolation.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "csvreader.h"

namespace {

// Writes `lines` lines of about `lineLength` bytes, first field one of `keys` keys.
std::string makeInput(int lines, int keys, int lineLength) {
  char path[] = "/tmp/varnolix-reader-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) std::abort();
  std::mt19937 random(1);
  std::string chunk;
  for (int i = 0; i < lines; ++i) {
    chunk += "k" + std::to_string(random() % static_cast<unsigned>(keys)) + ";";
    chunk.append(static_cast<std::size_t>(lineLength) - 8, static_cast<char>('a' + i % 26));
    chunk += '\n';
    if (chunk.size() > (1 << 20) || i + 1 == lines) {
      if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) std::abort();
      chunk.clear();
    }
  }
  ::close(fd);
  return path;
}

void readAllLines(benchmark::State& state, bool takeKey) {
  const int lines = static_cast<int>(state.range(0));
  const std::string path = makeInput(lines, 100, static_cast<int>(state.range(1)));
  for (auto _ : state) {
    CSVReader reader(path, ";", false);
    std::size_t bytes = 0;
    while (reader.hasNext()) {
      reader.next();
      bytes += takeKey ? reader.getFieldView(1).size() : reader.getLineView().size();
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * lines);
  std::remove(path.c_str());
}

void BM_ReadLines(benchmark::State& state) { readAllLines(state, false); }
void BM_ReadLinesAndKeys(benchmark::State& state) { readAllLines(state, true); }

BENCHMARK(BM_ReadLines)->Args({1'000'000, 53})->Args({100'000, 500})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLinesAndKeys)->Args({1'000'000, 53})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

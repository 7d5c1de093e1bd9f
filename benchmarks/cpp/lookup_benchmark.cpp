// The cost of resolving a port name, for every one of the 82 names and for
// misses, against the comparison with every name in table order.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/port_table.h"

namespace {

using serialslots::PortSlot;
using serialslots::portTable;

PortSlot* findByComparison(const char* name) {
  for (PortSlot& slot : portTable) {
    if (std::strcmp(slot.name, name) == 0) return &slot;
  }
  return nullptr;
}

std::vector<std::string> names() {
  std::vector<std::string> all;
  for (const PortSlot& slot : portTable) all.emplace_back(slot.name);
  for (const char* miss : {"COM41", "COMUSB41", "com1", "", "COMUSB", "/dev/ttyS0", "COM1 "}) {
    all.emplace_back(miss);
  }
  return all;
}

const std::vector<std::string> kNames = names();

template <PortSlot* (*Find)(const char*)>
void lookup(benchmark::State& state) {
  // A copy of the name at its own address, as a converted Java string is.
  const std::string name = kNames[static_cast<size_t>(state.range(0))];
  for (auto _ : state) {
    const char* text = name.c_str();
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(Find(text));
  }
  state.SetLabel(name.empty() ? "\"\"" : name);
}

void allNames(benchmark::internal::Benchmark* bench) {
  for (size_t i = 0; i < kNames.size(); ++i) bench->Arg(static_cast<int64_t>(i));
}

}  // namespace

BENCHMARK(lookup<serialslots::findPort>)->Name("findPort")->Apply(allNames);
BENCHMARK(lookup<findByComparison>)->Name("compareEveryName")->Apply(allNames);

BENCHMARK_MAIN();

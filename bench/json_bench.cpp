// Reading and writing a large import envelope (100,000 rows of 5 members,
// about 10 MB) with the JSON library, next to a widely used JSON library on the
// same text, plus the shapes that would expose a reader that is quadratic in
// the size of a piece.
//
// Memory: every allocation of this program is counted, so each parse reports
// the bytes its tree holds ("tree_MB") and the peak while parsing ("peak_MB").
//
// Built with TANDEMIZE_JSON_BENCH_IMPORT (and linked with the converter and the
// in-memory table), "json_bench import <file.json>" reads one import envelope
// and converts its rows into tables the way the data service does, once, for
// profiling: the reading sits in ReadEnvelope and the conversion in
// ConvertRows, so a profiler's inclusive counts of the two give the cost per
// row of each.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "json/json.h"
#include "text/charset.h"

#ifdef TANDEMIZE_JSON_BENCH_IMPORT
#include <fstream>
#include <iostream>
#include <sstream>

#include "converter/converter.h"
#include "memtable/mem_table.h"
#endif

// ---------------------------------------------------------------------------
// Allocation accounting

namespace {
std::atomic<long long> gLiveBytes{0};
std::atomic<long long> gPeakBytes{0};

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const long long live = gLiveBytes += static_cast<long long>(malloc_usable_size(p));
  long long peak = gPeakBytes.load();
  while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void CountedFree(void* p) {
  if (p == nullptr) return;
  gLiveBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) {
  return CountedAlloc(size);
}
void* operator new[](std::size_t size) {
  return CountedAlloc(size);
}
void operator delete(void* p) noexcept {
  CountedFree(p);
}
void operator delete[](void* p) noexcept {
  CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  CountedFree(p);
}

namespace {

using tandemize::json::TJson;
using tandemize::json::TJsonObject;

// ---------------------------------------------------------------------------
// Inputs

std::string MakeEnvelope(int rows) {
  std::string text =
      "{\"tandemize\":\"clientes\",\"params\":{\"tipo_sgdb\":5,\"host\":\"\",\"port\":0,"
      "\"database\":\"/tmp/bench.db\",\"user\":\"\",\"password\":\"\",\"lib\":\"\"},"
      "\"table\":\"clientes\",\"pks\":[\"id\"],\"fields\":[\"nome\",\"valor\",\"ativo\","
      "\"criado\"],\"structure\":[{\"name\":\"id\",\"type\":\"ftInteger\"},{\"name\":\"nome\","
      "\"type\":\"ftString\",\"size\":60},{\"name\":\"valor\",\"type\":\"ftFloat\"},{\"name\":"
      "\"ativo\",\"type\":\"ftBoolean\"},{\"name\":\"criado\",\"type\":\"ftDateTime\"}],"
      "\"data\":[";
  for (int i = 0; i < rows; ++i) {
    if (i) text += ',';
    text += "{\"id\":" + std::to_string(i + 1) + ",\"nome\":\"Cliente " + std::to_string(i) +
            " S\\u00e3o Jo\\u00e3o da Silva\",\"valor\":" + std::to_string(i % 100000) + "." +
            std::to_string(10 + i % 90) + ",\"ativo\":" + (i % 3 ? "true" : "false") +
            ",\"criado\":\"2024-01-" + std::to_string(10 + i % 19) + "T10:20:30.000Z\"}";
  }
  text += "]}";
  return text;
}

const std::string& Envelope() {
  static const std::string text = MakeEnvelope(100000);
  return text;
}

const std::string& BigString() {
  static const std::string text = "{\"blob\":\"" + std::string(10 << 20, 'x') + "\"}";
  return text;
}

const std::string& ManySmallValues() {
  static const std::string text = [] {
    std::string t = "[";
    for (int i = 0; i < 1000000; ++i) t += (i ? ",1" : "1");
    return t + "]";
  }();
  return text;
}

std::string Nested(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') + "0" +
         std::string(static_cast<std::size_t>(depth), ']');
}

void ReportSize(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

// Parses once outside the timing to measure the tree and the peak.
template <typename ParseFn>
void ReportMemory(benchmark::State& state, ParseFn&& parse) {
  const long long before = gLiveBytes.load();
  gPeakBytes = before;
  {
    auto tree = parse();
    state.counters["tree_MB"] = static_cast<double>(gLiveBytes.load() - before) / (1 << 20);
    state.counters["peak_MB"] = static_cast<double>(gPeakBytes.load() - before) / (1 << 20);
    benchmark::DoNotOptimize(tree);
  }
}

// ---------------------------------------------------------------------------
// The envelope

void BM_Envelope_Parse_Tandemize(benchmark::State& state) {
  const std::string& text = Envelope();
  for (auto _ : state) {
    TJsonObject object;
    object.Parse(text);
    benchmark::DoNotOptimize(object.Count());
  }
  ReportSize(state, text);
  ReportMemory(state, [&] {
    auto object = std::make_unique<TJsonObject>();
    object->Parse(text);
    return object;
  });
}

void BM_Envelope_Parse_Nlohmann(benchmark::State& state) {
  const std::string& text = Envelope();
  for (auto _ : state) {
    auto doc = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(doc.size());
  }
  ReportSize(state, text);
  ReportMemory(state,
               [&] { return std::make_unique<nlohmann::json>(nlohmann::json::parse(text)); });
}

void BM_Envelope_Stringify_Tandemize(benchmark::State& state) {
  TJsonObject object;
  object.Parse(Envelope());
  std::string out;
  for (auto _ : state) {
    out = object.Stringify();
    benchmark::DoNotOptimize(out.data());
  }
  ReportSize(state, out);
}

void BM_Envelope_Stringify_Nlohmann(benchmark::State& state) {
  const auto doc = nlohmann::json::parse(Envelope());
  std::string out;
  for (auto _ : state) {
    // Escaping every non-ASCII character, as our writer does.
    out = doc.dump(-1, ' ', true);
    benchmark::DoNotOptimize(out.data());
  }
  ReportSize(state, out);
}

// ---------------------------------------------------------------------------
// Shapes that must stay linear

void BM_BigString_Parse_Tandemize(benchmark::State& state) {
  for (auto _ : state) {
    TJsonObject object;
    object.Parse(BigString());
    benchmark::DoNotOptimize(object.Count());
  }
  ReportSize(state, BigString());
}

void BM_BigString_Parse_Nlohmann(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(BigString()).size());
  ReportSize(state, BigString());
}

void BM_ManyValues_Parse_Tandemize(benchmark::State& state) {
  for (auto _ : state) {
    TJson document;
    document.Parse(ManySmallValues());
    benchmark::DoNotOptimize(document.Count());
  }
  ReportSize(state, ManySmallValues());
}

void BM_ManyValues_Parse_Nlohmann(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(ManySmallValues()).size());
  ReportSize(state, ManySmallValues());
}

// Depth within the bound is read; 10,000 levels are refused with a parse error.
void BM_Nested_Parse_Tandemize(benchmark::State& state) {
  const std::string text = Nested(static_cast<int>(state.range(0)));
  bool refused = false;
  for (auto _ : state) {
    TJson document;
    try {
      document.Parse(text);
    } catch (const tandemize::json::EJsonException&) {
      refused = true;
    }
    benchmark::DoNotOptimize(document.Count());
  }
  state.counters["refused"] = refused ? 1 : 0;
}

void BM_Nested_Parse_Nlohmann(benchmark::State& state) {
  const std::string text = Nested(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text).size());
}

BENCHMARK(BM_Envelope_Parse_Tandemize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Envelope_Parse_Nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Envelope_Stringify_Tandemize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Envelope_Stringify_Nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BigString_Parse_Tandemize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BigString_Parse_Nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyValues_Parse_Tandemize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyValues_Parse_Nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Nested_Parse_Tandemize)
    ->Arg(tandemize::json::kMaxNestingDepth)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Nested_Parse_Nlohmann)
    ->Arg(tandemize::json::kMaxNestingDepth)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

#ifdef TANDEMIZE_JSON_BENCH_IMPORT
// ---------------------------------------------------------------------------
// One import envelope, read and converted as the data service does

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

[[gnu::noinline]] void ReadEnvelope(std::string_view text, TJsonObject& envelope) {
  if (!tandemize::text::IsValidUtf8(text)) throw std::runtime_error("not UTF-8");
  envelope.Parse(text);
}

// Structure first, then every row into the one table, each row's JSON freed
// once it is a record; returns the records converted.
[[gnu::noinline]] long ConvertRows(TJsonObject& envelope) {
  using tandemize::converter::TConverter;
  using tandemize::json::TJsonArray;
  using tandemize::memtable::TMemTable;
  TJsonArray& structure = envelope["tandemize"].AsObject()["structure"].AsArray();
  TJsonArray& data = envelope["tandemize"].AsObject()["data"].AsArray();
  TMemTable table;
  TConverter::New()->ForJson(structure)->LoadStructure(table);
  TConverter::New()->ForJson(data)->TakeRecords(table);
  return table.RecordCount();
}

int RunImport(const char* path) {
  const std::string text = ReadFile(path);
  TJsonObject envelope;
  ReadEnvelope(text, envelope);
  const long records = ConvertRows(envelope);
  std::cout << records << " records from " << text.size() << " bytes\n";
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef TANDEMIZE_JSON_BENCH_IMPORT
  if (argc == 3 && std::string_view(argv[1]) == "import") return RunImport(argv[2]);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

#include "dbaccess/db_batch.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "dbaccess/internal/phys_batch.h"
#include "dbaccess/internal/phys_values.h"

namespace tandemize::dbaccess {
namespace {

phys::TPhysBatching* Batching(phys::TPhysConnection& aPhys) {
  return dynamic_cast<phys::TPhysBatching*>(&aPhys);
}

std::string NumberKey(double aValue) {
  if (aValue == 0) aValue = 0;  // -0 and 0
  char text[40];
  std::snprintf(text, sizeof text, "n%.17g", aValue);
  return text;
}

std::string DayKey(const memtable::TSQLTimeStamp& aValue) {
  std::string text = phys::TimeStampToText(aValue);
  text.resize(10);
  return "t" + text;
}

}  // namespace

std::optional<std::string> ComparableKey(const TVariant& aValue) {
  if (memtable::VarIsNull(aValue)) return std::nullopt;
  if (const auto* bytes = std::get_if<memtable::TBytes>(&aValue)) {
    return "b" + std::string(bytes->begin(), bytes->end());
  }
  if (const auto* held = std::get_if<std::string>(&aValue)) {
    const std::size_t first = held->find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "s";
    const std::string text = held->substr(first, held->find_last_not_of(" \t\r\n") + 1 - first);
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (end == text.c_str() + text.size() && !std::isnan(number)) return NumberKey(number);
    memtable::TSQLTimeStamp day;
    if (phys::TextToTimeStamp(text, day)) return DayKey(day);
    std::string lowered = "s" + text;
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
  }
  if (std::holds_alternative<memtable::TSQLTimeStamp>(aValue) ||
      std::holds_alternative<memtable::TDateTime>(aValue)) {
    return DayKey(phys::VariantToTimeStamp(aValue));
  }
  try {
    return NumberKey(phys::VariantToDouble(aValue));
  } catch (const std::exception&) {
    return "v" + phys::VariantToText(aValue);
  }
}

bool TDbBatch::Available() {
  phys::TPhysBatching* batching = Batching(FConnection.Phys());
  return batching != nullptr && batching->CanBatch();
}

void TDbBatch::Add(TDbQuery& aQuery) {
  aQuery.PrepareRun();
  FRuns.push_back({aQuery.FStatement, FValues.size(), aQuery.FBinds.size()});
  for (const phys::TPhysBind& bind : aQuery.FBinds) {
    FTypes.push_back(bind.DataType);
    FValues.push_back(*bind.Value);
  }
}

const std::vector<std::int64_t>& TDbBatch::Run() {
  std::vector<phys::TPhysBind> binds;
  binds.reserve(FValues.size());
  for (std::size_t i = 0; i < FValues.size(); ++i) binds.push_back({{}, FTypes[i], &FValues[i]});
  std::vector<phys::TPhysRun> runs;
  runs.reserve(FRuns.size());
  for (const TRun& run : FRuns) {
    runs.push_back(
        {run.Statement, std::span<const phys::TPhysBind>(binds).subspan(run.First, run.Count)});
  }
  FCounts.assign(FRuns.size(), 0);
  struct TEmptied {
    TDbBatch& Batch;
    ~TEmptied() {
      Batch.FRuns.clear();
      Batch.FTypes.clear();
      Batch.FValues.clear();
    }
  } emptied{*this};
  phys::TPhysBatching* batching = Batching(FConnection.Phys());
  if (batching == nullptr) throw memtable::EDatabaseError("[DAL][Phys] No batches on this kind");
  batching->RunBatch(runs, FCounts);
  return FCounts;
}

std::int64_t TDbBatch::RunWithArrays(TDbQuery& aQuery, const std::vector<TArray>& aArrays) {
  phys::TPhysStatement& statement = aQuery.Statement();
  std::vector<phys::TPhysArrayBind> arrays;
  arrays.reserve(aQuery.FOccurrences.size());
  for (const int index : aQuery.FOccurrences) {
    const TArray& array = aArrays.at(static_cast<std::size_t>(index));
    arrays.push_back({array.Types, array.Values});
  }
  phys::TPhysBatching* batching = Batching(FConnection.Phys());
  if (batching == nullptr) throw memtable::EDatabaseError("[DAL][Phys] No batches on this kind");
  return batching->RunWithArrays(statement, arrays);
}

}  // namespace tandemize::dbaccess

#include "dbaccess/db_batch.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "dbaccess/internal/phys_batch.h"
#include "dbaccess/internal/phys_values.h"
#include "text/charset.h"

namespace tandemize::dbaccess {
namespace {

phys::TPhysBatching* Batching(phys::TPhysConnection& aPhys) {
  return dynamic_cast<phys::TPhysBatching*>(&aPhys);
}

std::string NumberKey(double aValue) {
  if (aValue == 0) aValue = 0;  // -0 and 0
  // The shortest text that reads back as the same double: one per value.
  char text[40] = "n";
  const std::to_chars_result written = std::to_chars(text + 1, text + sizeof text, aValue);
  return std::string(text, written.ptr);
}

std::string DayKey(const memtable::TSQLTimeStamp& aValue) {
  std::string text = phys::TimeStampToText(aValue);
  text.resize(10);
  return "t" + text;
}

// Text by what a collation that ignores case, accents, blanks and
// punctuation still tells apart: its compatibility form case-folded
// (NFKC_Casefold, which also drops invisible characters), decomposed, then
// only letters and digits kept, each digit as its value, katakana as
// hiragana. Bytes that are not UTF-8 stay as they are.
std::string FoldedText(const std::string& aText) {
  if (!text::IsValidUtf8(aText)) return "x" + aText;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* fold = icu::Normalizer2::getNFKCCasefoldInstance(status);
  const icu::Normalizer2* decompose = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return "x" + aText;
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(aText);
  const icu::UnicodeString folded = decompose->normalize(fold->normalize(source, status), status);
  if (U_FAILURE(status)) return "x" + aText;
  std::string key = "s";
  for (int32_t i = 0; i < folded.length();) {
    UChar32 cp = folded.char32At(i);
    i += U16_LENGTH(cp);
    const int8_t type = u_charType(cp);
    if (type == U_DECIMAL_DIGIT_NUMBER) {
      key += static_cast<char>('0' + u_charDigitValue(cp));
      continue;
    }
    const bool letter = type == U_UPPERCASE_LETTER || type == U_LOWERCASE_LETTER ||
                        type == U_TITLECASE_LETTER || type == U_MODIFIER_LETTER ||
                        type == U_OTHER_LETTER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
    if (!letter) continue;
    if (cp >= 0x30A1 && cp <= 0x30F6) cp -= 0x60;  // katakana to hiragana
    char bytes[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, cp);
    key.append(bytes, static_cast<std::size_t>(length));
  }
  return key;
}

}  // namespace

std::vector<std::string> ComparableKeys(const TVariant& aValue) {
  if (memtable::VarIsNull(aValue)) return {};
  if (const auto* bytes = std::get_if<memtable::TBytes>(&aValue)) {
    return {"b" + std::string(bytes->begin(), bytes->end())};
  }
  if (const auto* held = std::get_if<std::string>(&aValue)) {
    std::vector<std::string> keys = {FoldedText(*held)};
    const std::size_t first = held->find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return keys;
    const std::string text = held->substr(first, held->find_last_not_of(" \t\r\n") + 1 - first);
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    memtable::TSQLTimeStamp day;
    if (end == text.c_str() + text.size() && !std::isnan(number)) {
      keys.push_back(NumberKey(number));
    } else if (phys::TextToTimeStamp(text, day)) {
      keys.push_back(DayKey(day));
    }
    return keys;
  }
  if (std::holds_alternative<memtable::TSQLTimeStamp>(aValue) ||
      std::holds_alternative<memtable::TDateTime>(aValue)) {
    return {DayKey(phys::VariantToTimeStamp(aValue))};
  }
  try {
    return {NumberKey(phys::VariantToDouble(aValue))};
  } catch (const std::exception&) {
    return {"v" + phys::VariantToText(aValue)};
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

TDbBatch::~TDbBatch() {
  if (!FCopying) return;
  FCopyTarget->AbandonCopy();
}

void TDbBatch::StartCopy(const std::string& aSql) {
  phys::TPhysBatching* batching = Batching(FConnection.Phys());
  if (batching == nullptr) throw memtable::EDatabaseError("[DAL][Phys] No batches on this kind");
  FCopyData.clear();
  FRowStarted = false;
  batching->StartCopy(aSql);
  FCopyTarget = batching;
  FCopying = true;
}

void TDbBatch::CopyValue(const memtable::TField& aField) {
  if (FRowStarted) FCopyData += '\t';
  FRowStarted = true;
  FCopyValue.AssignFieldValue(aField);
  FCopyTarget->AppendCopyValue(FCopyData, {{}, FCopyValue.DataType(), &FCopyValue.Value()});
}

void TDbBatch::CopyValue(std::int64_t aValue) {
  if (FRowStarted) FCopyData += '\t';
  FRowStarted = true;
  FCopyData += std::to_string(aValue);
}

void TDbBatch::EndCopyRow() {
  FCopyData += '\n';
  FRowStarted = false;
  // Rows go out in pieces of about this size, so that the server reads one
  // while the next is written.
  constexpr std::size_t kCopyPiece = 64 * 1024;
  if (FCopyData.size() >= kCopyPiece) {
    FCopyTarget->SendCopyData(FCopyData);
    FCopyData.clear();
  }
}

std::int64_t TDbBatch::FinishCopy() {
  if (!FCopyData.empty()) FCopyTarget->SendCopyData(FCopyData);
  FCopyData.clear();
  FCopying = false;
  return FCopyTarget->EndCopy();
}

}  // namespace tandemize::dbaccess

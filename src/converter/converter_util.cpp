#include "converter/converter_util.h"

#include <clocale>
#include <cwctype>
#include <string>
#include <string_view>

#include <locale.h>

#include <fmt/format.h>

#include "memtable/mem_table.h"
#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::converter {
namespace {

// The process runs without a user locale; the built-in UTF-8 locale gives
// the lower-case mapping of every Unicode letter, not only of ASCII.
locale_t LowerCaseLocale() {
  static const locale_t kLocale =
      newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return kLocale;
}

std::string_view Trim(std::string_view value) {
  while (!value.empty() && static_cast<unsigned char>(value.front()) <= ' ') value.remove_prefix(1);
  while (!value.empty() && static_cast<unsigned char>(value.back()) <= ' ') value.remove_suffix(1);
  return value;
}

bool IsIdentChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

}  // namespace

std::string TConverterUtil::ToLowerCamelCase(std::string_view aValue) {
  const locale_t loc = LowerCaseLocale();
  std::string result;
  result.reserve(aValue.size());
  std::size_t pos = 0;
  while (pos < aValue.size()) {
    const unsigned char first = static_cast<unsigned char>(aValue[pos]);
    if (first < 0x80) {
      result += text::AsciiLower(static_cast<char>(first));
      ++pos;
      continue;
    }
    char32_t cp = text::DecodeUtf8(aValue, pos);
    if (loc != static_cast<locale_t>(nullptr)) {
      cp = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), loc));
    }
    text::AppendUtf8(result, cp);
  }
  return result;
}

memtable::TField& TConverterUtil::NewDataSetField(memtable::TMemTable& aDataSet,
                                                  memtable::TFieldType aFieldType,
                                                  std::string_view aFieldName, std::int32_t aSize,
                                                  std::string_view aOrigin,
                                                  std::string_view aDisplaylabel) {
  using memtable::TFieldType;
  const int ordinal = static_cast<int>(aFieldType);
  std::unique_ptr<memtable::TField> created;
  if (ordinal >= 0 && ordinal < memtable::kFieldTypeCount) {
    created = memtable::CreateField(aFieldType, memtable::TFieldClassList::fcGeneral);
  }
  if (!created) {
    const std::string typeName = ordinal >= 0 && ordinal < memtable::kFieldTypeCount
                                     ? std::string(memtable::FieldTypeName(aFieldType))
                                     : std::to_string(ordinal);
    throw EDataSetConverterException(
        fmt::format("Field type {} cannot be used for field \"{}\".", typeName, aFieldName));
  }

  created->SetFieldName(aFieldName.empty() ? fmt::format("Field{}", aDataSet.Fields().Count() + 1)
                                           : std::string(aFieldName));
  memtable::TField& field = aDataSet.Fields().Add(std::move(created));

  const std::string componentName = MakeValidIdent(aDataSet.Name() + field.FieldName());
  for (const auto& other : aDataSet.Fields()) {
    if (other.get() != &field && text::EqualsIgnoringCase(other->Name(), componentName)) {
      throw std::runtime_error(fmt::format("A component named {} already exists", componentName));
    }
  }
  field.SetName(componentName);

  field.SetSize(aSize);
  field.SetOrigin(std::string(aOrigin));
  if (!aDisplaylabel.empty()) field.SetDisplayLabel(std::string(aDisplaylabel));

  if ((aFieldType == TFieldType::ftString || aFieldType == TFieldType::ftWideString) &&
      aSize <= 0) {
    throw EDataSetConverterException(fmt::format("Size not defined for field \"{}\".", aFieldName));
  }
  return field;
}

TDataSetFieldType TConverterUtil::DataSetFieldToType(const memtable::TDataSetField& aDataSetField) {
  const std::string origin = ToLowerCamelCase(Trim(aDataSetField.Origin()));
  if (origin == "unknown") return TDataSetFieldType::dfUnknown;
  if (origin == "jsonobject") return TDataSetFieldType::dfJSONObject;
  if (origin == "jsonarray") return TDataSetFieldType::dfJSONArray;
  return TDataSetFieldType::dfUnknown;
}

std::string TConverterUtil::MakeValidIdent(std::string_view aValue) {
  std::string result;
  for (const char c : aValue) {
    if (IsIdentChar(c)) result += c;
  }
  if (result.empty()) return "_";
  if (result.front() >= '0' && result.front() <= '9') result.insert(result.begin(), '_');
  return result;
}

}  // namespace tandemize::converter

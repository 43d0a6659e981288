#include "memtable/storage/stream_format.h"

#include "memtable/errors.h"

namespace tandemize::memtable::storage {

namespace {

constexpr std::string_view kStanLayer = "Stan";

constexpr std::array<std::string_view, kStreamDataTypeCount> kDataTypeNames = {
    "dtUnknown",        "dtBoolean",        "dtSByte",
    "dtInt16",          "dtInt32",          "dtInt64",
    "dtByte",           "dtUInt16",         "dtUInt32",
    "dtUInt64",         "dtSingle",         "dtDouble",
    "dtExtended",       "dtCurrency",       "dtBCD",
    "dtFmtBCD",         "dtDateTime",       "dtTime",
    "dtDate",           "dtDateTimeStamp",  "dtTimeIntervalFull",
    "dtTimeIntervalYM", "dtTimeIntervalDS", "dtAnsiString",
    "dtWideString",     "dtByteString",     "dtBlob",
    "dtMemo",           "dtWideMemo",       "dtXML",
    "dtHBlob",          "dtHMemo",          "dtWideHMemo",
    "dtHBFile",         "dtRowSetRef",      "dtCursorRef",
    "dtRowRef",         "dtArrayRef",       "dtParentRowRef",
    "dtGUID",           "dtObject"};

constexpr std::array<std::string_view, kStreamRowStateCount> kRowStateNames = {
    "rsInitializing",      "rsDetached",         "rsInserted",   "rsDeleted",
    "rsModified",          "rsUnchanged",        "rsEditing",    "rsCalculating",
    "rsChecking",          "rsDestroying",       "rsForceWrite", "rsImportingCurent",
    "rsImportingOriginal", "rsImportingProposed"};

constexpr std::array<std::string_view, 2> kCheckTimeNames = {"ctAtEditEnd", "ctAtColumnChange"};
constexpr std::array<std::string_view, 3> kConstraintRuleNames = {"crCascade", "crRestrict",
                                                                  "crNullify"};
constexpr std::array<std::string_view, 2> kAcceptRejectRuleNames = {"arNone", "arCascade"};

}  // namespace

const TEnumTypeInfo kColumnDataTypeEnum{kDataTypeNames, true};
const TEnumTypeInfo kRowStateEnum{kRowStateNames, false};
const TEnumTypeInfo kCheckTimeEnum{kCheckTimeNames, false};
const TEnumTypeInfo kConstraintRuleEnum{kConstraintRuleNames, false};
const TEnumTypeInfo kAcceptRejectRuleEnum{kAcceptRejectRuleNames, false};

void RaiseInvalidFormat() {
  throw EDALException({kStanLayer}, kErrInvalidFormat, "Invalid binary storage format");
}

void RaiseCannotReadObject(std::string_view aName) {
  throw EDALException({kStanLayer}, kErrCannotReadObject,
                      "Cannot read [" + std::string(aName) + "] object");
}

void RaiseDictionaryOverflow() {
  throw EDALException({kStanLayer}, kErrDictionaryOverflow, "Dictionary overflow");
}

void RaiseClassNotRegistered(std::string_view aName) {
  throw EDALException({kStanLayer}, kErrClassNotRegistered,
                      "Class [" + std::string(aName) + "] is not registered");
}

void RaiseUnknownStorageFormat(std::string_view aFormat) {
  throw EDALException({kStanLayer}, kErrUnknownFormat,
                      "Unknown storage format [" + std::string(aFormat) +
                          "]. Hint: To register it, you can drop component [TStorageXxxLink] "
                          "into your project");
}

EListError::EListError(std::int64_t aIndex)
    : std::runtime_error("List index out of bounds (" + std::to_string(aIndex) + ")") {}

std::string_view DataTypeName(TColumnDataType aType) {
  return kDataTypeNames.at(static_cast<std::size_t>(aType));
}

int ConvertOldDataTypeOrdinal(int aOrdinal) {
  int v = aOrdinal;
  if (v >= 29) v += 1;
  if (v >= 20) v += 3;
  if (v >= 12) v += 1;
  if (v >= 10) v += 1;
  return v;
}

int ToOldDataTypeOrdinal(int aOrdinal) {
  for (int old = 0; old < kStreamDataTypeCount; ++old) {
    if (ConvertOldDataTypeOrdinal(old) == aOrdinal) return old;
  }
  return -1;
}

}  // namespace tandemize::memtable::storage

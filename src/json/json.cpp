// The JSON node classes: ownership, lookups, conversions and deep copies.
// Reading text is json_reader.cpp's, writing it json_writer.cpp's.

#include "json/json.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "json/json_text.h"
#include "text/case_fold.h"

namespace tandemize::json {

const char* ValueTypeName(TJsonValueType aType) {
  switch (aType) {
    case TJsonValueType::jvNone:
      return "jvNone";
    case TJsonValueType::jvNull:
      return "jvNull";
    case TJsonValueType::jvString:
      return "jvString";
    case TJsonValueType::jvInteger:
      return "jvInteger";
    case TJsonValueType::jvNumber:
      return "jvNumber";
    case TJsonValueType::jvBoolean:
      return "jvBoolean";
    case TJsonValueType::jvObject:
      return "jvObject";
    case TJsonValueType::jvArray:
      return "jvArray";
  }
  return "";
}

const char* StructTypeName(TJsonStructType aType) {
  switch (aType) {
    case TJsonStructType::jsNone:
      return "jsNone";
    case TJsonStructType::jsArray:
      return "jsArray";
    case TJsonStructType::jsObject:
      return "jsObject";
  }
  return "";
}

namespace {

constexpr const char* kStructNone = "json struct type is jsNone";
constexpr const char* kStructNotArray = "json struct type is not jsArray";
constexpr const char* kStructNotObject = "json struct type is not jsObject";

[[noreturn]] void RaiseListIndex(int index) {
  throw EJsonListError("List index out of bounds (" + std::to_string(index) + ")");
}

// True when `node` is `ancestor` or lies somewhere below it.
bool IsWithin(const TJsonBase* node, const TJsonBase* ancestor) {
  for (const TJsonBase* p = node; p != nullptr; p = p->Owner()) {
    if (p == ancestor) return true;
  }
  return false;
}

// A deep copy would read a tree that the copy itself changes or frees when
// source and target lie on one branch.
bool Overlaps(const TJsonBase* a, const TJsonBase* b) {
  return IsWithin(a, b) || IsWithin(b, a);
}

// A free-standing deep copy of `source` (of the same class).
std::unique_ptr<TJsonBase> Detach(const TJsonBase& source) {
  std::unique_ptr<TJsonBase> copy;
  if (dynamic_cast<const TJsonValue*>(&source)) {
    copy = std::make_unique<TJsonValue>();
  } else if (dynamic_cast<const TJsonArray*>(&source)) {
    copy = std::make_unique<TJsonArray>();
  } else if (dynamic_cast<const TJsonObject*>(&source)) {
    copy = std::make_unique<TJsonObject>();
  } else if (const auto* pair = dynamic_cast<const TJsonPair*>(&source)) {
    copy = std::make_unique<TJsonPair>(nullptr, pair->Name());
  } else {
    copy = std::make_unique<TJson>();
  }
  copy->Assign(&source);
  return copy;
}

}  // namespace

// ---------------------------------------------------------------------------
// TJsonBase

std::string TJsonBase::OwnerPairName() const {
  for (const TJsonBase* p = FOwner; p != nullptr; p = p->FOwner) {
    if (const auto* pair = dynamic_cast<const TJsonPair*>(p)) return pair->Name();
  }
  return {};
}

void TJsonBase::RaiseError(std::string_view Detail) const {
  std::string message = "<";
  message += ClassName();
  message += '>';
  message += Detail;
  throw EJsonException(message);
}

void TJsonBase::RaiseParseError(std::string_view Text) const {
  // The refused text can be a whole document: quote its start only, cut on a
  // UTF-8 character boundary.
  constexpr std::size_t kMaxQuoted = 200;
  std::string detail = "\"" + OwnerPairName() + "\" parse error: ";
  if (Text.size() <= kMaxQuoted) {
    detail += Text;
  } else {
    std::size_t cut = kMaxQuoted;
    while (cut > 0 && (static_cast<unsigned char>(Text[cut]) & 0xC0) == 0x80) --cut;
    detail += Text.substr(0, cut);
    detail += "...";
  }
  RaiseError(detail);
}

void TJsonBase::RaiseAssignError(const TJsonBase* Source) const {
  std::string detail = "assign error: ";
  detail += Source ? Source->ClassName() : "nil";
  detail += " to ";
  detail += ClassName();
  RaiseError(detail);
}

// ---------------------------------------------------------------------------
// TJsonValue

TJsonValue::TJsonValue(TJsonBase* AOwner) : TJsonBase(AOwner) {}

TJsonValue::TJsonValue(TJsonValue&& Other) noexcept : TJsonBase(nullptr) {
  TakeFrom(Other);
}

TJsonValue& TJsonValue::operator=(TJsonValue&& Other) {
  if (Overlaps(&Other, this)) {
    Assign(&Other);
  } else {
    Clear();
    TakeFrom(Other);
  }
  return *this;
}

void TJsonValue::TakeFrom(TJsonValue& Source) noexcept {
  FValueType = Source.FValueType;
  FStringValue = std::move(Source.FStringValue);
  FIntegerValue = Source.FIntegerValue;
  FNumberValue = Source.FNumberValue;
  FBooleanValue = Source.FBooleanValue;
  FObjectValue = std::move(Source.FObjectValue);
  FArrayValue = std::move(Source.FArrayValue);
  if (FObjectValue) FObjectValue->FOwner = this;
  if (FArrayValue) FArrayValue->FOwner = this;
  Source.Clear();
}

TJsonValue::~TJsonValue() {
  Clear();
}

void TJsonValue::Clear() {
  FObjectValue.reset();
  FArrayValue.reset();
  FStringValue.clear();
  FIntegerValue = 0;
  FNumberValue = 0;
  FBooleanValue = false;
  FValueType = TJsonValueType::jvNone;
}

void TJsonValue::Retype(TJsonValueType Type) {
  if (FValueType == Type) return;
  Clear();
  FValueType = Type;
  if (Type == TJsonValueType::jvObject) FObjectValue = std::make_unique<TJsonObject>(this);
  if (Type == TJsonValueType::jvArray) FArrayValue = std::make_unique<TJsonArray>(this);
}

void TJsonValue::IsEmpty(bool Value) {
  Retype(Value ? TJsonValueType::jvNone : TJsonValueType::jvNull);
}

void TJsonValue::IsNull(bool Value) {
  Retype(Value ? TJsonValueType::jvNull : TJsonValueType::jvNone);
}

void TJsonValue::RaiseTypeError(TJsonValueType Wanted) const {
  std::string detail = "\"" + OwnerPairName() + "\" value type error: ";
  detail += ValueTypeName(FValueType);
  detail += " to ";
  detail += ValueTypeName(Wanted);
  RaiseError(detail);
}

std::string TJsonValue::AsString() const {
  switch (FValueType) {
    case TJsonValueType::jvNone:
    case TJsonValueType::jvNull:
      return {};
    case TJsonValueType::jvString:
      return FStringValue;
    case TJsonValueType::jvInteger:
      return std::to_string(FIntegerValue);
    case TJsonValueType::jvNumber:
      return NumberToText(FNumberValue);
    case TJsonValueType::jvBoolean:
      return FBooleanValue ? "true" : "false";
    default:
      RaiseTypeError(TJsonValueType::jvString);
  }
}

std::int64_t TJsonValue::AsInteger() const {
  switch (FValueType) {
    case TJsonValueType::jvNone:
    case TJsonValueType::jvNull:
      return 0;
    case TJsonValueType::jvString: {
      if (const auto v = TryReadInt64(FStringValue)) return *v;
      throw EJsonConvertError("'" + FStringValue + "' is not a valid integer value");
    }
    case TJsonValueType::jvInteger:
      return FIntegerValue;
    case TJsonValueType::jvNumber: {
      // The whole part, toward zero; a number no 64-bit integer can hold is
      // refused rather than wrapped into a wrong value.
      const double whole = std::trunc(FNumberValue);
      if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0)) {
        throw EJsonConvertError("'" + NumberToText(FNumberValue) +
                                "' is not a valid integer value");
      }
      return static_cast<std::int64_t>(whole);
    }
    case TJsonValueType::jvBoolean:
      return FBooleanValue ? 1 : 0;
    default:
      RaiseTypeError(TJsonValueType::jvInteger);
  }
}

double TJsonValue::AsNumber() const {
  switch (FValueType) {
    case TJsonValueType::jvNone:
    case TJsonValueType::jvNull:
      return 0;
    case TJsonValueType::jvString: {
      if (const auto v = TryReadNumber(FStringValue)) return *v;
      throw EJsonConvertError("'" + FStringValue + "' is not a valid floating point value");
    }
    case TJsonValueType::jvInteger:
      return static_cast<double>(FIntegerValue);
    case TJsonValueType::jvNumber:
      return FNumberValue;
    case TJsonValueType::jvBoolean:
      return FBooleanValue ? 1 : 0;
    default:
      RaiseTypeError(TJsonValueType::jvNumber);
  }
}

bool TJsonValue::AsBoolean() const {
  switch (FValueType) {
    case TJsonValueType::jvNone:
    case TJsonValueType::jvNull:
      return false;
    case TJsonValueType::jvString:
      return IsJsonBoolean(FStringValue) && FStringValue.size() == 4;
    case TJsonValueType::jvInteger:
      return FIntegerValue != 0;
    case TJsonValueType::jvNumber:
      return FNumberValue != 0;  // NaN counts as true
    case TJsonValueType::jvBoolean:
      return FBooleanValue;
    default:
      RaiseTypeError(TJsonValueType::jvBoolean);
  }
}

TJsonObject& TJsonValue::AsObject() {
  if (FValueType == TJsonValueType::jvNone) Retype(TJsonValueType::jvObject);
  if (FValueType != TJsonValueType::jvObject) RaiseTypeError(TJsonValueType::jvObject);
  return *FObjectValue;
}

TJsonArray& TJsonValue::AsArray() {
  if (FValueType == TJsonValueType::jvNone) Retype(TJsonValueType::jvArray);
  if (FValueType != TJsonValueType::jvArray) RaiseTypeError(TJsonValueType::jvArray);
  return *FArrayValue;
}

void TJsonValue::AsString(std::string_view Value) {
  if (FValueType == TJsonValueType::jvObject || FValueType == TJsonValueType::jvArray) {
    // Value may be text inside the container that re-typing frees.
    std::string copy(Value);
    Retype(TJsonValueType::jvString);
    FStringValue = std::move(copy);
    return;
  }
  Retype(TJsonValueType::jvString);
  FStringValue.assign(Value.data(), Value.size());  // safe when Value is this very text
}

void TJsonValue::AsInteger(std::int64_t Value) {
  Retype(TJsonValueType::jvInteger);
  FIntegerValue = Value;
}

void TJsonValue::AsNumber(double Value) {
  Retype(TJsonValueType::jvNumber);
  FNumberValue = Value;
}

void TJsonValue::AsBoolean(bool Value) {
  Retype(TJsonValueType::jvBoolean);
  FBooleanValue = Value;
}

void TJsonValue::AsObject(const TJsonObject* Value) {
  if (Value != nullptr && Overlaps(Value, this)) {
    const auto copy = Detach(*Value);
    AsObject(static_cast<const TJsonObject*>(copy.get()));
    return;
  }
  Retype(TJsonValueType::jvObject);
  FObjectValue->Assign(Value);
}

void TJsonValue::AsArray(const TJsonArray* Value) {
  if (Value != nullptr && Overlaps(Value, this)) {
    const auto copy = Detach(*Value);
    AsArray(static_cast<const TJsonArray*>(copy.get()));
    return;
  }
  Retype(TJsonValueType::jvArray);
  FArrayValue->Assign(Value);
}

void TJsonValue::Assign(const TJsonBase* Source) {
  if (Source != nullptr && Overlaps(Source, this)) {
    if (Source == this) return;
    const auto copy = Detach(*Source);
    Assign(copy.get());
    return;
  }
  Clear();
  if (const auto* object = dynamic_cast<const TJsonObject*>(Source)) {
    Retype(TJsonValueType::jvObject);
    FObjectValue->CopyFrom(*object);
  } else if (const auto* array = dynamic_cast<const TJsonArray*>(Source)) {
    Retype(TJsonValueType::jvArray);
    FArrayValue->CopyFrom(*array);
  } else if (const auto* value = dynamic_cast<const TJsonValue*>(Source)) {
    CopyFrom(*value);
  } else {
    RaiseAssignError(Source);
  }
}

void TJsonValue::CopyFrom(const TJsonValue& Source) {
  Retype(Source.FValueType);
  switch (Source.FValueType) {
    case TJsonValueType::jvString:
      FStringValue = Source.FStringValue;
      break;
    case TJsonValueType::jvInteger:
      FIntegerValue = Source.FIntegerValue;
      break;
    case TJsonValueType::jvNumber:
      FNumberValue = Source.FNumberValue;
      break;
    case TJsonValueType::jvBoolean:
      FBooleanValue = Source.FBooleanValue;
      break;
    case TJsonValueType::jvObject:
      FObjectValue->CopyFrom(*Source.FObjectValue);
      break;
    case TJsonValueType::jvArray:
      FArrayValue->CopyFrom(*Source.FArrayValue);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// TJsonArray

TJsonArray::TJsonArray(TJsonBase* AOwner) : TJsonBase(AOwner) {}

TJsonArray::TJsonArray(TJsonArray&& Other) noexcept : TJsonBase(nullptr) {
  TakeFrom(Other);
}

TJsonArray& TJsonArray::operator=(TJsonArray&& Other) {
  if (Overlaps(&Other, this)) {
    Assign(&Other);
  } else {
    Clear();
    TakeFrom(Other);
  }
  return *this;
}

void TJsonArray::TakeFrom(TJsonArray& Source) noexcept {
  FList = std::move(Source.FList);
  FHead = Source.FHead;
  Source.FList.clear();
  Source.FHead = 0;
  for (std::size_t i = FHead; i < FList.size(); ++i) FList[i]->FOwner = this;
}

TJsonArray::~TJsonArray() {
  Clear();
}

int TJsonArray::MoveFirstTo(int Count, TJsonArray& Target) {
  const auto moved = static_cast<std::size_t>(std::clamp(Count, 0, this->Count()));
  Target.FList.reserve(Target.FList.size() + moved);
  for (std::size_t i = FHead; i < FHead + moved; ++i) {
    FList[i]->FOwner = &Target;
    Target.FList.push_back(std::move(FList[i]));
  }
  FHead += moved;
  CloseHeadGap();
  return static_cast<int>(moved);
}

void TJsonArray::CloseHeadGap() {
  if (FHead == FList.size()) {
    Clear();
  } else if (FHead >= FList.size() - FHead) {
    FList.erase(FList.begin(), FList.begin() + static_cast<std::ptrdiff_t>(FHead));
    FHead = 0;
  }
}

void TJsonArray::CheckIndex(int Index, int Limit) const {
  if (Index < 0 || Index > Limit) RaiseListIndex(Index);
}

TJsonValue& TJsonArray::Items(int Index) const {
  CheckIndex(Index, Count() - 1);
  return *FList[FHead + static_cast<std::size_t>(Index)];
}

TJsonValue& TJsonArray::Add() {
  FList.push_back(std::make_unique<TJsonValue>(this));
  return *FList.back();
}

TJsonValue& TJsonArray::Insert(int Index) {
  CheckIndex(Index, Count());
  auto it = FList.insert(FList.begin() + static_cast<std::ptrdiff_t>(FHead) + Index,
                         std::make_unique<TJsonValue>(this));
  return **it;
}

TJsonValue& TJsonArray::Put(TJsonEmpty) {
  return Add();
}

TJsonValue& TJsonArray::Put(TJsonNull) {
  TJsonValue& v = Add();
  v.IsNull(true);
  return v;
}

TJsonValue& TJsonArray::Put(bool Value) {
  TJsonValue& v = Add();
  v.AsBoolean(Value);
  return v;
}

TJsonValue& TJsonArray::Put(std::int64_t Value) {
  TJsonValue& v = Add();
  v.AsInteger(Value);
  return v;
}

TJsonValue& TJsonArray::Put(double Value) {
  TJsonValue& v = Add();
  v.AsNumber(Value);
  return v;
}

TJsonValue& TJsonArray::Put(std::string_view Value) {
  TJsonValue& v = Add();
  v.AsString(Value);
  return v;
}

TJsonValue& TJsonArray::Put(const TJsonArray& Value) {
  return PutCopy(Value);
}
TJsonValue& TJsonArray::Put(const TJsonObject& Value) {
  return PutCopy(Value);
}
TJsonValue& TJsonArray::Put(const TJsonValue& Value) {
  return PutCopy(Value);
}

TJsonValue& TJsonArray::PutCopy(const TJsonBase& Value) {
  if (Overlaps(&Value, this)) {
    const auto copy = Detach(Value);
    return PutCopy(*copy);
  }
  TJsonValue& v = Add();
  v.Assign(&Value);
  return v;
}

void TJsonArray::Delete(int Index) {
  CheckIndex(Index, Count() - 1);
  if (Index == 0) {
    // The first value leaves by the head, without moving the rest.
    FList[FHead].reset();
    ++FHead;
    CloseHeadGap();
    return;
  }
  FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(FHead) + Index);
}

void TJsonArray::Clear() {
  FList.clear();
  FHead = 0;
}

void TJsonArray::Merge(const TJsonArray& Addition) {
  if (Overlaps(&Addition, this)) {
    const auto copy = Detach(Addition);
    Merge(static_cast<const TJsonArray&>(*copy));
    return;
  }
  CopyFrom(Addition);
}

void TJsonArray::CopyFrom(const TJsonArray& Source) {
  FList.reserve(FList.size() + static_cast<std::size_t>(Source.Count()));
  for (std::size_t i = Source.FHead; i < Source.FList.size(); ++i) {
    Add().CopyFrom(*Source.FList[i]);
  }
}

void TJsonArray::Assign(const TJsonBase* Source) {
  if (Source != nullptr && Overlaps(Source, this)) {
    if (Source == this) return;
    const auto copy = Detach(*Source);
    Assign(copy.get());
    return;
  }
  Clear();
  const auto* array = dynamic_cast<const TJsonArray*>(Source);
  if (array == nullptr) RaiseAssignError(Source);
  CopyFrom(*array);
}

// ---------------------------------------------------------------------------
// TJsonPair

TJsonPair::TJsonPair(TJsonBase* AOwner, std::string_view AName)
    : TJsonBase(AOwner), FName(AName), FValue(this) {}

TJsonPair::TJsonPair(TJsonPair&& Other) noexcept
    : TJsonBase(nullptr), FName(std::move(Other.FName)), FValue(this) {
  FValue.TakeFrom(Other.FValue);
}

void TJsonPair::Assign(const TJsonBase* Source) {
  const auto* pair = dynamic_cast<const TJsonPair*>(Source);
  if (pair == nullptr) RaiseAssignError(Source);
  if (pair == this) return;
  if (Overlaps(pair, this)) {
    const auto copy = Detach(*pair);
    Assign(copy.get());
    return;
  }
  FName = pair->FName;
  FValue.Assign(&pair->FValue);
}

void TJsonPair::CopyFrom(const TJsonPair& Source) {
  FName = Source.FName;
  FValue.CopyFrom(Source.FValue);
}

// ---------------------------------------------------------------------------
// TJsonObject

TJsonObject::TJsonObject(TJsonBase* AOwner) : TJsonBase(AOwner) {}

TJsonObject::TJsonObject(TJsonObject&& Other) noexcept : TJsonBase(nullptr) {
  TakeFrom(Other);
}

TJsonObject& TJsonObject::operator=(TJsonObject&& Other) {
  if (Overlaps(&Other, this)) {
    Assign(&Other);
  } else {
    Clear();
    TakeFrom(Other);
  }
  return *this;
}

void TJsonObject::TakeFrom(TJsonObject& Source) noexcept {
  FList = std::move(Source.FList);
  Source.FList.clear();
  FAutoAdd = Source.FAutoAdd;
  for (const auto& pair : FList) pair->FOwner = this;
}

TJsonObject::~TJsonObject() {
  Clear();
}

void TJsonObject::CheckIndex(int Index, int Limit) const {
  if (Index < 0 || Index > Limit) RaiseListIndex(Index);
}

TJsonPair& TJsonObject::Items(int Index) const {
  CheckIndex(Index, Count() - 1);
  return *FList[static_cast<std::size_t>(Index)];
}

int TJsonObject::Find(std::string_view Name) const {
  for (std::size_t i = 0; i < FList.size(); ++i) {
    if (text::EqualsIgnoringAsciiCase(FList[i]->FName, Name)) return static_cast<int>(i);
  }
  return -1;
}

TJsonValue& TJsonObject::Values(std::string_view Name) {
  const int index = Find(Name);
  if (index >= 0) return FList[static_cast<std::size_t>(index)]->FValue;
  if (!FAutoAdd) RaiseError(std::string(Name) + " not found");
  return Add(Name).FValue;
}

TJsonPair& TJsonObject::Add(std::string_view Name) {
  FList.push_back(std::make_unique<TJsonPair>(this, Name));
  return *FList.back();
}

TJsonPair& TJsonObject::Insert(int Index, std::string_view Name) {
  CheckIndex(Index, Count());
  auto it = FList.insert(FList.begin() + Index, std::make_unique<TJsonPair>(this, Name));
  return **it;
}

TJsonValue& TJsonObject::Put(std::string_view Name, TJsonEmpty) {
  return Add(Name).FValue;
}

TJsonValue& TJsonObject::Put(std::string_view Name, TJsonNull) {
  TJsonValue& v = Add(Name).FValue;
  v.IsNull(true);
  return v;
}

TJsonValue& TJsonObject::Put(std::string_view Name, bool Value) {
  TJsonValue& v = Add(Name).FValue;
  v.AsBoolean(Value);
  return v;
}

TJsonValue& TJsonObject::Put(std::string_view Name, std::int64_t Value) {
  TJsonValue& v = Add(Name).FValue;
  v.AsInteger(Value);
  return v;
}

TJsonValue& TJsonObject::Put(std::string_view Name, double Value) {
  TJsonValue& v = Add(Name).FValue;
  v.AsNumber(Value);
  return v;
}

TJsonValue& TJsonObject::Put(std::string_view Name, std::string_view Value) {
  // Adding a pair frees nothing, so Value stays valid even when it is text
  // of this very object.
  TJsonValue& v = Add(Name).FValue;
  v.AsString(Value);
  return v;
}

TJsonValue& TJsonObject::Put(std::string_view Name, const TJsonArray& Value) {
  return PutCopy(Name, Value);
}
TJsonValue& TJsonObject::Put(std::string_view Name, const TJsonObject& Value) {
  return PutCopy(Name, Value);
}
TJsonValue& TJsonObject::Put(std::string_view Name, const TJsonValue& Value) {
  return PutCopy(Name, Value);
}

TJsonValue& TJsonObject::PutCopy(std::string_view Name, const TJsonBase& Value) {
  if (Overlaps(&Value, this)) {
    const std::string name(Name);
    const auto copy = Detach(Value);
    return PutCopy(name, *copy);
  }
  TJsonValue& v = Add(Name).FValue;
  v.Assign(&Value);
  return v;
}

TJsonValue& TJsonObject::Put(const TJsonPair& Value) {
  if (Overlaps(&Value, this)) {
    const auto copy = Detach(Value);
    return Put(static_cast<const TJsonPair&>(*copy));
  }
  TJsonPair& pair = Add(Value.FName);
  pair.FValue.CopyFrom(Value.FValue);
  return pair.FValue;
}

void TJsonObject::Delete(int Index) {
  CheckIndex(Index, Count() - 1);
  FList.erase(FList.begin() + Index);
}

void TJsonObject::Delete(std::string_view Name) {
  const int index = Find(Name);
  if (index < 0) RaiseError("\"" + std::string(Name) + "\" not found");
  FList.erase(FList.begin() + index);
}

void TJsonObject::Clear() {
  FList.clear();
}

void TJsonObject::Merge(const TJsonObject& Addition) {
  if (Overlaps(&Addition, this)) {
    const auto copy = Detach(Addition);
    Merge(static_cast<const TJsonObject&>(*copy));
    return;
  }
  CopyFrom(Addition);
}

void TJsonObject::CopyFrom(const TJsonObject& Source) {
  FList.reserve(FList.size() + Source.FList.size());
  for (const auto& pair : Source.FList) Add(pair->FName).FValue.CopyFrom(pair->FValue);
}

void TJsonObject::Assign(const TJsonBase* Source) {
  if (Source != nullptr && Overlaps(Source, this)) {
    if (Source == this) return;
    const auto copy = Detach(*Source);
    Assign(copy.get());
    return;
  }
  Clear();
  const auto* object = dynamic_cast<const TJsonObject*>(Source);
  if (object == nullptr) RaiseAssignError(Source);
  CopyFrom(*object);
}

// ---------------------------------------------------------------------------
// TJson

TJson::TJson() : TJsonBase(nullptr) {}

TJson::TJson(TJson&& Other) noexcept : TJsonBase(nullptr) {
  TakeFrom(Other);
}

TJson& TJson::operator=(TJson&& Other) {
  if (this != &Other) {
    Clear();
    TakeFrom(Other);
  }
  return *this;
}

void TJson::TakeFrom(TJson& Source) noexcept {
  FStructType = Source.FStructType;
  FJsonArray = std::move(Source.FJsonArray);
  FJsonObject = std::move(Source.FJsonObject);
  if (FJsonArray) FJsonArray->FOwner = this;
  if (FJsonObject) FJsonObject->FOwner = this;
  Source.FStructType = TJsonStructType::jsNone;
}

TJson::~TJson() {
  Clear();
}

void TJson::Clear() {
  FJsonArray.reset();
  FJsonObject.reset();
  FStructType = TJsonStructType::jsNone;
}

int TJson::Count() const {
  switch (FStructType) {
    case TJsonStructType::jsArray:
      return FJsonArray->Count();
    case TJsonStructType::jsObject:
      return FJsonObject->Count();
    default:
      return 0;
  }
}

TJsonArray& TJson::JsonArray() {
  if (FStructType == TJsonStructType::jsNone) {
    FJsonArray = std::make_unique<TJsonArray>(this);
    FStructType = TJsonStructType::jsArray;
  }
  if (FStructType != TJsonStructType::jsArray) RaiseError(kStructNotArray);
  return *FJsonArray;
}

TJsonObject& TJson::JsonObject() {
  if (FStructType == TJsonStructType::jsNone) {
    FJsonObject = std::make_unique<TJsonObject>(this);
    FStructType = TJsonStructType::jsObject;
  }
  if (FStructType != TJsonStructType::jsObject) RaiseError(kStructNotObject);
  return *FJsonObject;
}

TJsonValue& TJson::Get(int Index) {
  switch (FStructType) {
    case TJsonStructType::jsArray:
      return FJsonArray->Items(Index);
    case TJsonStructType::jsObject:
      return FJsonObject->Items(Index).Value();
    default:
      RaiseError(kStructNone);
  }
}

TJsonValue* TJson::Put(const TJson& Value) {
  TJsonArray& array = JsonArray();
  switch (Value.FStructType) {
    case TJsonStructType::jsArray:
      return &array.Put(*Value.FJsonArray);
    case TJsonStructType::jsObject:
      return &array.Put(*Value.FJsonObject);
    default:
      return nullptr;
  }
}

TJsonValue* TJson::Put(std::string_view Name, const TJson& Value) {
  TJsonObject& object = JsonObject();
  switch (Value.FStructType) {
    case TJsonStructType::jsArray:
      return &object.Put(Name, *Value.FJsonArray);
    case TJsonStructType::jsObject:
      return &object.Put(Name, *Value.FJsonObject);
    default:
      return nullptr;
  }
}

void TJson::Delete(int Index) {
  switch (FStructType) {
    case TJsonStructType::jsArray:
      FJsonArray->Delete(Index);
      break;
    case TJsonStructType::jsObject:
      FJsonObject->Delete(Index);
      break;
    default:
      RaiseError(kStructNone);
  }
}

void TJson::Delete(std::string_view Name) {
  if (FStructType != TJsonStructType::jsObject) RaiseError(kStructNotObject);
  FJsonObject->Delete(Name);
}

void TJson::Assign(const TJsonBase* Source) {
  if (Source == this) return;
  if (Source != nullptr && Overlaps(Source, this)) {
    const auto copy = Detach(*Source);
    Assign(copy.get());
    return;
  }
  Clear();
  if (const auto* doc = dynamic_cast<const TJson*>(Source)) {
    if (doc->FStructType == TJsonStructType::jsArray) JsonArray().CopyFrom(*doc->FJsonArray);
    if (doc->FStructType == TJsonStructType::jsObject) JsonObject().CopyFrom(*doc->FJsonObject);
  } else if (const auto* array = dynamic_cast<const TJsonArray*>(Source)) {
    JsonArray().CopyFrom(*array);
  } else if (const auto* object = dynamic_cast<const TJsonObject*>(Source)) {
    JsonObject().CopyFrom(*object);
  } else if (const auto* value = dynamic_cast<const TJsonValue*>(Source);
             value != nullptr && value->ValueType() == TJsonValueType::jvArray) {
    JsonArray().CopyFrom(*value->FArrayValue);
  } else if (value != nullptr && value->ValueType() == TJsonValueType::jvObject) {
    JsonObject().CopyFrom(*value->FObjectValue);
  } else {
    RaiseAssignError(Source);
  }
}

}  // namespace tandemize::json

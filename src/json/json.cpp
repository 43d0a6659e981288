// The JSON node classes: ownership, lookups, conversions, deep copies, and
// the per-class reading and writing of text.

#include "json/json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "json/json_scan.h"
#include "text/case_fold.h"

namespace tandemize::json {

using scan::Trim;

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

std::string TJsonBase::Stringify() const {
  std::string out;
  StringifyTo(out);
  return out;
}

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

// Reads text in the strict form most documents come in, in one pass: values
// separated by single commas, names quoted, literals in lower case, numbers
// that read as integer or number text, no blanks but space, tab, CR and LF,
// nesting well within the bound. Every such text reads into exactly the tree
// the level reader builds from it (it splits at the same places and reads
// each piece with the same functions); on anything else the reader gives up
// and the level reader reads the text from the start, so what is refused,
// and how, is the level reader's alone.
class TJsonStrictReader {
 public:
  explicit TJsonStrictReader(std::string_view aText) : FText(aText) {}

  // Reads the whole text into the node, or returns false and leaves the
  // node as it was. The text is read into a new node first, whose content
  // then replaces the node's.
  bool Read(TJsonBase& aNode) {
    try {
      if (auto* document = dynamic_cast<TJson*>(&aNode)) {
        TJson read;
        if (!ReadDocument(read)) return false;
        document->Clear();
        document->TakeFrom(read);
        return true;
      }
      if (auto* object = dynamic_cast<TJsonObject*>(&aNode)) {
        TJsonObject read;
        if (!(Next() == '{' && ReadObject(read, 0, 0) && AtEnd())) return false;
        object->FList = std::move(read.FList);
        for (const auto& pair : object->FList) pair->FOwner = object;
        return true;
      }
      if (auto* array = dynamic_cast<TJsonArray*>(&aNode)) {
        TJsonArray read;
        if (!(Next() == '[' && ReadArray(read, 0) && AtEnd())) return false;
        array->FList = std::move(read.FList);
        array->FHead = 0;
        for (const auto& item : array->FList) item->FOwner = array;
        return true;
      }
      if (auto* value = dynamic_cast<TJsonValue*>(&aNode)) {
        TJsonValue read;
        if (!(ReadValue(read, 0, 0) && AtEnd())) return false;
        value->Clear();
        value->TakeFrom(read);
        return true;
      }
    } catch (const EJsonException&) {
      // An escape the decoder refuses: the level reader decides.
    }
    return false;
  }

 private:
  // Far below kMaxNestingDepth: deeper text is the level reader's.
  static constexpr int kMaxDepth = 128;
  // Objects with up to this many members take the size of the object before
  // them in the same array as their first allocation.
  static constexpr std::size_t kMaxSizeHint = 64;

  static bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

  // The next character after blanks ('\0' at the end), not taken.
  char Next() {
    while (FPos < FText.size() && IsBlank(FText[FPos])) ++FPos;
    return FPos < FText.size() ? FText[FPos] : '\0';
  }
  bool AtEnd() {
    Next();
    return FPos == FText.size();
  }

  bool ReadDocument(TJson& document) {
    const char first = Next();
    if (first == '[') return ReadArray(document.JsonArray(), 0) && AtEnd();
    if (first == '{') return ReadObject(document.JsonObject(), 0, 0) && AtEnd();
    return false;
  }

  // A quoted string at FPos, closed where the level scanner closes it.
  bool ReadString(std::string& out) {
    const std::size_t end = scan::SkipQuoted(FText, FPos);
    const std::size_t quote = end - 1;
    if (quote <= FPos || FText[quote] != '"') return false;
    std::size_t run = 0;
    while (quote - run > FPos + 1 && FText[quote - run - 1] == '\\') ++run;
    if (run % 2 != 0) return false;
    DecodeTo(out, FText.substr(FPos + 1, quote - FPos - 1));
    FPos = end;
    return true;
  }

  bool ReadLiteral(std::string_view word) {
    if (FText.substr(FPos, word.size()) != word) return false;
    FPos += word.size();
    return true;
  }

  bool ReadValue(TJsonValue& value, int depth, std::size_t sizeHint) {
    const char c = Next();
    switch (c) {
      case '"':
        value.FValueType = TJsonValueType::jvString;
        return ReadString(value.FStringValue);
      case '{':
        if (depth >= kMaxDepth) return false;
        value.Retype(TJsonValueType::jvObject);
        return ReadObject(*value.FObjectValue, depth + 1, sizeHint);
      case '[':
        if (depth >= kMaxDepth) return false;
        value.Retype(TJsonValueType::jvArray);
        return ReadArray(*value.FArrayValue, depth + 1);
      case 't':
      case 'f':
        if (!ReadLiteral(c == 't' ? "true" : "false")) return false;
        value.FValueType = TJsonValueType::jvBoolean;
        value.FBooleanValue = c == 't';
        return true;
      case 'n':
        if (!ReadLiteral("null")) return false;
        value.FValueType = TJsonValueType::jvNull;
        return true;
      default:
        return ReadNumber(value);
    }
  }

  // The run of number characters, read as the level reader reads a piece.
  bool ReadNumber(TJsonValue& value) {
    static constexpr std::array<bool, 256> kNumberChar = [] {
      std::array<bool, 256> t{};
      for (char c = '0'; c <= '9'; ++c) t[static_cast<unsigned char>(c)] = true;
      t['+'] = t['-'] = t['.'] = t['e'] = t['E'] = true;
      return t;
    }();
    const std::size_t begin = FPos;
    while (FPos < FText.size() && kNumberChar[static_cast<unsigned char>(FText[FPos])]) ++FPos;
    if (FPos == begin) return false;
    const TJsonValueType kind = ClassifyTrimmed(FText.substr(begin, FPos - begin),
                                                value.FIntegerValue, value.FNumberValue);
    if (kind != TJsonValueType::jvInteger && kind != TJsonValueType::jvNumber) return false;
    value.FValueType = kind;
    return true;
  }

  // At '{'.
  bool ReadObject(TJsonObject& object, int depth, std::size_t sizeHint) {
    ++FPos;
    if (Next() == '}') {
      ++FPos;
      return true;
    }
    if (sizeHint > 0 && sizeHint <= kMaxSizeHint) object.FList.reserve(sizeHint);
    while (true) {
      if (Next() != '"') return false;
      TJsonPair& pair = object.Add(std::string_view());
      if (!ReadString(pair.FName)) return false;
      if (Next() != ':') return false;
      ++FPos;
      if (!ReadValue(pair.FValue, depth, 0)) return false;
      const char c = Next();
      ++FPos;
      if (c == '}') return true;
      if (c != ',') return false;
    }
  }

  // At '['.
  bool ReadArray(TJsonArray& array, int depth) {
    ++FPos;
    if (Next() == ']') {
      ++FPos;
      return true;
    }
    std::size_t sizeHint = 0;
    while (true) {
      TJsonValue& item = array.Add();
      if (!ReadValue(item, depth, sizeHint)) return false;
      if (item.FValueType == TJsonValueType::jvObject) {
        sizeHint = static_cast<std::size_t>(item.FObjectValue->Count());
      }
      const char c = Next();
      ++FPos;
      if (c == ']') return true;
      if (c != ',') return false;
    }
  }

  std::string_view FText;
  std::size_t FPos = 0;
};

void TJsonBase::ParseRoot(std::string_view JsonString) {
  if (TJsonStrictReader(JsonString).Read(*this)) return;
  // Brackets are counted the way the level scanner pairs them: strings are
  // skipped whole and a closer of the other kind is ordinary text. The pairs
  // found are what the levels below skip by.
  static constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> t{};
    t['"'] = t['['] = t['{'] = t[']'] = t['}'] = true;
    return t;
  }();
  std::string closers;
  scan::TBracketIndex index;
  const std::size_t n = JsonString.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && !kSpecial[static_cast<unsigned char>(JsonString[i])]) ++i;
    if (i >= n) break;
    const char c = JsonString[i];
    if (c == '"') {
      i = scan::SkipQuoted(JsonString, i);
      continue;
    }
    if (c == '[' || c == '{') {
      if (closers.size() >= static_cast<std::size_t>(kMaxNestingDepth)) {
        // Refused as the value that is one level too deep.
        const TJsonValue tooDeep;
        tooDeep.RaiseParseError(JsonString.substr(i, scan::ScanBracketed(JsonString, i) - i));
      }
      closers.push_back(c == '[' ? ']' : '}');
      index.Open(i);
    } else if (!closers.empty() && c == closers.back()) {
      closers.pop_back();
      index.Close(i + 1);
    }
    ++i;
  }
  index.Finish(JsonString);
  struct TIndexScope {
    const scan::TBracketIndex* Saved = scan::tBracketIndex;
    explicit TIndexScope(const scan::TBracketIndex& aIndex) { scan::tBracketIndex = &aIndex; }
    ~TIndexScope() { scan::tBracketIndex = Saved; }
  } scope(index);
  ParseAt(JsonString, 0);
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

void TJsonValue::ParseAt(std::string_view JsonString, int Depth) {
  const std::string_view t = Trim(JsonString);
  Clear();
  std::int64_t integer = 0;
  double number = 0;
  const TJsonValueType kind = ClassifyTrimmed(t, integer, number);
  switch (kind) {
    case TJsonValueType::jvNone:
      RaiseParseError(t);
    case TJsonValueType::jvNull:
      FValueType = kind;
      break;
    case TJsonValueType::jvString:
      FValueType = kind;
      DecodeTo(FStringValue, t.substr(1, t.size() - 2));
      break;
    case TJsonValueType::jvInteger:
      FValueType = kind;
      FIntegerValue = integer;
      break;
    case TJsonValueType::jvNumber:
      FValueType = kind;
      FNumberValue = number;
      break;
    case TJsonValueType::jvBoolean:
      FValueType = kind;
      FBooleanValue = t.size() == 4;  // "true" in any letter case
      break;
    case TJsonValueType::jvObject:
    case TJsonValueType::jvArray:
      if (Depth >= kMaxNestingDepth) RaiseParseError(t);
      Retype(kind);
      if (kind == TJsonValueType::jvObject) {
        FObjectValue->ParseAt(t, Depth);
      } else {
        FArrayValue->ParseAt(t, Depth);
      }
      break;
  }
}

void TJsonValue::StringifyTo(std::string& Out) const {
  switch (FValueType) {
    case TJsonValueType::jvNone:
    case TJsonValueType::jvNull:
      Out += "null";
      break;
    case TJsonValueType::jvString:
      Out += '"';
      EncodeTo(Out, FStringValue);
      Out += '"';
      break;
    case TJsonValueType::jvInteger: {
      char buf[24];
      const auto res = std::to_chars(buf, buf + sizeof buf, FIntegerValue);
      Out.append(buf, res.ptr);
      break;
    }
    case TJsonValueType::jvNumber:
      Out += NumberToText(FNumberValue);
      break;
    case TJsonValueType::jvBoolean:
      Out += FBooleanValue ? "true" : "false";
      break;
    case TJsonValueType::jvObject:
      FObjectValue->StringifyTo(Out);
      break;
    case TJsonValueType::jvArray:
      FArrayValue->StringifyTo(Out);
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

void TJsonArray::ParseAt(std::string_view JsonString, int Depth) {
  Clear();
  const std::string_view t = Trim(JsonString);
  if (!IsJsonArray(t)) RaiseParseError(t);
  const std::string_view inner = Trim(t.substr(1, t.size() - 2));
  scan::ForEachPiece<',', '\0'>(inner, [&](std::size_t b, std::size_t e, const scan::TMarks&) {
    Add().ParseAt(inner.substr(b, e - b), Depth + 1);
  });
}

void TJsonArray::StringifyTo(std::string& Out) const {
  Out += '[';
  for (std::size_t i = FHead; i < FList.size(); ++i) {
    if (i != FHead) Out += ',';
    FList[i]->StringifyTo(Out);
  }
  Out += ']';
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

void TJsonPair::ParseAt(std::string_view JsonString, int Depth) {
  const std::string_view t = Trim(JsonString);
  ParseMarked(t, scan::FindMarks<':'>(t), 0, Depth);
}

void TJsonPair::ParseMarked(std::string_view Text, const scan::TMarks& Marks, std::size_t Offset,
                            int Depth) {
  // Text is trimmed; Marks holds the top-level ':' positions, counted from
  // Offset. Only "name:value" (a trailing ':' adds no piece) is a pair.
  std::string_view valueText;
  bool ok = false;
  if (Marks.count == 1 || Marks.count == 2) {
    const std::size_t colon = Marks.pos[0] - Offset;
    const std::size_t next = Marks.count == 2 ? Marks.pos[1] - Offset : Text.size();
    const std::string_view tail = Marks.count == 2 ? Trim(Text.substr(next + 1)) : "";
    valueText = Trim(Text.substr(colon + 1, next - colon - 1));
    ok = Marks.count == 1 ? !valueText.empty() : tail.empty();
  }
  if (!ok) RaiseParseError(Text);
  const std::string_view nameText = Trim(Text.substr(0, Marks.pos[0] - Offset));
  if (!IsJsonString(nameText)) RaiseParseError(nameText);
  FName.clear();
  DecodeTo(FName, nameText.substr(1, nameText.size() - 2));
  FValue.ParseAt(valueText, Depth);
}

void TJsonPair::StringifyTo(std::string& Out) const {
  Out += '"';
  EncodeTo(Out, FName);
  Out += "\":";
  FValue.StringifyTo(Out);
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

namespace {

// A member's text within its object's text, as the scanner found it.
struct TMemberPiece {
  std::size_t Begin;
  std::size_t End;
  scan::TMarks Marks;
};

// The members of the objects being read on this thread, innermost object
// last: an object lists its members here first, so that it holds them in
// one allocation, then reads them.
thread_local std::vector<TMemberPiece> tMemberPieces;

// Entries kept for the next document; a larger list is given back.
constexpr std::size_t kKeptMemberPieces = 1024;

}  // namespace

void TJsonObject::ParseAt(std::string_view JsonString, int Depth) {
  Clear();
  const std::string_view t = Trim(JsonString);
  if (!IsJsonObject(t)) RaiseParseError(t);
  const std::string_view inner = Trim(t.substr(1, t.size() - 2));
  std::vector<TMemberPiece>& pieces = tMemberPieces;
  struct TPiecesScope {
    std::vector<TMemberPiece>& Pieces;
    const std::size_t First;
    ~TPiecesScope() {
      Pieces.resize(First);
      if (First == 0 && Pieces.capacity() > kKeptMemberPieces) {
        std::vector<TMemberPiece>().swap(Pieces);
      }
    }
  } scope{pieces, pieces.size()};
  scan::ForEachPiece<',', ':'>(inner, [&](std::size_t b, std::size_t e, const scan::TMarks& m) {
    pieces.push_back({b, e, m});
  });
  FList.reserve(pieces.size() - scope.First);
  for (std::size_t k = scope.First; k < pieces.size(); ++k) {
    // Inner objects add entries after these and remove them again, but may
    // move the list: each entry is copied before its member is read.
    const TMemberPiece member = pieces[k];
    // The piece is trimmed at the front; mark positions count from there.
    const std::string_view raw = inner.substr(member.Begin, member.End - member.Begin);
    const std::string_view piece = Trim(raw);
    const std::size_t offset = member.Begin + static_cast<std::size_t>(piece.data() - raw.data());
    Add(std::string_view()).ParseMarked(piece, member.Marks, offset, Depth + 1);
  }
}

void TJsonObject::StringifyTo(std::string& Out) const {
  Out += '{';
  bool first = true;
  for (const auto& pair : FList) {
    if (!first) Out += ',';
    first = false;
    pair->StringifyTo(Out);
  }
  Out += '}';
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

void TJson::ParseAt(std::string_view JsonString, int Depth) {
  Clear();
  const std::string_view t = Trim(JsonString);
  if (IsJsonArray(t)) {
    JsonArray().ParseAt(t, Depth);
  } else if (IsJsonObject(t)) {
    JsonObject().ParseAt(t, Depth);
  } else {
    RaiseParseError(t);
  }
}

void TJson::StringifyTo(std::string& Out) const {
  if (FStructType == TJsonStructType::jsArray) FJsonArray->StringifyTo(Out);
  if (FStructType == TJsonStructType::jsObject) FJsonObject->StringifyTo(Out);
}

}  // namespace tandemize::json

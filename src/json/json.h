#pragma once
// The JSON document model: an owned tree of nodes, read from text by Parse
// (json_reader.cpp) and written by Stringify (json_writer.cpp). The integer
// and number text rules are json_text.h's.
//
// Every node is created by the container that holds it, knows that container
// as its Owner and is freed by it. Nothing is ever adopted: whatever a caller
// hands to Put, Assign, Merge, AsObject or AsArray is copied deeply, and the
// caller keeps what it passed. References returned by Add, Insert, Put, Items,
// Values, Get, AsObject, AsArray, JsonObject and JsonArray point into the tree
// and stay valid until that node is deleted, cleared or re-typed.
//
// Text is UTF-8 in std::string. The reader turns \u escapes into the exact
// character (a surrogate pair becomes one character, a lone surrogate U+FFFD);
// the writer escapes every character above 127 as lower-case \uXXXX, one escape
// per UTF-16 code unit, so written text is pure ASCII.
//
// A tree is used by one thread at a time; separate trees are independent.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tandemize::json {

// Every failure the library detects. Messages of node operations read
// "<ClassName>detail"; conversion and list failures carry no prefix.
class EJsonException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that does not read as the wanted integer or number, or a bad \u escape.
class EJsonConvertError : public EJsonException {
 public:
  using EJsonException::EJsonException;
};

// An index outside a list: "List index out of bounds (%d)".
class EJsonListError : public EJsonException {
 public:
  using EJsonException::EJsonException;
};

// The kinds of a value, in this order; their names appear in messages.
enum class TJsonValueType : std::uint8_t {
  jvNone,  // never set; written as null
  jvNull,  // an explicit JSON null
  jvString,
  jvInteger,
  jvNumber,
  jvBoolean,
  jvObject,
  jvArray
};

// The shape of a document.
enum class TJsonStructType : std::uint8_t { jsNone, jsArray, jsObject };

// Selects the Put overload that stores an explicit JSON null.
enum class TJsonNull : std::uint8_t { null };
// Selects the Put overload that leaves the new value unset (jvNone).
enum class TJsonEmpty : std::uint8_t { empty };

// "jvString", "jsObject", ...
const char* ValueTypeName(TJsonValueType aType);
const char* StructTypeName(TJsonStructType aType);

// Containers refuse to read text nested deeper than this (objects and arrays
// inside one another); such text fails with a parse error instead of
// exhausting the stack.
inline constexpr int kMaxNestingDepth = 512;

class TJsonValue;
class TJsonArray;
class TJsonPair;
class TJsonObject;
class TJson;
class TJsonStrictReader;
class TJsonLenientReader;

// Root of all nodes, and home of the text helpers every node shares.
class TJsonBase {
 public:
  explicit TJsonBase(TJsonBase* AOwner) : FOwner(AOwner) {}
  TJsonBase(const TJsonBase&) = delete;
  TJsonBase& operator=(const TJsonBase&) = delete;
  virtual ~TJsonBase() = default;

  TJsonBase* Owner() const { return FOwner; }
  // "TJsonValue", "TJsonArray", "TJsonPair", "TJsonObject" or "TJson".
  virtual const char* ClassName() const = 0;

  // Replaces the node's content with what the text describes.
  virtual void Parse(std::string_view JsonString) = 0;
  // Compact text, no whitespace, pure ASCII.
  std::string Stringify() const;
  // Deep copy of Source into this node; a null or unsuitable source fails
  // with "assign error: <source class or nil> to <this class>".
  virtual void Assign(const TJsonBase* Source) = 0;
  void Assign(const TJsonBase& Source) { Assign(&Source); }

  // Text helpers.
  static std::string Encode(std::string_view S);
  static std::string Decode(std::string_view S);
  // Appends the top-level pieces of S cut at Delimiter, each trimmed. Quoted
  // strings and bracketed parts are skipped whole. An empty piece before a
  // delimiter is kept; an empty last piece is not.
  static void Split(std::string_view S, char Delimiter, std::vector<std::string>& Strings);
  static bool IsJsonObject(std::string_view S);
  static bool IsJsonArray(std::string_view S);
  static bool IsJsonString(std::string_view S);
  static bool IsJsonInteger(std::string_view S);
  static bool IsJsonNumber(std::string_view S);
  static bool IsJsonBoolean(std::string_view S);
  static bool IsJsonNull(std::string_view S);
  static TJsonValueType AnalyzeJsonValueType(std::string_view S);

  // Appends this node's text to Out (what Stringify returns).
  virtual void StringifyTo(std::string& Out) const = 0;

 protected:
  // Name of the nearest pair above this node (not the node itself), or "".
  std::string OwnerPairName() const;
  // "<ClassName>detail"
  [[noreturn]] void RaiseError(std::string_view Detail) const;
  [[noreturn]] void RaiseParseError(std::string_view Text) const;
  [[noreturn]] void RaiseAssignError(const TJsonBase* Source) const;

  // The public Parse: text in strict form is read in one pass by the strict
  // reader; any other by the lenient reader, which alone decides what is
  // refused and how (both in json_reader.cpp).
  void ParseRoot(std::string_view JsonString);

  friend class TJsonValue;
  friend class TJsonArray;
  friend class TJsonPair;
  friend class TJsonObject;
  friend class TJson;

  TJsonBase* FOwner;
};

// One JSON value of any kind.
class TJsonValue final : public TJsonBase {
 public:
  explicit TJsonValue(TJsonBase* AOwner = nullptr);
  // Moving takes the content (children re-parented to the new node) and
  // leaves the source empty; a moved-into new node has no owner. Moving
  // between a node and one of its own descendants deep-copies instead.
  TJsonValue(TJsonValue&& Other) noexcept;
  TJsonValue& operator=(TJsonValue&& Other);
  ~TJsonValue() override;

  const char* ClassName() const override { return "TJsonValue"; }
  void Parse(std::string_view JsonString) override { ParseRoot(JsonString); }
  void Assign(const TJsonBase* Source) override;
  using TJsonBase::Assign;
  void StringifyTo(std::string& Out) const override;

  // Frees an owned object or array and returns to jvNone with empty payload.
  void Clear();
  TJsonValueType ValueType() const { return FValueType; }

  bool IsEmpty() const { return FValueType == TJsonValueType::jvNone; }
  bool IsNull() const { return FValueType == TJsonValueType::jvNull; }
  // true -> jvNone, false -> jvNull (clearing the value unless already there).
  void IsEmpty(bool Value);
  // true -> jvNull, false -> jvNone (clearing the value unless already there).
  void IsNull(bool Value);

  // Getters convert between the scalar kinds; a kind that cannot give the
  // wanted one fails with "\"<pair>\" value type error: <kind> to <wanted>".
  std::string AsString() const;
  // The text of a jvString value, without the copy AsString makes; empty for
  // every other kind.
  const std::string& StringValue() const { return FStringValue; }
  std::int64_t AsInteger() const;
  double AsNumber() const;
  bool AsBoolean() const;
  // A jvNone value becomes an empty object (array) and returns it.
  TJsonObject& AsObject();
  TJsonArray& AsArray();

  // Setters re-type the value when its kind differs, then store.
  void AsString(std::string_view Value);
  void AsInteger(std::int64_t Value);
  void AsNumber(double Value);
  void AsBoolean(bool Value);
  // Deep copies; a null argument fails with an assign error and leaves an
  // empty object (array).
  void AsObject(const TJsonObject* Value);
  void AsObject(const TJsonObject& Value) { AsObject(&Value); }
  void AsArray(const TJsonArray* Value);
  void AsArray(const TJsonArray& Value) { AsArray(&Value); }

 private:
  friend class TJsonArray;
  friend class TJsonPair;
  friend class TJsonObject;
  friend class TJson;
  friend class TJsonStrictReader;
  friend class TJsonLenientReader;

  void Retype(TJsonValueType Type);
  void CopyFrom(const TJsonValue& Source);
  void TakeFrom(TJsonValue& Source) noexcept;
  [[noreturn]] void RaiseTypeError(TJsonValueType Wanted) const;

  std::string FStringValue;
  std::int64_t FIntegerValue = 0;
  double FNumberValue = 0;
  std::unique_ptr<TJsonObject> FObjectValue;  // non-null exactly when jvObject
  std::unique_ptr<TJsonArray> FArrayValue;    // non-null exactly when jvArray
  TJsonValueType FValueType = TJsonValueType::jvNone;
  bool FBooleanValue = false;
};

// An ordered list of owned values.
class TJsonArray final : public TJsonBase {
 public:
  explicit TJsonArray(TJsonBase* AOwner = nullptr);
  // Moving takes the content (children re-parented to the new node) and
  // leaves the source empty; a moved-into new node has no owner. Moving
  // between a node and one of its own descendants deep-copies instead.
  TJsonArray(TJsonArray&& Other) noexcept;
  TJsonArray& operator=(TJsonArray&& Other);
  ~TJsonArray() override;

  const char* ClassName() const override { return "TJsonArray"; }
  void Parse(std::string_view JsonString) override { ParseRoot(JsonString); }
  void Assign(const TJsonBase* Source) override;
  using TJsonBase::Assign;
  void StringifyTo(std::string& Out) const override;

  int Count() const { return static_cast<int>(FList.size() - FHead); }
  // 0-based; outside 0..Count-1 fails with "List index out of bounds (%d)".
  TJsonValue& Items(int Index) const;
  TJsonValue& operator[](int Index) const { return Items(Index); }

  TJsonValue& Add();
  // Inserts before Index (0..Count).
  TJsonValue& Insert(int Index);

  // Appends a new value set from the argument and returns it.
  TJsonValue& Put(TJsonEmpty);
  TJsonValue& Put(TJsonNull);
  TJsonValue& Put(bool Value);
  TJsonValue& Put(std::int64_t Value);
  TJsonValue& Put(double Value);
  TJsonValue& Put(std::string_view Value);
  TJsonValue& Put(const char* Value) { return Put(std::string_view(Value)); }
  TJsonValue& Put(const TJsonArray& Value);
  TJsonValue& Put(const TJsonObject& Value);
  TJsonValue& Put(const TJsonValue& Value);
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
           !std::is_same_v<T, std::int64_t>) TJsonValue& Put(T Value) {
    return Put(static_cast<std::int64_t>(Value));
  }

  // Deleting the first value moves none of the others (see FHead), so an
  // array emptied from the front one value at a time costs each value once.
  void Delete(int Index);
  void Clear();
  // Appends deep copies of all of Addition's values.
  void Merge(const TJsonArray& Addition);
  // Moves the first Count values (fewer when there are fewer) to the end of
  // Target, in order, without copying them; returns how many moved. Target
  // must be neither this array nor a node inside it.
  int MoveFirstTo(int Count, TJsonArray& Target);

 private:
  friend class TJsonValue;
  friend class TJsonPair;
  friend class TJsonObject;
  friend class TJson;
  friend class TJsonStrictReader;
  friend class TJsonLenientReader;

  void CheckIndex(int Index, int Limit) const;
  // Drops the entries before FHead once they are as many as the values left.
  void CloseHeadGap();
  void CopyFrom(const TJsonArray& Source);  // appends
  void TakeFrom(TJsonArray& Source) noexcept;
  TJsonValue& PutCopy(const TJsonBase& Value);

  // The values are FList[FHead..]: the entries before FHead were moved out
  // by MoveFirstTo or deleted from the front, and the gap is closed only once
  // it is as long as what is left, so taking an array apart from the front
  // costs each value once.
  std::vector<std::unique_ptr<TJsonValue>> FList;
  std::size_t FHead = 0;
};

// A named member of an object; its value is created with it and never null.
class TJsonPair final : public TJsonBase {
 public:
  TJsonPair(TJsonBase* AOwner, std::string_view AName);
  // Moving takes the name and the value's content (see TJsonValue).
  TJsonPair(TJsonPair&& Other) noexcept;

  const char* ClassName() const override { return "TJsonPair"; }
  void Parse(std::string_view JsonString) override { ParseRoot(JsonString); }
  void Assign(const TJsonBase* Source) override;
  using TJsonBase::Assign;
  void StringifyTo(std::string& Out) const override;

  const std::string& Name() const { return FName; }
  void Name(std::string_view Value) { FName = Value; }
  TJsonValue& Value() { return FValue; }
  const TJsonValue& Value() const { return FValue; }

 private:
  friend class TJsonValue;
  friend class TJsonArray;
  friend class TJsonObject;
  friend class TJson;
  friend class TJsonStrictReader;
  friend class TJsonLenientReader;

  void CopyFrom(const TJsonPair& Source);

  std::string FName;
  TJsonValue FValue;
};

// An ordered list of owned pairs; duplicate names are kept. Names are looked
// up ignoring ASCII letter case only.
class TJsonObject final : public TJsonBase {
 public:
  explicit TJsonObject(TJsonBase* AOwner = nullptr);
  // Moving takes the content (children re-parented to the new node) and
  // leaves the source empty; a moved-into new node has no owner. Moving
  // between a node and one of its own descendants deep-copies instead.
  TJsonObject(TJsonObject&& Other) noexcept;
  TJsonObject& operator=(TJsonObject&& Other);
  ~TJsonObject() override;

  const char* ClassName() const override { return "TJsonObject"; }
  void Parse(std::string_view JsonString) override { ParseRoot(JsonString); }
  void Assign(const TJsonBase* Source) override;
  using TJsonBase::Assign;
  void StringifyTo(std::string& Out) const override;

  int Count() const { return static_cast<int>(FList.size()); }
  TJsonPair& Items(int Index) const;

  // Index of the first pair whose name matches (a-z equal A-Z), or -1.
  int Find(std::string_view Name) const;
  // The value of the member Name. A missing member is appended (jvNone) while
  // AutoAdd is true; otherwise the lookup fails with "<name> not found".
  TJsonValue& Values(std::string_view Name);
  TJsonValue& operator[](std::string_view Name) { return Values(Name); }
  bool AutoAdd() const { return FAutoAdd; }
  void AutoAdd(bool Value) { FAutoAdd = Value; }

  TJsonPair& Add(std::string_view Name);
  TJsonPair& Insert(int Index, std::string_view Name);

  // Always appends a new member (an existing one of that name is left alone)
  // and returns its value.
  TJsonValue& Put(std::string_view Name, TJsonEmpty);
  TJsonValue& Put(std::string_view Name, TJsonNull);
  TJsonValue& Put(std::string_view Name, bool Value);
  TJsonValue& Put(std::string_view Name, std::int64_t Value);
  TJsonValue& Put(std::string_view Name, double Value);
  TJsonValue& Put(std::string_view Name, std::string_view Value);
  TJsonValue& Put(std::string_view Name, const char* Value) {
    return Put(Name, std::string_view(Value));
  }
  TJsonValue& Put(std::string_view Name, const TJsonArray& Value);
  TJsonValue& Put(std::string_view Name, const TJsonObject& Value);
  TJsonValue& Put(std::string_view Name, const TJsonValue& Value);
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
           !std::is_same_v<T, std::int64_t>) TJsonValue& Put(std::string_view Name, T Value) {
    return Put(Name, static_cast<std::int64_t>(Value));
  }
  // Appends a copy of Value (name and deep copy of its value).
  TJsonValue& Put(const TJsonPair& Value);

  void Delete(int Index);
  // Removes the first matching member; fails with "\"<name>\" not found".
  void Delete(std::string_view Name);
  void Clear();
  // Appends copies of all of Addition's pairs; existing names are kept.
  void Merge(const TJsonObject& Addition);

 private:
  friend class TJsonValue;
  friend class TJsonArray;
  friend class TJsonPair;
  friend class TJson;
  friend class TJsonStrictReader;
  friend class TJsonLenientReader;

  void CheckIndex(int Index, int Limit) const;
  void CopyFrom(const TJsonObject& Source);  // appends
  void TakeFrom(TJsonObject& Source) noexcept;
  TJsonValue& PutCopy(std::string_view Name, const TJsonBase& Value);

  std::vector<std::unique_ptr<TJsonPair>> FList;
  bool FAutoAdd = true;
};

// A document root: an array, an object, or nothing yet (jsNone). Operations
// that need an array or object turn a jsNone document into one.
class TJson final : public TJsonBase {
 public:
  TJson();
  // Moving takes the array or object and leaves the source jsNone.
  TJson(TJson&& Other) noexcept;
  TJson& operator=(TJson&& Other);
  ~TJson() override;

  const char* ClassName() const override { return "TJson"; }
  void Parse(std::string_view JsonString) override { ParseRoot(JsonString); }
  void Assign(const TJsonBase* Source) override;
  using TJsonBase::Assign;
  void StringifyTo(std::string& Out) const override;

  TJsonStructType StructType() const { return FStructType; }
  int Count() const;
  // Makes the document an array (object) if it is jsNone; fails with
  // "json struct type is not jsArray" ("... jsObject") when it is the other.
  TJsonArray& JsonArray();
  TJsonObject& JsonObject();

  // By position in the array or object; fails on jsNone.
  TJsonValue& Get(int Index);
  // Makes it an object, then the object's Values.
  TJsonValue& Get(std::string_view Name) { return JsonObject().Values(Name); }
  TJsonValue& Values(std::string_view Name) { return Get(Name); }
  TJsonValue& operator[](std::string_view Name) { return Get(Name); }

  // Without a name: makes it an array and appends.
  TJsonValue& Put(TJsonEmpty Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(TJsonNull Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(bool Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(std::int64_t Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(double Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(std::string_view Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(const char* Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(const TJsonArray& Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(const TJsonObject& Value) { return JsonArray().Put(Value); }
  TJsonValue& Put(const TJsonValue& Value) { return JsonArray().Put(Value); }
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
           !std::is_same_v<T, std::int64_t>) TJsonValue& Put(T Value) {
    return Put(static_cast<std::int64_t>(Value));
  }
  // Appends a value holding a copy of Value's array or object; a jsNone
  // argument appends nothing and returns nullptr.
  TJsonValue* Put(const TJson& Value);

  // With a name: makes it an object and appends a member.
  template <typename T>
  TJsonValue& Put(std::string_view Name, const T& Value) {
    return JsonObject().Put(Name, Value);
  }
  TJsonValue& Put(std::string_view Name, const char* Value) {
    return JsonObject().Put(Name, Value);
  }
  TJsonValue* Put(std::string_view Name, const TJson& Value);
  TJsonValue& Put(const TJsonPair& Value) { return JsonObject().Put(Value); }

  void Delete(int Index);
  // Needs the document to be an object already.
  void Delete(std::string_view Name);
  // Frees the array or object and returns to jsNone.
  void Clear();

 private:
  friend class TJsonStrictReader;
  friend class TJsonLenientReader;

  void TakeFrom(TJson& Source) noexcept;

  std::unique_ptr<TJsonArray> FJsonArray;    // non-null exactly when jsArray
  std::unique_ptr<TJsonObject> FJsonObject;  // non-null exactly when jsObject
  TJsonStructType FStructType = TJsonStructType::jsNone;
};

}  // namespace tandemize::json

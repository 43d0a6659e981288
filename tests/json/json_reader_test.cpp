// The two readers behind Parse held against each other: whatever the strict
// reader reads, the lenient reader reads into the same tree, and Parse gives
// what the lenient reader gives.
//
// "The same tree" means: the same node classes in the same places, each node
// owned by the container that holds it; the same kind for every value;
// strings and member names equal byte for byte; integers equal; numbers the
// same double bit for bit (so 0 and -0 differ); booleans equal; members in the
// same order, duplicates included.
//
// Where the readers legitimately differ: the strict reader only reads text in
// the strict form (single commas, quoted names, lower-case literals, plain
// number text, blanks no other than space, tab, CR and LF, shallow nesting)
// and a pair never. Any other text, readable by the lenient reader or not, it
// declines: it returns false, leaves the node as it was and never raises. So
// every refusal, and its message, is the lenient reader's alone.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "json/internal/json_reader.h"
#include "json/json.h"

namespace tandemize::json {
namespace {

enum class TRoot { Document, Object, Array, Value, Pair };

constexpr TRoot kRoots[] = {TRoot::Document, TRoot::Object, TRoot::Array, TRoot::Value,
                            TRoot::Pair};

std::string RootName(TRoot aRoot) {
  switch (aRoot) {
    case TRoot::Document:
      return "TJson";
    case TRoot::Object:
      return "TJsonObject";
    case TRoot::Array:
      return "TJsonArray";
    case TRoot::Value:
      return "TJsonValue";
    case TRoot::Pair:
      return "TJsonPair";
  }
  return "";
}

// A fresh node of the kind, or one already holding content when aFilled.
std::unique_ptr<TJsonBase> NewNode(TRoot aRoot, bool aFilled) {
  switch (aRoot) {
    case TRoot::Document: {
      auto node = std::make_unique<TJson>();
      if (aFilled) node->Put("old", "content");
      return node;
    }
    case TRoot::Object: {
      auto node = std::make_unique<TJsonObject>();
      if (aFilled) node->Put("old", "content");
      return node;
    }
    case TRoot::Array: {
      auto node = std::make_unique<TJsonArray>();
      if (aFilled) node->Put("old");
      return node;
    }
    case TRoot::Value: {
      auto node = std::make_unique<TJsonValue>();
      if (aFilled) node->AsString("old");
      return node;
    }
    case TRoot::Pair: {
      auto node = std::make_unique<TJsonPair>(nullptr, aFilled ? "old" : "");
      if (aFilled) node->Value().AsString("content");
      return node;
    }
  }
  return nullptr;
}

std::string Difference(const TJsonBase& a, const TJsonBase& b, const std::string& at);

// Both children must belong to their own container.
std::string ChildDifference(const TJsonBase& a, const TJsonBase& aOwner, const TJsonBase& b,
                            const TJsonBase& bOwner, const std::string& at) {
  if (a.Owner() != &aOwner || b.Owner() != &bOwner) return at + ": not owned by its container";
  return Difference(a, b, at);
}

std::string ValueDifference(const TJsonValue& a, const TJsonValue& b, const std::string& at) {
  if (a.ValueType() != b.ValueType()) {
    return at + ": " + ValueTypeName(a.ValueType()) + " against " + ValueTypeName(b.ValueType());
  }
  switch (a.ValueType()) {
    case TJsonValueType::jvString:
      if (a.StringValue() != b.StringValue()) {
        return at + ": \"" + a.StringValue() + "\" against \"" + b.StringValue() + "\"";
      }
      return "";
    case TJsonValueType::jvInteger:
      if (a.AsInteger() != b.AsInteger()) {
        return at + ": " + std::to_string(a.AsInteger()) + " against " +
               std::to_string(b.AsInteger());
      }
      return "";
    case TJsonValueType::jvNumber:
      if (std::bit_cast<std::uint64_t>(a.AsNumber()) !=
          std::bit_cast<std::uint64_t>(b.AsNumber())) {
        std::ostringstream out;
        out.precision(17);
        out << at << ": " << a.AsNumber() << " against " << b.AsNumber();
        return out.str();
      }
      return "";
    case TJsonValueType::jvBoolean:
      return a.AsBoolean() == b.AsBoolean() ? "" : at + ": the booleans differ";
    case TJsonValueType::jvObject: {
      auto& objectA = const_cast<TJsonValue&>(a).AsObject();
      auto& objectB = const_cast<TJsonValue&>(b).AsObject();
      return ChildDifference(objectA, a, objectB, b, at);
    }
    case TJsonValueType::jvArray: {
      auto& arrayA = const_cast<TJsonValue&>(a).AsArray();
      auto& arrayB = const_cast<TJsonValue&>(b).AsArray();
      return ChildDifference(arrayA, a, arrayB, b, at);
    }
    default:
      return "";
  }
}

// Empty when a and b are the same tree; otherwise where and how they differ.
std::string Difference(const TJsonBase& a, const TJsonBase& b, const std::string& at) {
  if (std::string(a.ClassName()) != b.ClassName()) {
    return at + ": " + a.ClassName() + " against " + b.ClassName();
  }
  if (const auto* value = dynamic_cast<const TJsonValue*>(&a)) {
    return ValueDifference(*value, dynamic_cast<const TJsonValue&>(b), at);
  }
  if (const auto* array = dynamic_cast<const TJsonArray*>(&a)) {
    const auto& other = dynamic_cast<const TJsonArray&>(b);
    if (array->Count() != other.Count()) {
      return at + ": " + std::to_string(array->Count()) + " values against " +
             std::to_string(other.Count());
    }
    for (int i = 0; i < array->Count(); ++i) {
      const std::string diff = ChildDifference(array->Items(i), *array, other.Items(i), other,
                                               at + "[" + std::to_string(i) + "]");
      if (!diff.empty()) return diff;
    }
    return "";
  }
  if (const auto* object = dynamic_cast<const TJsonObject*>(&a)) {
    const auto& other = dynamic_cast<const TJsonObject&>(b);
    if (object->Count() != other.Count()) {
      return at + ": " + std::to_string(object->Count()) + " members against " +
             std::to_string(other.Count());
    }
    for (int i = 0; i < object->Count(); ++i) {
      const std::string diff = ChildDifference(object->Items(i), *object, other.Items(i), other,
                                               at + "{" + std::to_string(i) + "}");
      if (!diff.empty()) return diff;
    }
    return "";
  }
  if (const auto* pair = dynamic_cast<const TJsonPair*>(&a)) {
    const auto& other = dynamic_cast<const TJsonPair&>(b);
    if (pair->Name() != other.Name()) {
      return at + ": member \"" + pair->Name() + "\" against \"" + other.Name() + "\"";
    }
    return ChildDifference(pair->Value(), *pair, other.Value(), other, at + "." + pair->Name());
  }
  auto& document = const_cast<TJson&>(dynamic_cast<const TJson&>(a));
  auto& other = const_cast<TJson&>(dynamic_cast<const TJson&>(b));
  if (document.StructType() != other.StructType()) {
    return at + ": " + StructTypeName(document.StructType()) + " against " +
           StructTypeName(other.StructType());
  }
  switch (document.StructType()) {
    case TJsonStructType::jsArray:
      return ChildDifference(document.JsonArray(), document, other.JsonArray(), other, at);
    case TJsonStructType::jsObject:
      return ChildDifference(document.JsonObject(), document, other.JsonObject(), other, at);
    default:
      return "";
  }
}

// How each reader takes a text.
enum class TOutcome {
  BothRead,     // the strict reader reads it, into the lenient reader's tree
  LenientRead,  // only the lenient reader reads it: not in the strict form
  Refused,      // the lenient reader refuses it, so the strict reader declines
};

const char* OutcomeName(TOutcome aOutcome) {
  switch (aOutcome) {
    case TOutcome::BothRead:
      return "both read";
    case TOutcome::LenientRead:
      return "lenient read";
    case TOutcome::Refused:
      return "refused";
  }
  return "";
}

// Reads aText into aRoot with each reader and with Parse, checks every
// promise between them, and returns what happened.
TOutcome CompareReaders(TRoot aRoot, const std::string& aText) {
  SCOPED_TRACE(RootName(aRoot));

  // Strict, into a node that already holds something.
  const auto strict = NewNode(aRoot, true);
  const std::string before = strict->Stringify();
  const bool strictRead = ReadStrict(aText, *strict);  // never raises
  if (!strictRead) {
    EXPECT_EQ(strict->Stringify(), before) << "a declined text changed the node";
  }

  // Lenient, into a fresh node.
  const auto lenient = NewNode(aRoot, false);
  std::string lenientError;
  try {
    ReadLenient(aText, *lenient);
  } catch (const EJsonException& e) {
    lenientError = std::string("error: ") + e.what();
  }

  if (strictRead) {
    EXPECT_EQ(lenientError, "") << "the strict reader read what the lenient one refuses";
    if (lenientError.empty()) {
      EXPECT_EQ(Difference(*strict, *lenient, "root"), "");
    }
  }

  // Parse: the strict reader's tree when it reads, otherwise the lenient
  // reader's tree or refusal.
  const auto parsed = NewNode(aRoot, false);
  std::string parseError;
  try {
    parsed->Parse(aText);
  } catch (const EJsonException& e) {
    parseError = std::string("error: ") + e.what();
  }
  EXPECT_EQ(parseError, lenientError);
  if (parseError.empty() && lenientError.empty()) {
    EXPECT_EQ(Difference(*parsed, *lenient, "root"), "");
  }

  if (!lenientError.empty()) return TOutcome::Refused;
  return strictRead ? TOutcome::BothRead : TOutcome::LenientRead;
}

std::string Nested(int aDepth, const std::string& aInner) {
  return std::string(static_cast<std::size_t>(aDepth), '[') + aInner +
         std::string(static_cast<std::size_t>(aDepth), ']');
}

struct TReaderCase {
  TRoot Root;
  std::string Text;
  TOutcome Outcome;
};

const std::vector<TReaderCase>& ReaderCases() {
  static const std::vector<TReaderCase> cases = {
      // The strict form, with everything it may hold.
      {TRoot::Document, R"({"a":1,"b":[true,false,null],"c":{"d":"e\u00e9\n"},"f":-1.5e10})",
       TOutcome::BothRead},
      {TRoot::Document, " \t\r\n{ \"a\" : [ 1 , 2 ] , \"b\" : { } }\r\n", TOutcome::BothRead},
      {TRoot::Document, "[[],{},[{}],[[[]]]]", TOutcome::BothRead},
      {TRoot::Document, R"({"a":1,"a":2,"A":3})", TOutcome::BothRead},
      {TRoot::Document, R"({"":"","x\"y":"\\","z":"\\\"[{,:}]"})", TOutcome::BothRead},
      {TRoot::Document,
       R"(["\ud83d\ude00","\ud800","\udc00x","\ud800\u0041","\u00E7\/\b\f\n\r\t\q"])",
       TOutcome::BothRead},
      {TRoot::Document, R"(["\u12","\u00e"])", TOutcome::BothRead},
      {TRoot::Document, "[\"tab\there\",\"Jo\xc3\xa3o\",\"\x01\"]", TOutcome::BothRead},
      {TRoot::Document,
       "[0,-0,0.0,-0.0,+5,1e2,1E-2,1.5e+3,.5,5.,9223372036854775807,-9223372036854775808,"
       "9223372036854775808,123456789012345678901234567890,0.1000000000000000055511151231257827,"
       "1e-400]",
       TOutcome::BothRead},
      // Each object before the next sizes its members: a longer or shorter
      // next object reads the same.
      {TRoot::Document, R"([{"a":1,"b":2},{"a":3},{"a":4,"b":5,"c":6},{}])", TOutcome::BothRead},
      {TRoot::Document, Nested(129, "1"), TOutcome::BothRead},
      // Readable, but not in the strict form.
      {TRoot::Document, Nested(130, "1"), TOutcome::LenientRead},
      {TRoot::Document, Nested(kMaxNestingDepth, "1"), TOutcome::LenientRead},
      {TRoot::Document, "[1,2,]", TOutcome::LenientRead},
      {TRoot::Document, R"({"a":1,})", TOutcome::LenientRead},
      {TRoot::Document, "[TRUE,False,Null]", TOutcome::LenientRead},
      {TRoot::Document, "[0x1F,$ff,-$10,007]", TOutcome::LenientRead},
      {TRoot::Document, "{\"a\":1}\f", TOutcome::LenientRead},
      {TRoot::Document, "[\v1]", TOutcome::LenientRead},
      {TRoot::Document, R"({"a":1:})", TOutcome::LenientRead},
      {TRoot::Document, R"({"a":"x"y"})", TOutcome::LenientRead},  // a bare quote inside
      // Refused: the strict reader declines and the lenient one decides.
      {TRoot::Document, Nested(kMaxNestingDepth + 1, "1"), TOutcome::Refused},
      {TRoot::Document, "[1,,2]", TOutcome::Refused},
      {TRoot::Document, "[1 2]", TOutcome::Refused},
      {TRoot::Document, R"({"a":tru})", TOutcome::Refused},
      {TRoot::Document, R"(["\uZZZZ"])", TOutcome::Refused},
      {TRoot::Document, "[1e400]", TOutcome::Refused},
      {TRoot::Document, "{a:1}", TOutcome::Refused},
      {TRoot::Document, R"({"a":"abc})", TOutcome::Refused},
      {TRoot::Document, R"({"a":[1,2})", TOutcome::Refused},
      {TRoot::Document, R"({"a":1}{"b":2})", TOutcome::Refused},
      {TRoot::Document, "5", TOutcome::Refused},
      {TRoot::Document, "", TOutcome::Refused},
      // Each kind of node as the root.
      {TRoot::Object, R"({"a":[1,{"b":null}]})", TOutcome::BothRead},
      {TRoot::Object, "[1]", TOutcome::Refused},
      {TRoot::Array, R"([1,"a",{"b":[]}])", TOutcome::BothRead},
      {TRoot::Array, "{}", TOutcome::Refused},
      {TRoot::Value, " 5 ", TOutcome::BothRead},
      {TRoot::Value, R"("x")", TOutcome::BothRead},
      {TRoot::Value, "null", TOutcome::BothRead},
      {TRoot::Value, R"([1,{"a":[]}])", TOutcome::BothRead},
      {TRoot::Value, "True", TOutcome::LenientRead},
      {TRoot::Value, "$10", TOutcome::LenientRead},
      {TRoot::Value, "-", TOutcome::Refused},
      {TRoot::Pair, R"("a":[1,2])", TOutcome::LenientRead},
      {TRoot::Pair, R"("a")", TOutcome::Refused},
  };
  return cases;
}

TEST(JsonReaders, BothReadersBuildTheSameTree) {
  for (const TReaderCase& c : ReaderCases()) {
    SCOPED_TRACE(c.Text.size() > 200 ? c.Text.substr(0, 200) + "..." : c.Text);
    EXPECT_STREQ(OutcomeName(CompareReaders(c.Root, c.Text)), OutcomeName(c.Outcome));
  }
}

// Every file of the JSON fuzz corpus, read into every kind of node.
TEST(JsonReaders, BothReadersAgreeOnTheFuzzCorpus) {
  const std::filesystem::path corpus = TANDEMIZE_JSON_CORPUS_DIR;
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  bool any = false;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    any = true;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    for (const TRoot root : kRoots) CompareReaders(root, text);
  }
  EXPECT_TRUE(any) << "no file in " << corpus;
}

}  // namespace
}  // namespace tandemize::json

// Reading and writing JSON text: the lenient reader, the number and integer
// text rules, escaping, and Unicode round trips.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "json/json.h"
#include "json/json_text.h"

namespace tandemize::json {
namespace {

enum class Into { Document, Value };

struct ReadCase {
  const char* text;
  Into into;
  const char* written;  // Stringify after a successful parse, or nullptr
  const char* error;    // the exact message of a failed parse, or nullptr
};

// What the reader accepts, how it reads it (shown by writing it back), and the
// exact message of what it refuses.
const ReadCase kReadCases[] = {
    // Containers, separators and blanks.
    {"[1,2,]", Into::Document, "[1,2]", nullptr},
    {"[1,,2]", Into::Document, nullptr, "<TJsonValue>\"\" parse error: "},
    {"[]", Into::Document, "[]", nullptr},
    {"{}", Into::Document, "{}", nullptr},
    {" [ 1 , 2 ] ", Into::Document, "[1,2]", nullptr},
    {"{\n\t\"a\" : [ 1 ] ,\r\n \"b\":{ } }", Into::Document, "{\"a\":[1],\"b\":{}}", nullptr},
    {"{\"a\":1,}", Into::Document, "{\"a\":1}", nullptr},
    {"{\"a\":1,\"a\":2}", Into::Document, "{\"a\":1,\"a\":2}", nullptr},
    // Literals and numbers in any letter case and integer notation.
    {"[TRUE,False,NULL]", Into::Document, "[true,false,null]", nullptr},
    {"[+5,0x1F,007,$ff,x10,-$10]", Into::Document, "[5,31,7,255,16,-16]", nullptr},
    {"[1e2,.5,1.,-2.5e-3,1E+2]", Into::Document, "[100,0.5,1,-0.0025,100]", nullptr},
    {"[-9223372036854775808,9223372036854775807]", Into::Document,
     "[-9223372036854775808,9223372036854775807]", nullptr},
    {"[12345678901234567890]", Into::Document, "[1.23456789012346E19]", nullptr},
    {"[1e-400]", Into::Document, "[0]", nullptr},
    {"[1e400]", Into::Document, nullptr, "<TJsonValue>\"\" parse error: 1e400"},
    {"[1,5]", Into::Document, "[1,5]", nullptr},
    {"[nul]", Into::Document, nullptr, "<TJsonValue>\"\" parse error: nul"},
    {"[1e]", Into::Document, nullptr, "<TJsonValue>\"\" parse error: 1e"},
    // Quoted text shields separators and brackets.
    {"{\"a:,[}\":\"x,y]{\"}", Into::Document, "{\"a:,[}\":\"x,y]{\"}", nullptr},
    {"{\"a\":\"x\\\"y\"}", Into::Document, "{\"a\":\"x\\\"y\"}", nullptr},
    {"[[1,\"]\"],{\"k\":[2]}]", Into::Document, "[[1,\"]\"],{\"k\":[2]}]", nullptr},
    // Members that are not "name":value.
    {"{\"a\":1:2}", Into::Document, nullptr, "<TJsonPair>\"\" parse error: \"a\":1:2"},
    {"{\"a\"}", Into::Document, nullptr, "<TJsonPair>\"\" parse error: \"a\""},
    {"{a:1}", Into::Document, nullptr, "<TJsonPair>\"\" parse error: a"},
    {"{\"a\":}", Into::Document, nullptr, "<TJsonPair>\"\" parse error: \"a\":"},
    {"{\"a\":1:}", Into::Document, "{\"a\":1}", nullptr},  // a trailing ':' adds no piece
    // Errors name the member they happened in.
    {"{\"a\":{\"b\":tru}}", Into::Document, nullptr, "<TJsonValue>\"b\" parse error: tru"},
    {"{\"list\":[1,{\"x\":[oops]}]}", Into::Document, nullptr,
     "<TJsonValue>\"x\" parse error: oops"},
    {"abc", Into::Document, nullptr, "<TJson>\"\" parse error: abc"},
    {"", Into::Document, nullptr, "<TJson>\"\" parse error: "},
    // Unterminated strings and brackets run to the end of the text.
    {"{\"a\":\"abc}", Into::Document, nullptr, "<TJsonValue>\"a\" parse error: \"abc"},
    {"[1,[2,3]", Into::Document, nullptr, "<TJsonValue>\"\" parse error: [2,3"},
    {"[{\"a\":1},{\"b\":2]", Into::Document, nullptr, "<TJsonValue>\"\" parse error: {\"b\":2"},
    {"{\"a\":{\"b\":1}", Into::Document, nullptr, "<TJsonValue>\"a\" parse error: {\"b\":1"},
    // A bracket closes where the level reading it ends, even when its closer
    // lies beyond: a closer of the other kind is ordinary text, and a level
    // ends at the closer of its own bracket.
    {"[{\"a\":1}\"}\"}]", Into::Document, nullptr, "<TJsonValue>\"a\" parse error: 1}\"}\""},
    {"[{\"a\":1}\"{\"}]", Into::Document, nullptr, "<TJsonValue>\"a\" parse error: 1}\"{\""},
    {"{\"a\":[1,2}, \"b\":{\"c\":[3]}}", Into::Document, nullptr,
     "<TJsonValue>\"a\" parse error: [1,2}, \"b\":{\"c\":[3]}"},
    {"[1,[2,{\"a\":3]]]", Into::Document, nullptr, "<TJsonValue>\"\" parse error: {\"a\":3]"},
    {"{\"a\":[}]}", Into::Document, nullptr, "<TJsonValue>\"a\" parse error: }"},
    {"{\"a\":[1,2]]}", Into::Document, nullptr, "<TJsonValue>\"a\" parse error: 2]"},
    {"{\"k\":{\"a\":1}x}", Into::Document, nullptr, "<TJsonValue>\"k\" parse error: {\"a\":1}x"},
    {"[[1,2],[3,[4,5]],{\"x\":[6]}]", Into::Document, "[[1,2],[3,[4,5]],{\"x\":[6]}]", nullptr},
    {"{\"a\":\"x\\\"{[\", \"b\":[{\"c\":\"]}\"}]}", Into::Document,
     "{\"a\":\"x\\\"{[\",\"b\":[{\"c\":\"]}\"}]}", nullptr},
    {"[{\"a\":\"\\\\\"},{\"b\":\"\\\\\\\"[\"}]", Into::Document,
     "[{\"a\":\"\\\\\"},{\"b\":\"\\\\\\\"[\"}]", nullptr},
    // Numbers of any length.
    {"[12345678901234567890123456789012345678901234567890123456789012345678901234567890.5,"
     "0.1234567890123456789012345678901234567890123456789012345678901234567890e5,-1.5E-3]",
     Into::Document, "[1.23456789012346E79,12345.6789012346,-0.0015]", nullptr},
    // A document must be an array or an object; a value may be anything.
    {"5", Into::Document, nullptr, "<TJson>\"\" parse error: 5"},
    {"\"x\"", Into::Document, nullptr, "<TJson>\"\" parse error: \"x\""},
    {" 5 ", Into::Value, "5", nullptr},
    {"\"x\"", Into::Value, "\"x\"", nullptr},
    {"null", Into::Value, "null", nullptr},
    {"-", Into::Value, nullptr, "<TJsonValue>\"\" parse error: -"},
    // Escapes are resolved on reading and written back in the one canonical form.
    {"[\"\\u00E7\\/\\q\"]", Into::Document, "[\"\\u00e7\\/q\"]", nullptr},
    {"[\"\\uZZZZ\"]", Into::Document, nullptr, "Invalid unicode \\uZZZZ"},
};

TEST(JsonReader, ReadsAndRefusesTexts) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.text);
    TJson document;
    TJsonValue value;
    TJsonBase& target = c.into == Into::Document ? static_cast<TJsonBase&>(document)
                                                 : static_cast<TJsonBase&>(value);
    if (c.error == nullptr) {
      ASSERT_NO_THROW(target.Parse(c.text));
      EXPECT_EQ(target.Stringify(), c.written);
    } else {
      try {
        target.Parse(c.text);
        ADD_FAILURE() << "parsed as " << target.Stringify();
      } catch (const EJsonException& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
  }
}

// Number text reads to the double nearest its value, whatever its digits
// and exponent, as a correctly rounding reader gives it.
TEST(JsonReader, ReadsNumbersToTheNearestDouble) {
  std::mt19937_64 random(7);
  const auto digits = [&](std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
  };
  std::vector<std::string> texts = {"0.1",
                                    "-0.0",
                                    "0.3e1",
                                    "1e22",
                                    "1e23",
                                    "15e-23",
                                    "123456789012345",
                                    "1234567890123456.5",
                                    "7.00000000000001",
                                    "999999999999999e-22",
                                    "9007199254740993",
                                    "2.2250738585072014e-308"};
  for (int i = 0; i < 20000; ++i) {
    std::string text = random() % 4 == 0 ? "-" : "";
    text += digits(1 + random() % 18);
    if (random() % 2) text += "." + digits(1 + random() % 18);
    if (random() % 3 == 0) text += "e" + std::to_string(static_cast<int>(random() % 60) - 30);
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const std::optional<double> read = TryReadNumber(text);
    ASSERT_TRUE(read.has_value());
    const double nearest = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(*read, nearest);
    EXPECT_EQ(std::signbit(*read), std::signbit(nearest));
  }
}

TEST(JsonReader, AnalyzesValueKinds) {
  const struct {
    const char* text;
    TJsonValueType kind;
  } cases[] = {
      {" {} ", TJsonValueType::jvObject},   {"[x", TJsonValueType::jvNone},
      {"[]", TJsonValueType::jvArray},      {"\"\"", TJsonValueType::jvString},
      {"\"", TJsonValueType::jvNone},       {"NuLl", TJsonValueType::jvNull},
      {"FALSE", TJsonValueType::jvBoolean}, {"yes", TJsonValueType::jvNone},
      {"0", TJsonValueType::jvInteger},     {"$7FFFFFFFFFFFFFFF", TJsonValueType::jvInteger},
      {"0.0", TJsonValueType::jvNumber},    {"1 000", TJsonValueType::jvNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TJsonBase::AnalyzeJsonValueType(c.text), c.kind) << c.text;
  }
  const std::int64_t minusOne = -1;
  EXPECT_EQ(TryReadInt32("$FFFFFFFF"), -1);  // hexadecimal wraps in its width
  EXPECT_EQ(TryReadInt64("$FFFFFFFFFFFFFFFF"), minusOne);
  EXPECT_EQ(TryReadInt32("2147483648"), std::nullopt);
  EXPECT_EQ(TryReadInt32("-2147483648"), -2147483648LL);
  EXPECT_EQ(TryReadInt64("  -12"), -12);
  EXPECT_EQ(TryReadInt64("12 "), std::nullopt);
  EXPECT_EQ(TryReadInt64("0x"), std::nullopt);
  EXPECT_EQ(TryReadInt64("$1FFFFFFFFFFFFFFFF"), std::nullopt);
  EXPECT_EQ(TryReadNumber(" 1.5 "), 1.5);
  EXPECT_EQ(TryReadNumber("."), std::nullopt);
}

TEST(JsonReader, SplitsAtTopLevelOnly) {
  const struct {
    const char* text;
    char delimiter;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a,,b", ',', {"a", "", "b"}},
      {"a,b,", ',', {"a", "b"}},
      {"", ',', {}},
      {" \"x,y\" , [1,2] ", ',', {"\"x,y\"", "[1,2]"}},
      {"\"a\\\"b,c\",{\"k\":[1,{}]},d", ',', {"\"a\\\"b,c\"", "{\"k\":[1,{}]}", "d"}},
      {"[1,}],2", ',', {"[1,}]", "2"}},  // a closer of the other kind is plain text
      {"\"k\":\"v:w\":", ':', {"\"k\"", "\"v:w\""}},
      {"a;b;[c;d]", ';', {"a", "b", "[c;d]"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> pieces{"kept"};
    TJsonBase::Split(c.text, c.delimiter, pieces);
    std::vector<std::string> expected{"kept"};
    expected.insert(expected.end(), c.pieces.begin(), c.pieces.end());
    EXPECT_EQ(pieces, expected) << c.text;
  }
}

TEST(JsonReader, RefusesNestingBeyondTheBoundAndReadsUpToIt) {
  const auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') + "1" +
           std::string(static_cast<std::size_t>(depth), ']');
  };
  TJson document;
  const std::string deepest = nested(kMaxNestingDepth);
  document.Parse(deepest);
  EXPECT_EQ(document.Stringify(), deepest);

  for (const int depth : {kMaxNestingDepth + 1, 10000, 1000000}) {
    try {
      document.Parse(nested(depth));
      ADD_FAILURE() << "depth " << depth << " was read";
    } catch (const EJsonException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("<TJsonValue>\"\" parse error: [", 0), 0u);
    }
    // Refused before anything is read: the document keeps what it held.
    EXPECT_EQ(document.Stringify(), deepest);
  }
}

TEST(JsonReader, ParseErrorQuotesOnlyTheStartOfALongText) {
  const std::string broken = "{\"a\":" + std::string(10 * 1024 * 1024, '1') + "x}";
  const std::string accented = "[\"" + std::string(197, 'a') + "\xC3\xA7" + std::string(300, 'b');
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {broken, "<TJsonValue>\"a\" parse error: " + std::string(200, '1') + "..."},
      // The cut does not split the two-byte character at the limit.
      {accented, "<TJson>\"\" parse error: [\"" + std::string(197, 'a') + "..."},
      {"[" + std::string(199, 'z') + "]", "<TJsonValue>\"\" parse error: " + std::string(199, 'z')},
  };
  for (const auto& c : cases) {
    TJson document;
    try {
      document.Parse(c.text);
      ADD_FAILURE() << "parsed";
    } catch (const EJsonException& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
}

TEST(JsonReader, ReadsLargePiecesWhole) {
  const std::string big(1 << 20, 'x');
  TJson document;
  document.Parse("{\"big\":\"" + big + "\"}");
  EXPECT_EQ(document["big"].AsString(), big);

  std::string many = "[";
  for (int i = 0; i < 100000; ++i) many += (i ? ",0" : "0");
  many += "]";
  document.Parse(many);
  EXPECT_EQ(document.Count(), 100000);
}

TEST(JsonText, AnEnvelopeInWriterFormReadsAndWritesBackByteForByte) {
  std::string text =
      "{\"tandemize\":\"t\",\"params\":{\"tipo_sgdb\":5,\"database\":\"\\/tmp\\/a.db\"},"
      "\"pks\":[\"id\"],\"data\":[";
  for (int i = 0; i < 1000; ++i) {
    if (i) text += ',';
    text += "{\"id\":" + std::to_string(i - 500) + ",\"nome\":\"S\\u00e3o \\\"" +
            std::to_string(i) + "\\\"\\n\",\"valor\":" + std::to_string(i) +
            ".25,\"ok\":" + (i % 2 ? "true" : "false") + ",\"nada\":null,\"vazio\":[],\"obj\":{}}";
  }
  text += "]}";
  TJsonObject envelope;
  envelope.Parse(text);
  EXPECT_EQ(envelope["data"].AsArray().Count(), 1000);
  EXPECT_EQ(envelope["data"].AsArray().Items(7).AsObject()["nome"].AsString(),
            "S\xc3\xa3o \"7\"\n");
  EXPECT_EQ(envelope.Stringify(), text);
}

TEST(JsonReader, DamagedTextEitherReadsOrFailsWithAMessage) {
  // Cut, duplicated and replaced characters in a valid document: every result
  // is a tree that writes back and reads again, or a library error.
  const std::string sample =
      "{\"a\":[1,-2.5e3,\"x\\\"y\\u00e7\\ud83d\\ude00\",{\"b\":null}],\"c\":{\"d\":[[true]]},"
      "\"e\":\"\\/\\b\\u12\"}";
  const std::string alphabet = "{}[]\",:\\u0x$e.-+ \t\x01\xc3\xa7";
  std::mt19937 random(12345);
  int parsed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = sample;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int k = 0; k < edits && !text.empty(); ++k) {
      const std::size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text.erase(at, 1 + random() % 3);
          break;
        case 1:
          text.insert(at, 1, alphabet[random() % alphabet.size()]);
          break;
        default:
          text[at] = alphabet[random() % alphabet.size()];
      }
    }
    TJson document;
    try {
      document.Parse(text);
    } catch (const EJsonException&) {
      continue;
    }
    ++parsed;
    const std::string written = document.Stringify();
    TJson again;
    again.Parse(written);
    EXPECT_EQ(again.Stringify(), written) << text;
  }
  EXPECT_GT(parsed, 0);
}

TEST(JsonWriter, WritesNumbersWithFifteenDigits) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.5, "0.5"},
      {100, "100"},
      {-2.25, "-2.25"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {1e15, "1E15"},
      {123456789012345.0, "123456789012345"},
      {999999999999999.9, "1E15"},
      {1.5e20, "1.5E20"},
      {0, "0"},
      {-0.0, "0"},
      {3.0, "3"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {1e-7, "1E-7"},
      {-1e-300, "-1E-300"},
      {1234567.125, "1234567.125"},
      {0.001, "0.001"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NumberToText(c.value), c.text) << c.value;
    TJsonValue value;
    value.AsNumber(c.value);
    EXPECT_EQ(value.Stringify(), c.text);
  }
}

TEST(JsonWriter, EscapesEverythingOutsidePrintableAscii) {
  const struct {
    const char* text;
    const char* encoded;
  } cases[] = {
      {"a/b", "a\\/b"},
      {"\t", "\\t"},
      {"\b\f\n\r", "\\b\\f\\n\\r"},
      {"\x01\x1f", "\\u0001\\u001f"},
      {"\"\\", "\\\"\\\\"},
      {"\x7f~ ", "\x7f~ "},
      {"\xc3\xa7", "\\u00e7"},                 // ç
      {"\xe4\xb8\xad", "\\u4e2d"},             // 中
      {"\xf0\x9f\x98\x80", "\\ud83d\\ude00"},  // 😀, one escape per code unit
      {"caf\xe9", "caf\\ufffd"},               // a stray byte is no character
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TJsonBase::Encode(c.text), c.encoded) << c.text;
  }

  TJsonObject verdict;
  verdict.Put("success", false);
  verdict.Put("message",
              "Conte\xc3\xba"
              "do invalid!");
  EXPECT_EQ(verdict.Stringify(), "{\"success\":false,\"message\":\"Conte\\u00fado invalid!\"}");
  TJsonObject ok;
  ok.Put("success", true);
  ok.Put("message", "Dados Importado com sucesso!");
  EXPECT_EQ(ok.Stringify(), "{\"success\":true,\"message\":\"Dados Importado com sucesso!\"}");
}

TEST(JsonReader, DecodesEscapesToTheExactCharacter) {
  const struct {
    const char* escaped;
    const char* text;
  } cases[] = {
      {"\\u00e7", "\xc3\xa7"},
      {"\\u00C7a",
       "\xc3\x87"
       "a"},
      {"x\\u12", "x\x12"},                     // short escape at the very end
      {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"},  // a pair becomes one character
      {"\\uD83D", "\xef\xbf\xbd"},             // lone high surrogate
      {"\\ude00!", "\xef\xbf\xbd!"},           // lone low surrogate
      {"\\ud83d\\u0041",
       "\xef\xbf\xbd"
       "A"},  // high surrogate without its pair
      {"\\ud83dx", "\xef\xbf\xbdx"},
      {"\\u0000", std::string_view("\0", 1).data()},
      {"\\\"\\\\\\/\\q", "\"\\/q"},
      {"ab\\", "ab\\"},                  // a final backslash is kept
      {"\xe4\xb8\xad", "\xe4\xb8\xad"},  // raw UTF-8 passes through
  };
  for (const auto& c : cases) {
    const std::string expected = c.text[0] == '\0' ? std::string(1, '\0') : std::string(c.text);
    EXPECT_EQ(TJsonBase::Decode(c.escaped), expected) << c.escaped;
  }
  for (const auto& [escaped, message] : std::vector<std::pair<std::string, std::string>>{
           {"\\uZZZZ", "Invalid unicode \\uZZZZ"},
           {"\\u", "Invalid unicode \\u"},
           {"\\u12g4", "Invalid unicode \\u12g4"},
           {"\\u-001", "Invalid unicode \\u-001"},
           {"\\u\xc3\xa7"
            "12",
            "Invalid unicode \\u\xc3\xa7"
            "12"},
       }) {
    try {
      TJsonBase::Decode(escaped);
      ADD_FAILURE() << escaped;
    } catch (const EJsonConvertError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

TEST(JsonText, UnicodeSurvivesARoundTrip) {
  const std::string texts[] = {
      "S\xc3\xa3o Jo\xc3\xa3o \xc3\xa7\xc3\xa9\xc3\xbc",   // accents
      "\xe6\x9d\xb1\xe4\xba\xac\xe3\x81\xa7\xe3\x81\x99",  // CJK
      "\xf0\x9f\x98\x80\xf0\x9f\x8e\x89 ok",               // emoji outside the BMP
      "\xe2\x82\xac \xc5\x93",                             // characters no single-byte page shares
  };
  for (const std::string& text : texts) {
    TJsonObject object;
    object.Put(text, text);
    const std::string written = object.Stringify();
    for (const char c : written) {
      ASSERT_TRUE(static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 128)
          << written;
    }
    TJsonObject back;
    back.Parse(written);
    ASSERT_EQ(back.Count(), 1);
    EXPECT_EQ(back.Items(0).Name(), text);
    EXPECT_EQ(back.Items(0).Value().AsString(), text);
  }
  // Raw UTF-8 in the text reads as itself, and the escaped pair as the same emoji.
  TJson document;
  document.Parse("[\"\xf0\x9f\x98\x80\",\"\\ud83d\\ude00\"]");
  EXPECT_EQ(document.Get(0).AsString(), document.Get(1).AsString());
  EXPECT_EQ(document.Stringify(), "[\"\\ud83d\\ude00\",\"\\ud83d\\ude00\"]");
}

}  // namespace
}  // namespace tandemize::json

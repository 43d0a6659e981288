// The two readers behind TJsonBase::Parse. The strict reader reads the form
// most documents come in, in one pass; the lenient reader reads every text
// the library accepts and is the one that refuses. Parse tries the first and
// falls back on the second.

#include "json/internal/json_reader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json/internal/json_scan.h"
#include "json/json.h"

namespace tandemize::json {

using scan::Trim;

// Reads text in the strict form most documents come in, in one pass: values
// separated by single commas, names quoted, literals in lower case, numbers
// that read as integer or number text, no blanks but space, tab, CR and LF,
// nesting well within the bound. Every such text reads into exactly the tree
// the lenient reader builds from it (it splits at the same places and reads
// each piece with the same functions); on anything else the reader gives up
// and the lenient reader reads the text from the start, so what is refused,
// and how, is the lenient reader's alone.
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
      // An escape the decoder refuses: the lenient reader decides.
    }
    return false;
  }

 private:
  // Far below kMaxNestingDepth: deeper text is the lenient reader's.
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

  // A quoted string at FPos, closed where the piece scanner closes it.
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

  // The run of number characters, read as the lenient reader reads a piece.
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
    const TJsonValueType kind =
        ClassifyTrimmed(FText.substr(begin, FPos - begin), value.FIntegerValue, value.FNumberValue);
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

// Reads every text the library accepts: each container takes the text of its
// own level, cuts it at its top-level separators (strings and bracketed parts
// skipped whole, see json_scan.h) and reads each piece on its own, so blanks
// are any character up to 32, literals may come in any letter case, integers
// in hexadecimal and a trailing separator adds nothing. A piece that reads as
// nothing is refused by the node that was to hold it, naming the text.
class TJsonLenientReader {
 public:
  // Checks the nesting bound in one pass first, recording where each bracket
  // closes: each level would otherwise scan the text again before the depth
  // check inside the levels refused it.
  static void Read(std::string_view aText, TJsonBase& aNode) {
    // Brackets are counted the way the piece scanner pairs them: strings are
    // skipped whole and a closer of the other kind is ordinary text. The pairs
    // found are what the levels below skip by.
    static constexpr std::array<bool, 256> kSpecial = [] {
      std::array<bool, 256> t{};
      t['"'] = t['['] = t['{'] = t[']'] = t['}'] = true;
      return t;
    }();
    std::string closers;
    scan::TBracketIndex index;
    const std::size_t n = aText.size();
    std::size_t i = 0;
    while (i < n) {
      while (i < n && !kSpecial[static_cast<unsigned char>(aText[i])]) ++i;
      if (i >= n) break;
      const char c = aText[i];
      if (c == '"') {
        i = scan::SkipQuoted(aText, i);
        continue;
      }
      if (c == '[' || c == '{') {
        if (closers.size() >= static_cast<std::size_t>(kMaxNestingDepth)) {
          // Refused as the value that is one level too deep.
          const TJsonValue tooDeep;
          tooDeep.RaiseParseError(aText.substr(i, scan::ScanBracketed(aText, i) - i));
        }
        closers.push_back(c == '[' ? ']' : '}');
        index.Open(i);
      } else if (!closers.empty() && c == closers.back()) {
        closers.pop_back();
        index.Close(i + 1);
      }
      ++i;
    }
    index.Finish(aText);
    struct TIndexScope {
      const scan::TBracketIndex* Saved = scan::tBracketIndex;
      explicit TIndexScope(const scan::TBracketIndex& aIndex) { scan::tBracketIndex = &aIndex; }
      ~TIndexScope() { scan::tBracketIndex = Saved; }
    } scope(index);

    if (auto* document = dynamic_cast<TJson*>(&aNode)) {
      ReadDocument(*document, aText, 0);
    } else if (auto* object = dynamic_cast<TJsonObject*>(&aNode)) {
      ReadObject(*object, aText, 0);
    } else if (auto* array = dynamic_cast<TJsonArray*>(&aNode)) {
      ReadArray(*array, aText, 0);
    } else if (auto* value = dynamic_cast<TJsonValue*>(&aNode)) {
      ReadValue(*value, aText, 0);
    } else if (auto* pair = dynamic_cast<TJsonPair*>(&aNode)) {
      ReadPair(*pair, aText, 0);
    }
  }

 private:
  static void ReadValue(TJsonValue& aValue, std::string_view aText, int aDepth) {
    const std::string_view t = Trim(aText);
    aValue.Clear();
    std::int64_t integer = 0;
    double number = 0;
    const TJsonValueType kind = ClassifyTrimmed(t, integer, number);
    switch (kind) {
      case TJsonValueType::jvNone:
        aValue.RaiseParseError(t);
      case TJsonValueType::jvNull:
        aValue.FValueType = kind;
        break;
      case TJsonValueType::jvString:
        aValue.FValueType = kind;
        DecodeTo(aValue.FStringValue, t.substr(1, t.size() - 2));
        break;
      case TJsonValueType::jvInteger:
        aValue.FValueType = kind;
        aValue.FIntegerValue = integer;
        break;
      case TJsonValueType::jvNumber:
        aValue.FValueType = kind;
        aValue.FNumberValue = number;
        break;
      case TJsonValueType::jvBoolean:
        aValue.FValueType = kind;
        aValue.FBooleanValue = t.size() == 4;  // "true" in any letter case
        break;
      case TJsonValueType::jvObject:
      case TJsonValueType::jvArray:
        if (aDepth >= kMaxNestingDepth) aValue.RaiseParseError(t);
        aValue.Retype(kind);
        if (kind == TJsonValueType::jvObject) {
          ReadObject(*aValue.FObjectValue, t, aDepth);
        } else {
          ReadArray(*aValue.FArrayValue, t, aDepth);
        }
        break;
    }
  }

  static void ReadArray(TJsonArray& aArray, std::string_view aText, int aDepth) {
    aArray.Clear();
    const std::string_view t = Trim(aText);
    if (!TJsonBase::IsJsonArray(t)) aArray.RaiseParseError(t);
    const std::string_view inner = Trim(t.substr(1, t.size() - 2));
    scan::ForEachPiece<',', '\0'>(inner, [&](std::size_t b, std::size_t e, const scan::TMarks&) {
      ReadValue(aArray.Add(), inner.substr(b, e - b), aDepth + 1);
    });
  }

  static void ReadPair(TJsonPair& aPair, std::string_view aText, int aDepth) {
    const std::string_view t = Trim(aText);
    ReadMarkedPair(aPair, t, scan::FindMarks<':'>(t), 0, aDepth);
  }

  // Reads a trimmed pair text whose top-level ':' positions are already
  // known, counted from aOffset. Only "name:value" (a trailing ':' adds no
  // piece) is a pair.
  static void ReadMarkedPair(TJsonPair& aPair, std::string_view aText, const scan::TMarks& aMarks,
                             std::size_t aOffset, int aDepth) {
    std::string_view valueText;
    bool ok = false;
    if (aMarks.count == 1 || aMarks.count == 2) {
      const std::size_t colon = aMarks.pos[0] - aOffset;
      const std::size_t next = aMarks.count == 2 ? aMarks.pos[1] - aOffset : aText.size();
      const std::string_view tail = aMarks.count == 2 ? Trim(aText.substr(next + 1)) : "";
      valueText = Trim(aText.substr(colon + 1, next - colon - 1));
      ok = aMarks.count == 1 ? !valueText.empty() : tail.empty();
    }
    if (!ok) aPair.RaiseParseError(aText);
    const std::string_view nameText = Trim(aText.substr(0, aMarks.pos[0] - aOffset));
    if (!TJsonBase::IsJsonString(nameText)) aPair.RaiseParseError(nameText);
    aPair.FName.clear();
    DecodeTo(aPair.FName, nameText.substr(1, nameText.size() - 2));
    ReadValue(aPair.FValue, valueText, aDepth);
  }

  static void ReadObject(TJsonObject& aObject, std::string_view aText, int aDepth) {
    aObject.Clear();
    const std::string_view t = Trim(aText);
    if (!TJsonBase::IsJsonObject(t)) aObject.RaiseParseError(t);
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
    aObject.FList.reserve(pieces.size() - scope.First);
    for (std::size_t k = scope.First; k < pieces.size(); ++k) {
      // Inner objects add entries after these and remove them again, but may
      // move the list: each entry is copied before its member is read.
      const TMemberPiece member = pieces[k];
      // The piece is trimmed at the front; mark positions count from there.
      const std::string_view raw = inner.substr(member.Begin, member.End - member.Begin);
      const std::string_view piece = Trim(raw);
      const std::size_t offset = member.Begin + static_cast<std::size_t>(piece.data() - raw.data());
      ReadMarkedPair(aObject.Add(std::string_view()), piece, member.Marks, offset, aDepth + 1);
    }
  }

  static void ReadDocument(TJson& aDocument, std::string_view aText, int aDepth) {
    aDocument.Clear();
    const std::string_view t = Trim(aText);
    if (TJsonBase::IsJsonArray(t)) {
      ReadArray(aDocument.JsonArray(), t, aDepth);
    } else if (TJsonBase::IsJsonObject(t)) {
      ReadObject(aDocument.JsonObject(), t, aDepth);
    } else {
      aDocument.RaiseParseError(t);
    }
  }
};

bool ReadStrict(std::string_view aText, TJsonBase& aNode) {
  return TJsonStrictReader(aText).Read(aNode);
}

void ReadLenient(std::string_view aText, TJsonBase& aNode) {
  TJsonLenientReader::Read(aText, aNode);
}

void TJsonBase::ParseRoot(std::string_view JsonString) {
  if (ReadStrict(JsonString, *this)) return;
  ReadLenient(JsonString, *this);
}

}  // namespace tandemize::json

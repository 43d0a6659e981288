// The JSON writer: every node's compact text, without whitespace and in pure
// ASCII (the escapes are json_text.cpp's).

#include <charconv>
#include <string>

#include "json/internal/json_scan.h"
#include "json/json.h"
#include "json/json_text.h"

namespace tandemize::json {

std::string TJsonBase::Stringify() const {
  std::string out;
  StringifyTo(out);
  return out;
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

void TJsonArray::StringifyTo(std::string& Out) const {
  Out += '[';
  for (std::size_t i = FHead; i < FList.size(); ++i) {
    if (i != FHead) Out += ',';
    FList[i]->StringifyTo(Out);
  }
  Out += ']';
}

void TJsonPair::StringifyTo(std::string& Out) const {
  Out += '"';
  EncodeTo(Out, FName);
  Out += "\":";
  FValue.StringifyTo(Out);
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

void TJson::StringifyTo(std::string& Out) const {
  if (FStructType == TJsonStructType::jsArray) FJsonArray->StringifyTo(Out);
  if (FStructType == TJsonStructType::jsObject) FJsonObject->StringifyTo(Out);
}

}  // namespace tandemize::json

#pragma once
// The request and response objects every middleware and handler receives,
// with their lazily built, case-insensitive collections and typed look-ups.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/relay_types.h"
#include "web/web_layer.h"

namespace tandemize::web {

// Days since 1899-12-30, time of day as the fraction.
using TDateTime = double;

// Process-wide formats and messages of the typed look-ups.
class TRelayCoreParamConfig {
 public:
  static TRelayCoreParamConfig& GetInstance();

  const std::string& DateFormat() const { return FDateFormat; }
  TRelayCoreParamConfig& DateFormat(std::string aValue) {
    FDateFormat = std::move(aValue);
    return *this;
  }
  const std::string& TimeFormat() const { return FTimeFormat; }
  TRelayCoreParamConfig& TimeFormat(std::string aValue) {
    FTimeFormat = std::move(aValue);
    return *this;
  }
  const std::string& TrueValue() const { return FTrueValue; }
  TRelayCoreParamConfig& TrueValue(std::string aValue) {
    FTrueValue = std::move(aValue);
    return *this;
  }
  const std::string& RequiredMessage() const { return FRequiredMessage; }
  TRelayCoreParamConfig& RequiredMessage(std::string aValue) {
    FRequiredMessage = std::move(aValue);
    return *this;
  }
  const std::string& InvalidFormatMessage() const { return FInvalidFormatMessage; }
  TRelayCoreParamConfig& InvalidFormatMessage(std::string aValue) {
    FInvalidFormatMessage = std::move(aValue);
    return *this;
  }
  bool ReturnUTC() const { return FReturnUTC; }
  TRelayCoreParamConfig& ReturnUTC(bool aValue) {
    FReturnUTC = aValue;
    return *this;
  }

 private:
  std::string FDateFormat = "yyyy-MM-dd";
  std::string FTimeFormat = "hh:mm:ss";
  std::string FTrueValue = "true";
  std::string FRequiredMessage = "The %s param is required.";
  std::string FInvalidFormatMessage = "The %0:s param '%1:s' is not valid a %2:s type.";
  bool FReturnUTC = true;
};

using TRelayParamMap = std::map<std::string, std::string>;

// One looked-up name of a collection. Conversions of an empty value give the
// type's zero; a missing required field or an unparsable value raises
// ERelayException with status 400.
class TRelayCoreParamField {
 public:
  TRelayCoreParamField(const TRelayParamMap& aParams, std::string aFieldName, bool aRequired);

  bool Found() const { return FContains; }
  const std::string& FieldName() const { return FFieldName; }

  std::string AsString() const;
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  double AsFloat() const;
  double AsExtended() const { return AsFloat(); }
  double AsCurrency() const;
  bool AsBoolean() const;
  TDateTime AsDate() const;
  TDateTime AsTime() const;
  TDateTime AsDateTime() const;
  TDateTime AsISO8601DateTime() const;

 private:
  [[noreturn]] void RaiseInvalid(const char* aTypeWord) const;

  std::string FFieldName;
  bool FContains = false;
  std::string FValue;
  bool FRequired;
  std::string FDateFormat, FTimeFormat, FTrueValue, FRequiredMessage, FInvalidFormatMessage;
  bool FReturnUTC;
};

// A name/value collection read ignoring the letter case of names.
class TRelayCoreParam {
 public:
  explicit TRelayCoreParam(TRelayParamMap aParams = {}) : FParams(std::move(aParams)) {}

  // Value of the first name equal to aName ignoring case; empty when none.
  std::string operator[](std::string_view aName) const;
  bool ContainsKey(std::string_view aName) const;
  bool TryGetValue(std::string_view aName, std::string& aValue) const;
  bool ContainsValue(std::string_view aValue) const;
  // The field object for the name, created on first use and kept.
  TRelayCoreParamField& Field(std::string_view aName);
  // Required flag for fields created afterwards.
  TRelayCoreParam& Required(bool aValue) {
    FRequired = aValue;
    return *this;
  }
  std::size_t Count() const { return FParams.size(); }
  std::vector<std::pair<std::string, std::string>> ToArray() const;
  TRelayParamMap& Dictionary() { return FParams; }
  // The entries as "name=value" lines.
  std::vector<std::string> Content() const;

 private:
  TRelayParamMap FParams;
  bool FRequired = false;
  std::map<std::string, std::unique_ptr<TRelayCoreParamField>> FFields;  // by lower-cased name
};

class TRelayRequest {
 public:
  explicit TRelayRequest(TWebRequest& aWebRequest) : FWebRequest(aWebRequest) {}

  // The content as text: UTF-8 unless the content type names ISO-8859-1 or
  // ANSI (Windows-1252) or ASCII.
  std::string Body() const;
  // Attaches a body object; the request owns and frees it.
  TRelayRequest& Body(std::unique_ptr<TRelayObject> aBody);
  TRelayObject* BodyObject() const { return FBody.get(); }
  template <class T>
  T* Body() const {
    return dynamic_cast<T*>(FBody.get());
  }

  TRelayCoreParam& Headers();
  TRelayCoreParam& Query();
  TRelayCoreParam& Params();
  TRelayCoreParam& ContentFields();
  TRelayCoreParam& Cookie();

  TMethodType MethodType() const { return MethodTypeFromText(FWebRequest.Method); }
  TWebRequest& RawWebRequest() const { return FWebRequest; }

 private:
  TWebRequest& FWebRequest;
  std::unique_ptr<TRelayObject> FBody;
  std::unique_ptr<TRelayCoreParam> FHeaders, FQuery, FParams, FContentFields, FCookie;
};

class TRelayResponse {
 public:
  explicit TRelayResponse(TWebResponse& aWebResponse) : FWebResponse(aWebResponse) {}

  TRelayResponse& Send(std::string aText) {
    FWebResponse.Data.Content = std::move(aText);
    return *this;
  }
  // Holds aObject until the answer has been written, then frees it: work
  // the client need not wait for.
  TRelayResponse& FreeAfterAnswer(std::shared_ptr<void> aObject) {
    FWebResponse.Data.FreeAfterAnswer = std::move(aObject);
    return *this;
  }
  TRelayResponse& ContentType(std::string aType) {
    FWebResponse.Data.ContentType = std::move(aType);
    return *this;
  }
  const std::string& ContentType() const { return FWebResponse.Data.ContentType; }
  TRelayResponse& Status(int aStatus) {
    FWebResponse.Data.StatusCode = aStatus;
    return *this;
  }
  int Status() const { return FWebResponse.Data.StatusCode; }
  // Takes ownership of aContent, except when it is the request's own body
  // object, which stays the request's (the web module detaches it).
  TRelayResponse& Content(TRelayObject* aContent) {
    FContent.reset(aContent);
    return *this;
  }
  TRelayObject* Content() const { return FContent.get(); }
  TRelayObject* ReleaseContent() { return FContent.release(); }
  TRelayResponse& RedirectTo(std::string aLocation) {
    return RedirectTo(std::move(aLocation), 303);
  }
  TRelayResponse& RedirectTo(std::string aLocation, int aStatus);
  TWebResponse& RawWebResponse() const { return FWebResponse; }

 private:
  TWebResponse& FWebResponse;
  std::unique_ptr<TRelayObject> FContent;
};

}  // namespace tandemize::web

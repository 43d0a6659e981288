#include "web/relay_request.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <unordered_map>

#include "text/calendar.h"
#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::web {

namespace {

// Fills "%s" (in order) and "%N:s" (by index) placeholders.
std::string FormatMessage(std::string_view aFormat, const std::vector<std::string>& aArgs) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < aFormat.size(); ++i) {
    if (aFormat[i] != '%' || i + 1 >= aFormat.size()) {
      out.push_back(aFormat[i]);
      continue;
    }
    if (aFormat[i + 1] == 's') {
      if (next < aArgs.size()) out += aArgs[next];
      ++next;
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t index = 0;
    while (j < aFormat.size() && aFormat[j] >= '0' && aFormat[j] <= '9') {
      index = index * 10 + static_cast<std::size_t>(aFormat[j] - '0');
      ++j;
    }
    if (j > i + 1 && j + 1 < aFormat.size() && aFormat[j] == ':' && aFormat[j + 1] == 's') {
      if (index < aArgs.size()) out += aArgs[index];
      next = index + 1;
      i = j + 1;
      continue;
    }
    out.push_back(aFormat[i]);
  }
  return out;
}

double EncodeDate(int aYear, unsigned aMonth, unsigned aDay) {
  return static_cast<double>(text::DaysFromCivil(aYear, aMonth, aDay));
}

double EncodeTime(int aHour, int aMinute, int aSecond, int aMillis) {
  return static_cast<double>(text::TimeOfDayMSecs(aHour, aMinute, aSecond, aMillis)) /
         static_cast<double>(text::kMSecsPerDay);
}

struct TParsedParts {
  int Year = -1, Month = -1, Day = -1, Hour = 0, Minute = 0, Second = 0;
};

// Reads aText against a date or time format: runs of y, M (m as minutes in a
// time format), d, h/H, n, m, s are numbers; every other character must match
// as written. The whole text must be consumed.
bool ParseWithFormat(std::string_view aText, std::string_view aFormat, bool aTimeFormat,
                     TParsedParts& aParts) {
  std::size_t t = 0;
  for (std::size_t f = 0; f < aFormat.size();) {
    const char c = aFormat[f];
    std::size_t run = 1;
    while (f + run < aFormat.size() && aFormat[f + run] == c) ++run;
    int* target = nullptr;
    switch (c) {
      case 'y':
      case 'Y':
        target = &aParts.Year;
        break;
      case 'M':
        target = aTimeFormat ? &aParts.Minute : &aParts.Month;
        break;
      case 'm':
        target = aTimeFormat ? &aParts.Minute : &aParts.Month;
        break;
      case 'd':
      case 'D':
        target = &aParts.Day;
        break;
      case 'h':
      case 'H':
        target = &aParts.Hour;
        break;
      case 'n':
      case 'N':
        target = &aParts.Minute;
        break;
      case 's':
      case 'S':
        target = &aParts.Second;
        break;
      default:
        break;
    }
    if (target == nullptr) {
      for (std::size_t k = 0; k < run; ++k, ++t) {
        if (t >= aText.size() || aText[t] != c) return false;
      }
      f += run;
      continue;
    }
    const std::size_t maxDigits = (c == 'y' || c == 'Y') ? 4 : 2;
    std::size_t digits = 0;
    int value = 0;
    while (t < aText.size() && digits < maxDigits && aText[t] >= '0' && aText[t] <= '9') {
      value = value * 10 + (aText[t] - '0');
      ++t;
      ++digits;
    }
    if (digits == 0) return false;
    *target = value;
    f += run;
  }
  return t == aText.size();
}

bool ValidDate(const TParsedParts& p) {
  using namespace std::chrono;
  if (p.Year < 1 || p.Month < 1 || p.Month > 12 || p.Day < 1) return false;
  return year_month_day{year{p.Year}, month{static_cast<unsigned>(p.Month)},
                        day{static_cast<unsigned>(p.Day)}}
      .ok();
}

bool ValidTime(const TParsedParts& p) {
  return p.Hour >= 0 && p.Hour < 24 && p.Minute >= 0 && p.Minute < 60 && p.Second >= 0 &&
         p.Second < 60;
}

template <class T>
bool ParseWhole(std::string_view aText, T& aValue) {
  if (!aText.empty() && aText.front() == '+') aText.remove_prefix(1);
  const auto [ptr, ec] = std::from_chars(aText.data(), aText.data() + aText.size(), aValue);
  return ec == std::errc() && ptr == aText.data() + aText.size() && !aText.empty();
}

// Seconds east of UTC of the local zone at the given UTC instant.
long LocalOffsetSeconds(std::time_t aUtc) {
  std::tm local{};
  localtime_r(&aUtc, &local);
  return local.tm_gmtoff;
}

}  // namespace

TRelayCoreParamConfig& TRelayCoreParamConfig::GetInstance() {
  static TRelayCoreParamConfig instance;
  return instance;
}

TRelayCoreParamField::TRelayCoreParamField(const TRelayParamMap& aParams, std::string aFieldName,
                                           bool aRequired)
    : FFieldName(std::move(aFieldName)), FRequired(aRequired) {
  for (const auto& [name, value] : aParams) {
    if (text::EqualsIgnoringAsciiCase(name, FFieldName)) {
      FContains = true;
      FValue = value;
      break;
    }
  }
  const TRelayCoreParamConfig& config = TRelayCoreParamConfig::GetInstance();
  FDateFormat = config.DateFormat();
  FTimeFormat = config.TimeFormat();
  FTrueValue = config.TrueValue();
  FRequiredMessage = config.RequiredMessage();
  FInvalidFormatMessage = config.InvalidFormatMessage();
  FReturnUTC = config.ReturnUTC();
}

void TRelayCoreParamField::RaiseInvalid(const char* aTypeWord) const {
  const std::string text = FormatMessage(FInvalidFormatMessage, {FFieldName, FValue, aTypeWord});
  throw ERelayException(text).Status(400);
}

std::string TRelayCoreParamField::AsString() const {
  if (FContains) return FValue;
  if (FRequired) throw ERelayException(FormatMessage(FRequiredMessage, {FFieldName})).Status(400);
  return {};
}

std::int32_t TRelayCoreParamField::AsInteger() const {
  const std::string value = AsString();
  if (value.empty()) return 0;
  std::int32_t result = 0;
  if (!ParseWhole(value, result)) RaiseInvalid("integer");
  return result;
}

std::int64_t TRelayCoreParamField::AsInt64() const {
  const std::string value = AsString();
  if (value.empty()) return 0;
  std::int64_t result = 0;
  if (!ParseWhole(value, result)) RaiseInvalid("int64");
  return result;
}

double TRelayCoreParamField::AsFloat() const {
  std::string value = AsString();
  if (value.empty()) return 0;
  for (char& c : value) {
    if (c == ',') c = '.';
  }
  double result = 0;
  if (!ParseWhole(value, result) || !std::isfinite(result)) RaiseInvalid("numeric");
  return result;
}

double TRelayCoreParamField::AsCurrency() const {
  return std::round(AsFloat() * 10000.0) / 10000.0;
}

bool TRelayCoreParamField::AsBoolean() const {
  const std::string value = AsString();
  return !value.empty() && text::EqualsIgnoringAsciiCase(value, FTrueValue);
}

TDateTime TRelayCoreParamField::AsDate() const {
  const std::string value = AsString();
  if (value.empty()) return 0;
  TParsedParts parts;
  const std::string_view head = std::string_view(value).substr(0, FDateFormat.size());
  if (!ParseWithFormat(head, FDateFormat, false, parts) || !ValidDate(parts)) RaiseInvalid("date");
  return EncodeDate(parts.Year, parts.Month, parts.Day);
}

TDateTime TRelayCoreParamField::AsTime() const {
  const std::string value = AsString();
  if (value.empty()) return 0;
  TParsedParts parts;
  const std::string_view head = std::string_view(value).substr(0, FTimeFormat.size());
  if (!ParseWithFormat(head, FTimeFormat, true, parts) || !ValidTime(parts)) RaiseInvalid("time");
  return EncodeTime(parts.Hour, parts.Minute, parts.Second, 0);
}

TDateTime TRelayCoreParamField::AsDateTime() const {
  const std::string value = AsString();
  if (value.empty()) return 0;
  const std::string_view text = value;
  TParsedParts date, time;
  const std::string_view datePart = text.substr(0, FDateFormat.size());
  if (!ParseWithFormat(datePart, FDateFormat, false, date) || !ValidDate(date)) {
    RaiseInvalid("datetime");
  }
  double result = EncodeDate(date.Year, date.Month, date.Day);
  const std::string rest = Trim(text.substr(datePart.size()));
  if (!rest.empty()) {
    if (!ParseWithFormat(rest, FTimeFormat, true, time) || !ValidTime(time)) {
      RaiseInvalid("datetime");
    }
    result += EncodeTime(time.Hour, time.Minute, time.Second, 0);
  }
  return result;
}

TDateTime TRelayCoreParamField::AsISO8601DateTime() const {
  const std::string value = AsString();
  if (value.empty()) return 0;
  // YYYY-MM-DD[(T| )hh:mm[:ss[.fff]]][Z|(+|-)hh[:mm]]; without a zone the text is UTC.
  std::string_view text = value;
  TParsedParts p;
  if (text.size() < 10 || !ParseWithFormat(text.substr(0, 10), "yyyy-MM-dd", false, p) ||
      !ValidDate(p)) {
    RaiseInvalid("ISO8601 date");
  }
  text.remove_prefix(10);
  int millis = 0;
  long offset = 0;
  if (!text.empty() && (text.front() == 'T' || text.front() == 't' || text.front() == ' ')) {
    text.remove_prefix(1);
    std::size_t end = 0;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) ||
                                 text[end] == ':' || text[end] == '.')) {
      ++end;
    }
    std::string_view clock = text.substr(0, end);
    text.remove_prefix(end);
    const std::size_t dot = clock.find('.');
    if (dot != std::string_view::npos) {
      std::string_view frac = clock.substr(dot + 1);
      clock = clock.substr(0, dot);
      if (frac.empty() || frac.find_first_not_of("0123456789") != std::string_view::npos) {
        RaiseInvalid("ISO8601 date");
      }
      std::string ms(frac.substr(0, 3));
      while (ms.size() < 3) ms.push_back('0');
      millis = std::stoi(ms);
    }
    const bool ok = clock.size() == 5 ? ParseWithFormat(clock, "hh:nn", true, p)
                                      : ParseWithFormat(clock, "hh:nn:ss", true, p);
    if (!ok || !ValidTime(p)) RaiseInvalid("ISO8601 date");
  }
  if (!text.empty()) {
    if (text == "Z" || text == "z") {
      offset = 0;
    } else if (text.front() == '+' || text.front() == '-') {
      TParsedParts zone;
      const std::string_view digits = text.substr(1);
      const bool ok = digits.size() == 2   ? ParseWithFormat(digits, "hh", true, zone)
                      : digits.size() == 4 ? ParseWithFormat(digits, "hhnn", true, zone)
                                           : ParseWithFormat(digits, "hh:nn", true, zone);
      if (!ok || zone.Hour > 23 || zone.Minute > 59) RaiseInvalid("ISO8601 date");
      offset = (zone.Hour * 3600L + zone.Minute * 60L) * (text.front() == '-' ? -1 : 1);
    } else {
      RaiseInvalid("ISO8601 date");
    }
  }
  double result =
      EncodeDate(p.Year, p.Month, p.Day) + EncodeTime(p.Hour, p.Minute, p.Second, millis);
  result -= static_cast<double>(offset) / 86400.0;  // now UTC
  if (!FReturnUTC) {
    const double unixSeconds = (result - 25569.0) * 86400.0;
    result +=
        static_cast<double>(LocalOffsetSeconds(static_cast<std::time_t>(unixSeconds))) / 86400.0;
  }
  return result;
}

std::string TRelayCoreParam::operator[](std::string_view aName) const {
  std::string value;
  TryGetValue(aName, value);
  return value;
}

bool TRelayCoreParam::ContainsKey(std::string_view aName) const {
  std::string ignored;
  return TryGetValue(aName, ignored);
}

bool TRelayCoreParam::TryGetValue(std::string_view aName, std::string& aValue) const {
  for (const auto& [name, value] : FParams) {
    if (text::EqualsIgnoringAsciiCase(name, aName)) {
      aValue = value;
      return true;
    }
  }
  return false;
}

bool TRelayCoreParam::ContainsValue(std::string_view aValue) const {
  for (const auto& entry : FParams) {
    if (entry.second == aValue) return true;
  }
  return false;
}

TRelayCoreParamField& TRelayCoreParam::Field(std::string_view aName) {
  auto& slot = FFields[text::AsciiLowerCase(aName)];
  if (!slot) slot = std::make_unique<TRelayCoreParamField>(FParams, std::string(aName), FRequired);
  return *slot;
}

std::vector<std::pair<std::string, std::string>> TRelayCoreParam::ToArray() const {
  return {FParams.begin(), FParams.end()};
}

std::vector<std::string> TRelayCoreParam::Content() const {
  std::vector<std::string> lines;
  for (const auto& [name, value] : FParams) lines.push_back(name + "=" + value);
  return lines;
}

std::string TRelayRequest::Body() const {
  const std::string& raw = FWebRequest.Content;
  const std::string type = text::AsciiUpperCase(FWebRequest.ContentTypeHeader);
  if (type.find("CHARSET") != std::string::npos && type.find("UTF-8") == std::string::npos) {
    if (type.find("ISO-8859-1") != std::string::npos || type.find("ANSI") != std::string::npos) {
      return text::Windows1252ToUtf8(raw);
    }
    if (type.find("ASCII") != std::string::npos) {
      std::string out = raw;
      for (char& c : out) {
        if (static_cast<unsigned char>(c) > 0x7F) c = '?';
      }
      return out;
    }
  }
  // UTF-8; ill-formed sequences become U+FFFD so the text stays valid UTF-8.
  if (text::IsValidUtf8(raw)) return raw;
  std::string out;
  for (std::size_t pos = 0; pos < raw.size();) text::AppendUtf8(out, text::DecodeUtf8(raw, pos));
  return out;
}

TRelayRequest& TRelayRequest::Body(std::unique_ptr<TRelayObject> aBody) {
  FBody = std::move(aBody);
  return *this;
}

namespace {

// Up to this many header lines the first of a name is found by scanning;
// beyond, through a hash table.
constexpr std::size_t kFewHeaders = 16;

// Hash and equality of header names ignoring ASCII letter case.
struct TNameHash {
  std::size_t operator()(std::string_view aName) const {
    std::size_t hash = 14695981039346656037ull;
    for (const char c : aName) {
      hash ^= static_cast<unsigned char>(text::AsciiLower(c));
      hash *= 1099511628211ull;
    }
    return hash;
  }
};
struct TSameName {
  bool operator()(std::string_view aLeft, std::string_view aRight) const {
    return text::EqualsIgnoringAsciiCase(aLeft, aRight);
  }
};

}  // namespace

TRelayCoreParam& TRelayRequest::Headers() {
  if (!FHeaders) {
    // Each name as sent gets the value of the first header of that name in
    // any letter case; beyond a few lines that first one is found through a
    // hash table, so thousands of headers cost no more than reading them.
    const THeaderLines& lines = FWebRequest.HeaderLines;
    TRelayParamMap map;
    if (lines.size() <= kFewHeaders) {
      for (const auto& line : lines) {
        const std::string& name = line.first;
        const auto [entry, added] = map.try_emplace(name);
        if (!added) continue;
        const auto first = std::find_if(lines.begin(), lines.end(), [&](const auto& aLine) {
          return text::EqualsIgnoringAsciiCase(aLine.first, name);
        });
        entry->second = Trim(first->second);
      }
    } else {
      std::unordered_map<std::string_view, const std::string*, TNameHash, TSameName> firstValue;
      firstValue.reserve(lines.size());
      for (const auto& [name, value] : lines) firstValue.emplace(name, &value);
      for (const auto& [name, ignored] : lines) {
        const auto [entry, added] = map.try_emplace(name);
        if (added) entry->second = Trim(*firstValue.at(name));
      }
    }
    FHeaders = std::make_unique<TRelayCoreParam>(std::move(map));
  }
  return *FHeaders;
}

namespace {

// "a=1&b=2" into names and values, each field percent-decoded first.
TRelayParamMap ParseUrlEncoded(std::string_view aText) {
  TRelayParamMap map;
  std::size_t pos = 0;
  while (pos <= aText.size()) {
    const std::size_t amp = aText.find('&', pos);
    const std::string_view piece =
        aText.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
    if (!piece.empty()) {
      const std::string field = PercentDecode(piece, true);
      const std::size_t eq = field.find('=');
      std::string name = field.substr(0, eq);
      std::string value = eq == std::string::npos ? std::string() : field.substr(eq + 1);
      map.emplace(std::move(name), std::move(value));
    }
    if (amp == std::string_view::npos) break;
    pos = amp + 1;
  }
  return map;
}

}  // namespace

TRelayCoreParam& TRelayRequest::Query() {
  if (!FQuery) FQuery = std::make_unique<TRelayCoreParam>(ParseUrlEncoded(FWebRequest.Query));
  return *FQuery;
}

TRelayCoreParam& TRelayRequest::Params() {
  if (!FParams) {
    FParams = std::make_unique<TRelayCoreParam>();
    FParams->Required(true);
  }
  return *FParams;
}

TRelayCoreParam& TRelayRequest::ContentFields() {
  if (!FContentFields) {
    TRelayParamMap map;
    // Only url-encoded forms are parsed; multipart bodies yield no fields.
    if (text::StartsWithIgnoringAsciiCase(FWebRequest.ContentTypeHeader,
                                          "application/x-www-form-urlencoded")) {
      map = ParseUrlEncoded(FWebRequest.Content);
    }
    FContentFields = std::make_unique<TRelayCoreParam>(std::move(map));
  }
  return *FContentFields;
}

TRelayCoreParam& TRelayRequest::Cookie() {
  if (!FCookie) {
    TRelayParamMap map;
    for (const auto& [name, value] : FWebRequest.HeaderLines) {
      if (!text::EqualsIgnoringAsciiCase(name, "Cookie")) continue;
      std::size_t pos = 0;
      while (pos <= value.size()) {
        const std::size_t semi = value.find(';', pos);
        const std::string field = Trim(std::string_view(value).substr(
            pos, semi == std::string::npos ? std::string::npos : semi - pos));
        if (!field.empty()) {
          // Split at every "=": a value that holds "=" keeps only its first piece.
          const std::size_t eq = field.find('=');
          std::string cookieValue;
          if (eq != std::string::npos) {
            const std::size_t eq2 = field.find('=', eq + 1);
            cookieValue =
                field.substr(eq + 1, eq2 == std::string::npos ? std::string::npos : eq2 - eq - 1);
          }
          map.emplace(field.substr(0, eq), std::move(cookieValue));
        }
        if (semi == std::string::npos) break;
        pos = semi + 1;
      }
    }
    FCookie = std::make_unique<TRelayCoreParam>(std::move(map));
  }
  return *FCookie;
}

TRelayResponse& TRelayResponse::RedirectTo(std::string aLocation, int aStatus) {
  FWebResponse.Data.SetCustomHeader("Location", std::move(aLocation));
  FWebResponse.Data.StatusCode = aStatus;
  return *this;
}

}  // namespace tandemize::web

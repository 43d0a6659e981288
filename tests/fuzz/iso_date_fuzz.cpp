// Fuzz target: the ISO 8601 date, time and timestamp readers. Any text must
// either give a finite value or fail with std::runtime_error (or one of its
// kinds); a timestamp the writer accepts must read again.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "converter/converter_util.h"

namespace {

using tandemize::converter::TConverterUtil;
using tandemize::converter::TDateTimeValue;

template <class F>
void Read(F&& aRead) {
  try {
    const TDateTimeValue value = aRead();
    if (!std::isfinite(value)) std::abort();
  } catch (const std::runtime_error&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string_view text(reinterpret_cast<const char*>(aData), aSize);
  Read([&] { return TConverterUtil::ISODateToDate(text); });
  Read([&] { return TConverterUtil::ISOTimeToTime(text); });
  Read([&] { return TConverterUtil::ISOTimeStampToDateTime(text); });

  TDateTimeValue stamp = 0;
  try {
    stamp = TConverterUtil::ISOTimeStampToDateTime(text);
  } catch (const std::runtime_error&) {
    return 0;
  }
  // A zone offset can move a value read at year 1 or 9999 out of the years
  // the writer accepts; it refuses with a library error. What it writes
  // must read back.
  std::string written;
  try {
    written = TConverterUtil::DateTimeToISOTimeStamp(stamp);
  } catch (const std::runtime_error&) {
    return 0;
  }
  (void)TConverterUtil::ISOTimeStampToDateTime(written);
  return 0;
}

// Fuzz target: the binary dataset stream reader, through the in-memory
// table as the data service uses it. Any input must either load or fail
// with an exception; walking a loaded table must read every field.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "memtable/mem_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  using namespace tandemize::memtable;
  const std::string_view stream(reinterpret_cast<const char*>(aData), aSize);
  TMemTable table;
  try {
    table.LoadFromStream(stream, TStorageFormat::sfBinary);
  } catch (const std::exception&) {
    return 0;
  }
  try {
    for (table.First(); !table.Eof(); table.Next()) {
      for (std::size_t i = 0; i < table.Fields().Count(); ++i) {
        (void)table.Fields()[i].AsVariant();
        (void)table.Fields()[i].AsString();
      }
    }
  } catch (const std::exception&) {
    // A value the field cannot show is refused, not a crash.
  }
  return 0;
}

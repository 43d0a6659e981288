// Fuzz target: the JSON reader. Any text must either parse or fail with the
// library's own exception; whatever parsed must write back, and the written
// text must parse again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json.h"

namespace {

template <class TNode>
void ParseAndWrite(std::string_view aText) {
  using tandemize::json::EJsonException;
  std::string written;
  try {
    TNode node;
    node.Parse(aText);
    written = node.Stringify();
  } catch (const EJsonException&) {
    return;
  }
  // What the library writes it must read back.
  TNode again;
  again.Parse(written);
  (void)again.Stringify();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string_view text(reinterpret_cast<const char*>(aData), aSize);
  ParseAndWrite<tandemize::json::TJsonObject>(text);
  ParseAndWrite<tandemize::json::TJson>(text);
  return 0;
}

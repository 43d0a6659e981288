#pragma once
// Private to the JSON library: the two readers behind TJsonBase::Parse, each
// on its own so that they can be held against each other.

#include <string_view>

#include "json/json.h"

namespace tandemize::json {

// Reads aText into aNode in one pass when the whole text is in the strict
// form (values separated by single commas, names quoted, literals in lower
// case, numbers as integer or number text, blanks only space, tab, CR and LF,
// nesting well within kMaxNestingDepth) and returns true. Otherwise returns
// false and leaves aNode as it was; it never raises. A TJsonPair is never
// read here.
bool ReadStrict(std::string_view aText, TJsonBase& aNode);

// Reads any text the library accepts into aNode, or raises the library's
// error for it. Whatever ReadStrict reads, this reads into the same tree.
void ReadLenient(std::string_view aText, TJsonBase& aNode);

}  // namespace tandemize::json

#pragma once
// What the converter needs of a table beyond its public interface, in one
// place: nested tables, field visibility and text sizes.

#include <string>
#include <string_view>

#include "memtable/mem_table.h"

namespace tandemize::converter {

// The nested table of an ftDataSet field while it is open, or null: a nested
// table opens with its parent only when the caller gave it fields, so a
// nested-table field without them is left alone by the loader and gives no
// member when written.
memtable::TMemTable* NestedDataSet(memtable::TDataSetField& aField);

// Whether records written as JSON show the field: a field is hidden when its
// field definition carries faHiddenCol.
bool IsVisible(memtable::TMemTable& aDataSet, const memtable::TField& aField);

// aText cut to what a text field of its size holds: ftWideString and
// ftString count characters (UTF-16 code units; a surrogate pair is never
// split), memo fields take any length. Text that fits is returned as it
// is; a cut one is built in aScratch.
std::string_view FitText(const memtable::TField& aField, std::string_view aText,
                         std::string& aScratch);

// The field's range error, as the field itself raises it (EDatabaseError):
// "%g is not a valid value for field '%s'. The allowed range is %g to %g"
[[noreturn]] void RaiseRangeError(const memtable::TField& aField, double aValue, double aMin,
                                  double aMax);

}  // namespace tandemize::converter

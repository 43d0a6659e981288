#pragma once
// Names written into SQL text: the table name and the key and field names of
// an import. Only names that cannot change a statement's meaning pass.

#include <string_view>

#include "service/params_db.h"

namespace tandemize::service {

// Whether aName may be written into SQL for a database of kind aKind: a plain
// identifier (letters, digits, "_", "$", "#", not starting with a digit;
// "$" first and "#" only where the kind reads them as part of a name),
// optionally qualified with "." (schema.table), or one wholly enclosed in one
// pair of the kind's identifier quotes with no closing quote or control
// character inside. The quote forms and the use of "$" and "#" are those the
// kind's statements read (dbaccess::IdentifierQuotes, PlainNameChars).
bool IsAcceptedIdentifier(std::string_view aName, TTipoSgdb aKind);
// Raises EDataService(kIdentifierRefused) naming aName unless it is accepted.
void CheckIdentifier(std::string_view aName, TTipoSgdb aKind);

}  // namespace tandemize::service

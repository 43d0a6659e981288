// The encryption plugin: a shared library of its own, linked to the
// encrypting SQLite engine and loaded with RTLD_LOCAL, so that engine's
// symbols never meet those of the engine linked into the program. It exports
// one function: the table of its engine's entry points.

#include "dbaccess/internal/sqlite_api.h"

namespace {

int Key(sqlite3* db, const void* key, int size) {
  return sqlite3_key(db, key, size);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const tandemize::dbaccess::phys::TSQLiteApi*
tandemize_sqlcipher_api() {
  static const tandemize::dbaccess::phys::TSQLiteApi api = [] {
    tandemize::dbaccess::phys::TSQLiteApi table{};
    tandemize::dbaccess::phys::FillSQLiteApi(table);
    table.key = &Key;
    return table;
  }();
  return &api;
}

#pragma once
// The SQLite calls the SQLite driver makes, as a table of entry points: one
// table for the engine linked into the program and one filled by the
// encryption plugin from its own engine, so that the two never share symbols.
// Both engines speak the same C interface; `key` is null for the linked one.

#include <sqlite3.h>

namespace tandemize::dbaccess::phys {

struct TSQLiteApi {
  const char* (*libversion)();
  int (*open_v2)(const char*, sqlite3**, int, const char*);
  int (*close_v2)(sqlite3*);
  int (*key)(sqlite3*, const void*, int);
  int (*exec)(sqlite3*, const char*, int (*)(void*, int, char**, char**), void*, char**);
  const char* (*errmsg)(sqlite3*);
  int (*busy_timeout)(sqlite3*, int);
  int (*changes)(sqlite3*);
  int (*prepare_v2)(sqlite3*, const char*, int, sqlite3_stmt**, const char**);
  int (*step)(sqlite3_stmt*);
  int (*reset)(sqlite3_stmt*);
  int (*clear_bindings)(sqlite3_stmt*);
  int (*finalize)(sqlite3_stmt*);
  int (*bind_null)(sqlite3_stmt*, int);
  int (*bind_int64)(sqlite3_stmt*, int, sqlite3_int64);
  int (*bind_double)(sqlite3_stmt*, int, double);
  int (*bind_text)(sqlite3_stmt*, int, const char*, int, void (*)(void*));
  int (*bind_blob)(sqlite3_stmt*, int, const void*, int, void (*)(void*));
  int (*bind_zeroblob)(sqlite3_stmt*, int, int);
  int (*column_count)(sqlite3_stmt*);
  const char* (*column_name)(sqlite3_stmt*, int);
  int (*column_type)(sqlite3_stmt*, int);
  sqlite3_int64 (*column_int64)(sqlite3_stmt*, int);
  double (*column_double)(sqlite3_stmt*, int);
  const unsigned char* (*column_text)(sqlite3_stmt*, int);
  const void* (*column_blob)(sqlite3_stmt*, int);
  int (*column_bytes)(sqlite3_stmt*, int);
};

// Fills `api` from the sqlite3_* functions visible to the including file.
inline void FillSQLiteApi(TSQLiteApi& api) {
  api.libversion = &sqlite3_libversion;
  api.open_v2 = &sqlite3_open_v2;
  api.close_v2 = &sqlite3_close_v2;
  api.key = nullptr;
  api.exec = &sqlite3_exec;
  api.errmsg = &sqlite3_errmsg;
  api.busy_timeout = &sqlite3_busy_timeout;
  api.changes = &sqlite3_changes;
  api.prepare_v2 = &sqlite3_prepare_v2;
  api.step = &sqlite3_step;
  api.reset = &sqlite3_reset;
  api.clear_bindings = &sqlite3_clear_bindings;
  api.finalize = &sqlite3_finalize;
  api.bind_null = &sqlite3_bind_null;
  api.bind_int64 = &sqlite3_bind_int64;
  api.bind_double = &sqlite3_bind_double;
  api.bind_text = &sqlite3_bind_text;
  api.bind_blob = &sqlite3_bind_blob;
  api.bind_zeroblob = &sqlite3_bind_zeroblob;
  api.column_count = &sqlite3_column_count;
  api.column_name = &sqlite3_column_name;
  api.column_type = &sqlite3_column_type;
  api.column_int64 = &sqlite3_column_int64;
  api.column_double = &sqlite3_column_double;
  api.column_text = &sqlite3_column_text;
  api.column_blob = &sqlite3_column_blob;
  api.column_bytes = &sqlite3_column_bytes;
}

// The entry point of the encryption plugin.
inline constexpr const char* kSQLCipherPluginFile = "libtandemize_sqlcipher.so";
inline constexpr const char* kSQLCipherPluginEntry = "tandemize_sqlcipher_api";
using TSQLCipherPluginEntry = const TSQLiteApi* (*)();

}  // namespace tandemize::dbaccess::phys

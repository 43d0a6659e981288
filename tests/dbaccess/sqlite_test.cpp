// The SQLite kind: its shared-suite descriptor and what only it does (the
// file it creates, encryption).

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/phys_values.h"
#include "dbaccess/test_kinds.h"

namespace tandemize::dbaccess {
namespace {

namespace fs = std::filesystem;

// A folder of its own per test process, removed when the process ends.
fs::path ScratchFolder() {
  struct TFolder {
    fs::path Path = fs::temp_directory_path() / ("tandemize_sqlite_" + std::to_string(::getpid()));
    TFolder() {
      fs::remove_all(Path);
      fs::create_directories(Path);
    }
    ~TFolder() {
      std::error_code ignored;
      fs::remove_all(Path, ignored);
    }
  };
  static const TFolder folder;
  return folder.Path;
}

const bool kRegistered = test::RegisterTestKind({
    .Name = "SQLite",
    .DriverID = "SQLite",
    .ErrorPrefix = "[DAL][Phys][SQLite] ERROR: ",
    .Fill =
        [](TDbDefinition& d) { d.SetValue("Database", (ScratchFolder() / "kinds.db").string()); },
    .FailedConnects = {{"a file in a missing folder",
                        [](TDbDefinition& d) { d.SetValue("Database", "/nonexistent/dir/x.db"); }},
                       {"a file that is not a database",
                        [](TDbDefinition& d) {
                          const fs::path path = ScratchFolder() / "not_a_database.db";
                          std::ofstream(path) << std::string(4096, 'x');
                          d.SetValue("Database", path.string());
                        }}},
    // Exact decimals stay text; SQLite would turn a NUMERIC column's value
    // into a binary float.
    .Decimal18Type = "TEXT",
    .Decimal30Type = "TEXT",
    .TimestampType = "TEXT",
    .BooleanType = "INTEGER",
    .TextType = "TEXT",
});

std::string FileHeader(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string header(16, '\0');
  in.read(header.data(), 16);
  return header;
}

void Connect(TDbConnection& connection, const fs::path& file, const std::string& password) {
  connection.Params().SetValue("DriverID", "SQLite");
  connection.Params().SetValue("Database", file.string());
  connection.Params().SetValue("Password", password);
  connection.SetConnected(true);
}

std::string ScalarText(TDbConnection& connection, const std::string& sql) {
  TDbQuery query(&connection);
  query.SQL().SetText(sql);
  query.Open();
  return phys::VariantToText(query.FieldValue(0));
}

TEST(SQLiteTest, AMissingFileIsCreatedAsAnEmptyUtf8Database) {
  const fs::path file = ScratchFolder() / "created.db";
  ASSERT_FALSE(fs::exists(file));
  TDbConnection connection;
  Connect(connection, file, "");
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(ScalarText(connection, "PRAGMA encoding"), "UTF-8");
  EXPECT_EQ(ScalarText(connection, "SELECT count(*) FROM sqlite_master"), "0");
  TDbQuery create(&connection);
  create.SQL().SetText("CREATE TABLE t (x TEXT)");
  create.ExecSQL();
  connection.SetConnected(false);
  EXPECT_EQ(FileHeader(file), std::string("SQLite format 3\0", 16));
}

TEST(SQLiteTest, APasswordEncryptsTheFileAndOnlyThatPasswordOpensIt) {
  const fs::path file = ScratchFolder() / "encrypted.db";
  {
    TDbConnection connection;
    Connect(connection, file, "s3cret");
    TDbQuery query(&connection);
    query.SQL().SetText("CREATE TABLE t (x TEXT)");
    query.ExecSQL();
    query.SQL().SetText("INSERT INTO t VALUES (:x)");
    query.ParamByName("x") = std::string("secret text ção 漢字");
    query.ExecSQL();
  }
  EXPECT_NE(FileHeader(file), std::string("SQLite format 3\0", 16)) << "stored in the clear";
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes.find("secret text"), std::string::npos);

  struct Case {
    const char* Label;
    std::string Password;
    bool Opens;
  };
  const Case cases[] = {{"no password", "", false},
                        {"a wrong password", "wrong", false},
                        {"the password", "s3cret", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    TDbConnection connection;
    if (!c.Opens) {
      try {
        Connect(connection, file, c.Password);
        ADD_FAILURE() << "opened";
      } catch (const memtable::EDatabaseError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("[DAL][Phys][SQLite] ERROR: ", 0), 0u)
            << error.what();
      }
      EXPECT_FALSE(connection.Connected());
      continue;
    }
    Connect(connection, file, c.Password);
    EXPECT_EQ(ScalarText(connection, "SELECT x FROM t"), "secret text ção 漢字");
  }
}

TEST(SQLiteTest, APlainFileStaysReadableByThePlainEngineAfterAnEncryptedOneWasUsed) {
  // Both engines live in one process; each must keep to its own files.
  const fs::path encrypted = ScratchFolder() / "mixed_encrypted.db";
  const fs::path plain = ScratchFolder() / "mixed_plain.db";
  TDbConnection a, b;
  Connect(a, encrypted, "k");
  Connect(b, plain, "");
  for (TDbConnection* connection : {&a, &b}) {
    TDbQuery query(connection);
    query.SQL().SetText("CREATE TABLE t (x INTEGER)");
    query.ExecSQL();
  }
  EXPECT_NE(FileHeader(encrypted), std::string("SQLite format 3\0", 16));
  EXPECT_EQ(FileHeader(plain), std::string("SQLite format 3\0", 16));
  EXPECT_EQ(ScalarText(b, "SELECT sqlite_version()").substr(0, 4), "3.40");
}

TEST(SQLiteTest, BoundTextAndBytesStayRightWhileTheParametersChange) {
  TDbConnection connection;
  Connect(connection, ScratchFolder() / "binding.db", "");
  TDbQuery create(&connection);
  create.SQL().SetText("CREATE TABLE t (id INTEGER, txt TEXT, b BLOB)");
  create.ExecSQL();

  // Each run replaces the values of the run before (their storage freed or
  // reused) while the statement stays prepared.
  struct TRow {
    std::int64_t Id;
    std::string Text;
    memtable::TBytes Bytes;
  };
  const std::vector<TRow> rows = {{1, std::string(200, 'a'), memtable::TBytes(100, 1)},
                                  {2, "b", memtable::TBytes{2}},
                                  {3, std::string(300, 'c'), memtable::TBytes(500, 3)}};
  TDbQuery insert(&connection);
  insert.SQL().SetText("INSERT INTO t (id, txt, b) VALUES (:id, :txt, :b)");
  for (const TRow& row : rows) {
    insert.Params().ParamByName("id").SetValue(row.Id);
    insert.Params().ParamByName("txt").SetValue(row.Text);
    insert.Params().ParamByName("b").SetValue(row.Bytes);
    insert.ExecSQL();
  }

  // A query reads its parameters while its cursor moves on, after they
  // changed.
  TDbQuery select(&connection);
  select.SQL().SetText("SELECT id, txt, b FROM t WHERE txt <> :txt ORDER BY id");
  select.Params().ParamByName("txt").SetValue(std::string(500, 'z'));
  select.Open();
  select.Params().ParamByName("txt").SetValue(std::string("b"));
  std::vector<std::int64_t> ids;
  for (; !select.Eof(); select.Next()) {
    const std::int64_t id = phys::VariantToInt64(select.FieldValue(0));
    ids.push_back(id);
    const TRow& row = rows[static_cast<std::size_t>(id - 1)];
    EXPECT_EQ(select.FieldValue(1), TVariant{row.Text}) << id;
    EXPECT_EQ(select.FieldValue(2), TVariant{row.Bytes}) << id;
  }
  EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(SQLiteTest, AQueryWhoseMarkerNameIsTooLongIsDetachedAndDestroyedWithoutFailing) {
  static_assert(noexcept(std::declval<TDbConnection&>().Close()));
  const std::string tooLong = "INSERT INTO t (id) VALUES (:" + std::string(300, 'x') + ")";
  const std::string refusal = "[DAL][Phys][SQLite]-323. Too long identifier (> 255)";
  TDbConnection connection;
  Connect(connection, ScratchFolder() / "long_marker.db", "");
  TDbQuery create(&connection);
  create.SQL().SetText("CREATE TABLE t (id INTEGER)");
  create.ExecSQL();

  // The edit fails, and so does every later run: the statement that ran
  // before the edit is not run in its place.
  TDbQuery insert(&connection);
  insert.SQL().SetText("INSERT INTO t (id) VALUES (:id)");
  insert.ParamByName("id") = std::int64_t{1};
  insert.ExecSQL();
  try {
    insert.SQL().SetText(tooLong);
    ADD_FAILURE() << "the text was read";
  } catch (const memtable::EDALException& e) {
    EXPECT_EQ(e.what(), refusal);
  }
  EXPECT_THROW(insert.ExecSQL(), memtable::EDALException);
  EXPECT_EQ(ScalarText(connection, "SELECT count(*) FROM t"), "1");

  // Detaching does not read the text again; attaching does, and fails.
  EXPECT_NO_THROW(insert.SetConnection(nullptr));
  EXPECT_EQ(insert.Connection(), nullptr);
  EXPECT_THROW(insert.SetConnection(&connection), memtable::EDALException);
  EXPECT_EQ(insert.Connection(), &connection);

  // Destroyed while that failure unwinds the stack (a throwing destructor
  // would end the process here), and when its connection closes first.
  try {
    TDbQuery query(&connection);
    query.SQL().SetText(tooLong);
  } catch (const memtable::EDALException& e) {
    EXPECT_EQ(e.what(), refusal);
  }
  {
    TDbQuery query(&connection);
    EXPECT_THROW(query.SQL().SetText(tooLong), memtable::EDALException);
    connection.Close();
    EXPECT_EQ(query.Connection(), &connection);
  }
  EXPECT_FALSE(connection.Connected());
}

TEST(SQLiteTest, ASettingHoldingANulIsRefusedBeforeTheFileIsOpened) {
  const fs::path file = ScratchFolder() / "f7.db";
  const std::string nul("\0", 1);
  const struct {
    const char* Setting;
    std::string Value;
  } cases[] = {
      {"Database", file.string() + nul + ".other"},
      {"Password", "k" + nul + "ey"},
      {"CharacterSet", "UTF8" + nul},
      {"Server", nul},
      {"User_Name", "sa" + nul + "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Setting);
    TDbConnection connection;
    connection.Params().SetValue("DriverID", "SQLite");
    connection.Params().SetValue("Database", file.string());
    connection.Params().SetValue(c.Setting, c.Value);
    try {
      connection.SetConnected(true);
      ADD_FAILURE() << "connected";
    } catch (const memtable::EDatabaseError& e) {
      EXPECT_EQ(e.what(),
                "[DAL][Phys] Invalid " + std::string(c.Setting) + ": contains a NUL character");
    }
    EXPECT_FALSE(connection.Connected());
    EXPECT_FALSE(fs::exists(file));
  }
}

}  // namespace
}  // namespace tandemize::dbaccess

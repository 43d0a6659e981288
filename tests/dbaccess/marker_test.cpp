// The marker rules, as a table, without a database.

#include <gtest/gtest.h>

#include "dbaccess/db_connection.h"
#include "dbaccess/sql_markers.h"

namespace tandemize::dbaccess {
namespace {

struct MarkerCase {
  const char* Label;
  std::string Text;
  std::string DriverID;
  std::vector<std::string> Names;
  std::string Rewritten;  // every marker as "?"
};

TEST(MarkerTest, MarkersFollowTheRules) {
  const MarkerCase cases[] = {
      {"plain names are upper-cased", "a = :a AND b = :Bee", "PG", {"A", "BEE"}, "a = ? AND b = ?"},
      {"a name used again is one parameter", ":id, :ID, :Id", "PG", {"ID"}, "?, ?, ?"},
      {"blank, tab, CR, LF and = after the colon",
       "x : a :\tb :\rc :\nd :=e",
       "PG",
       {},
       "x : a :\tb :\rc :\nd :=e"},
      {"a name character before the colon", "a:b t1:c", "PG", {}, "a:b t1:c"},
      {"a closing name quote before the colon", "\"q\":x", "PG", {}, "\"q\":x"},
      {"a quoted name keeps its case", "v = :\"Mixed Name\"", "PG", {"Mixed Name"}, "v = ?"},
      {"backquotes on MySQL", "v = :`col`", "MySQL", {"col"}, "v = ?"},
      {"backquotes elsewhere are no quotes", "v = :`col`", "PG", {}, "v = :`col`"},
      {"brackets on MSSQL", "v = :[Name]", "MSSQL", {"Name"}, "v = ?"},
      {"literals are skipped", "'it''s :not' || :yes", "PG", {"YES"}, "'it''s :not' || ?"},
      {"comments are skipped",
       "-- :no\r\n/* :nor */ :yes",
       "PG",
       {"YES"},
       "-- :no\r\n/* :nor */ ?"},
      {"a cast is no marker", "x::int, :a::text", "PG", {"A"}, "x::int, ?::text"},
      {"letters beyond ASCII", ":ação :名前", "PG", {"AÇÃO", "名前"}, "? ?"},
      {"an emoji ends a name", ":a😀", "PG", {"A"}, "?😀"},
      {"$ and # are name characters", ":a$b#c", "PG", {"A$B#C"}, "?"},
      {"a dot ends a name", ":a.b", "PG", {"A"}, "?.b"},
      {"a colon at the end", "x :", "PG", {}, "x :"},
      {"a colon before a parenthesis", "x :(y)", "PG", {}, "x :(y)"},
      {"no connection yet: double quotes only", ":\"Q\" :`b`", "", {"Q"}, "? :`b`"},
      {"brackets and backquotes on SQLite", ":[a b] :`c d`", "SQLite", {"a b", "c d"}, "? ?"},
      {"a doubled closing quote stands for one",
       "\"a\"\" :x\" = :\"b\"\"c\"",
       "PG",
       {"b\"c"},
       "\"a\"\" :x\" = ?"},
      {"MSSQL doubles a closing bracket", "[a]] :x] :y", "MSSQL", {"Y"}, "[a]] :x] ?"},
      {"SQLite ends a bracket at the first one", "[a]] :x", "SQLite", {"X"}, "[a]] ?"},
      {"double quotes enclose a literal on MySQL", "\"a :b\" :c", "MySQL", {"C"}, "\"a :b\" ?"},
      {"a quote left open hides the rest", ":a \"b :c", "PG", {"A"}, "? \"b :c"},
      {"a quote the kind lacks is no quote", "`a :b` :c", "PG", {"B", "C"}, "`a ?` ?"},
  };
  for (const MarkerCase& c : cases) {
    SCOPED_TRACE(c.Label);
    const TMarkerScan scan = ScanMarkers(c.Text, c.DriverID);
    EXPECT_EQ(scan.Names, c.Names);
    EXPECT_EQ(RewriteMarkers(c.Text, scan, [](int) { return std::string("?"); }), c.Rewritten);
  }
}

// What the data service writes for a quoted table, key and field name:
// nothing inside the quotes may read as a comment, a literal or a marker,
// and the marker made of a quoted name stands for the name its quotes hold.
TEST(MarkerTest, QuotedNamesAreOpaqueOnEveryKind) {
  const char* const kinds[] = {"FB", "IB", "PG", "MySQL", "MSSQL", "SQLite", ""};
  const char* const oddNames[] = {"x--y", "x/*y", "x*/y", "it's", "a :nome", ":id",
                                  "a::b", "a;b",  "a b",  "--",   "/*",      "a=:b'"};
  for (const std::string kind : kinds) {
    std::vector<TNameQuote> forms(IdentifierQuotes(kind).begin(), IdentifierQuotes(kind).end());
    if (kind == "MySQL") forms.push_back({'"', '"', true});  // a literal there, as opaque
    for (const TNameQuote& form : forms) {
      for (const std::string odd : oddNames) {
        auto quoted = [&](const std::string& name) { return form.Open + name + form.Close; };
        const std::string table = quoted("t " + odd), key = quoted("k " + odd),
                          field = quoted("f " + odd);
        SCOPED_TRACE(kind + " " + field);
        const std::string update = "UPDATE " + table + " SET  " + field + " = :" + field +
                                   " WHERE  " + key + " = :" + key + " AND  id = :id";
        const TMarkerScan scan = ScanMarkers(update, kind);
        EXPECT_EQ(scan.Names, (std::vector<std::string>{"f " + odd, "k " + odd, "ID"}));
        EXPECT_EQ(
            RewriteMarkers(update, scan, [](int i) { return "$" + std::to_string(i + 1); }),
            "UPDATE " + table + " SET  " + field + " = $1 WHERE  " + key + " = $2 AND  id = $3");
      }
    }
  }
}

TEST(MarkerTest, NamesOfMoreThan255CharactersFailWith323) {
  const std::string ok(255, 'a');
  EXPECT_EQ(ScanMarkers(":" + ok, "PG").Names.size(), 1u);
  // Characters count, not bytes: 255 two-byte letters still fit.
  std::string wide;
  for (int i = 0; i < 255; ++i) wide += "é";
  EXPECT_EQ(ScanMarkers(":" + wide, "PG").Names.size(), 1u);
  struct Case {
    std::string Text;
    std::string DriverID;
    std::string Message;
  };
  const Case cases[] = {
      {":" + ok + "a", "PG", "[DAL][Phys][PG]-323. Too long identifier (> 255)"},
      {":\"" + ok + "b\"", "SQLite", "[DAL][Phys][SQLite]-323. Too long identifier (> 255)"},
      {":" + ok + "c", "", "[DAL][Phys]-323. Too long identifier (> 255)"},
  };
  for (const Case& c : cases) {
    try {
      ScanMarkers(c.Text, c.DriverID);
      ADD_FAILURE() << "accepted";
    } catch (const memtable::EDALException& error) {
      EXPECT_EQ(error.Code(), 323);
      EXPECT_EQ(std::string(error.what()), c.Message);
    }
  }
}

TEST(MarkerTest, EveryTextEditRebuildsTheParameters) {
  TDbQuery query;
  query.SQL().Add("SELECT * FROM t");
  EXPECT_EQ(query.Params().Count(), 0);
  query.SQL().Add("WHERE a = :a");
  ASSERT_EQ(query.Params().Count(), 1);
  query.ParamByName("a") = std::int32_t{5};
  query.SQL().Add("AND b = :b AND a2 = :A");
  ASSERT_EQ(query.Params().Count(), 2);
  EXPECT_EQ(query.ParamByName("A").Value(), TVariant(std::int32_t{5})) << "a kept name keeps";
  EXPECT_EQ(query.SQL().Text(), "SELECT * FROM t\r\nWHERE a = :a\r\nAND b = :b AND a2 = :A\r\n");
  query.SQL().SetText("UPDATE t SET x = :x\nWHERE id = :id");
  ASSERT_EQ(query.Params().Count(), 2);
  EXPECT_EQ(query.Params()[0].Name(), "X");
  EXPECT_EQ(query.Params()[1].Name(), "ID");
  EXPECT_EQ(query.SQL().Count(), 2);
  query.SQL().Clear();
  EXPECT_EQ(query.Params().Count(), 0);
  EXPECT_EQ(query.Params().FindParam("x"), nullptr);
  EXPECT_THROW(query.ParamByName("x"), memtable::EDatabaseError);
}

TEST(MarkerTest, AssignedValuesGiveTheirDataType) {
  using memtable::TFieldType;
  struct Case {
    TVariant Value;
    TFieldType Type;
  };
  const Case cases[] = {
      {std::int16_t{1}, TFieldType::ftSmallint},
      {std::int32_t{1}, TFieldType::ftInteger},
      {std::int8_t{1}, TFieldType::ftShortint},
      {std::uint8_t{1}, TFieldType::ftByte},
      {std::uint16_t{1}, TFieldType::ftWord},
      {std::uint32_t{1}, TFieldType::ftLongWord},
      {std::int64_t{1}, TFieldType::ftLargeint},
      {std::uint64_t{1}, TFieldType::ftLargeint},
      {1.0f, TFieldType::ftSingle},
      {1.0, TFieldType::ftFloat},
      {memtable::TCurrency{1}, TFieldType::ftCurrency},
      {memtable::TDateTime{1}, TFieldType::ftDateTime},
      {true, TFieldType::ftBoolean},
      {std::string("x"), TFieldType::ftString},
      {memtable::TBytes{1}, TFieldType::ftBlob},
      {memtable::TBcd{}, TFieldType::ftFMTBcd},
      {memtable::TSQLTimeStamp{}, TFieldType::ftTimeStamp},
      {TVariant{}, TFieldType::ftUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Type));
    TDbParam param("P");
    param = c.Value;
    EXPECT_EQ(param.DataType(), c.Type);
    param = std::string("later text");
    EXPECT_EQ(param.DataType(), c.Type == TFieldType::ftUnknown ? TFieldType::ftString : c.Type)
        << "a typed parameter keeps its type";
  }
  TDbParam typedNull("N");
  typedNull.SetDataType(TFieldType::ftInteger);
  typedNull = TVariant{};
  EXPECT_EQ(typedNull.DataType(), TFieldType::ftInteger);
  EXPECT_TRUE(typedNull.IsNull());
}

}  // namespace
}  // namespace tandemize::dbaccess

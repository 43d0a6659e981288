// The behaviour every database kind shares, run once per registered kind
// against its real database.

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "database_lock.h"
#include "dbaccess/db_connection.h"
#include "dbaccess/internal/phys_values.h"
#include "dbaccess/test_kinds.h"

namespace tandemize::dbaccess {
namespace {

using memtable::TBytes;
using memtable::TFieldType;
using test::TTestKind;

// Values compare by their text, with dates and times read as timestamps so
// that a DATE column's "2024-02-29" equals the timestamp of that midnight.
std::string Canonical(const TVariant& value) {
  if (memtable::VarIsNull(value)) return "<NULL>";
  const std::string text = phys::VariantToText(value);
  memtable::TSQLTimeStamp ts;
  if (!std::holds_alternative<TBytes>(value) && phys::TextToTimeStamp(text, ts)) {
    return phys::TimeStampToText(ts);
  }
  return text;
}

class SharedKindTest : public ::testing::TestWithParam<TTestKind> {
 protected:
  void SetUp() override {
    const TTestKind& kind = GetParam();
    FSchemaLock.emplace(kind.SchemaLock);
    FLink.SetVendorLib(kind.VendorLib);
    FConnection.SetLoginPrompt(false);
    FConnection.BeforeConnect = [this, &kind](TDbConnection& connection) {
      ++FBeforeConnectCalls;
      connection.Params().SetValue("DriverID", kind.DriverID);
      kind.Fill(connection.Params());
    };
  }

  void Exec(const std::string& sql) {
    TDbQuery query(&FConnection);
    query.SQL().SetText(sql);
    query.ExecSQL();
  }

  void Recreate(const std::string& table, const std::string& columns) {
    for (const std::string& sql : GetParam().RecreateTable(table, columns)) Exec(sql);
  }

  // The table of every column type the value tests use.
  void RecreateValuesTable(const std::string& table) {
    const TTestKind& k = GetParam();
    Recreate(table, "id " + k.IntType + " NOT NULL PRIMARY KEY, c_int " + k.IntType + ", c_big " +
                        k.BigIntType + ", c_small " + k.SmallIntType + ", c_dbl " + k.DoubleType +
                        ", c_dec " + k.Decimal18Type + ", c_bcd " + k.Decimal30Type + ", c_ts " +
                        k.TimestampType + ", c_date " + k.DateType + ", c_bool " + k.BooleanType +
                        ", c_txt " + k.TextType + ", c_blob " + k.BlobType);
  }

  std::int64_t Count(const std::string& table) {
    TDbQuery query(&FConnection);
    query.SQL().SetText("SELECT count(*) FROM " + table);
    query.Open();
    return phys::VariantToInt64(query.FieldValue(0));
  }

  std::optional<harness::TDatabaseLock> FSchemaLock;  // released after the connection closes
  TDbDriverLink FLink{GetParam().DriverID};
  TDbConnection FConnection;
  int FBeforeConnectCalls = 0;
};

TEST_P(SharedKindTest, ConnectsWithTheSettingsOfTheBeforeConnectNotification) {
  ASSERT_FALSE(FConnection.Connected());
  FConnection.SetConnected(true);
  EXPECT_TRUE(FConnection.Connected());
  EXPECT_EQ(FBeforeConnectCalls, 1);
  EXPECT_EQ(FConnection.Params().DriverID(), GetParam().DriverID);
  FConnection.SetConnected(false);
  EXPECT_FALSE(FConnection.Connected());
  FConnection.SetConnected(false);  // closing a closed connection does nothing
  FConnection.SetConnected(true);
  EXPECT_EQ(FBeforeConnectCalls, 2) << "every attempt runs the notification";
  Recreate("tz_connect", "id " + GetParam().IntType);
  EXPECT_EQ(Count("tz_connect"), 0);
}

TEST_P(SharedKindTest, AFailedConnectionGivesTheKindsMessage) {
  ASSERT_FALSE(GetParam().FailedConnects.empty());
  for (const test::TFailedConnect& failure : GetParam().FailedConnects) {
    SCOPED_TRACE(failure.Label);
    TDbConnection connection;
    connection.BeforeConnect = [&](TDbConnection& c) {
      c.Params().SetValue("DriverID", GetParam().DriverID);
      GetParam().Fill(c.Params());
      failure.Spoil(c.Params());
    };
    try {
      connection.SetConnected(true);
      ADD_FAILURE() << "connected";
    } catch (const memtable::EDatabaseError& error) {
      const std::string message = error.what();
      EXPECT_EQ(message.rfind(GetParam().ErrorPrefix, 0), 0u) << message;
      EXPECT_GT(message.size(), GetParam().ErrorPrefix.size()) << "the client's text follows";
    }
    EXPECT_FALSE(connection.Connected());
  }
}

TEST_P(SharedKindTest, TransactionsCommitOrRollBack) {
  Recreate("tz_tx", "id " + GetParam().IntType + ", txt " + GetParam().TextType);
  enum class TEnd { Commit, Rollback, Disconnect };
  struct Case {
    const char* Label;
    TEnd End;
    std::int64_t RowsAfter;  // the committed row of the first case stays
  };
  const Case cases[] = {{"commit keeps the row", TEnd::Commit, 1},
                        {"rollback drops it", TEnd::Rollback, 1},
                        {"closing the connection drops it", TEnd::Disconnect, 1}};
  int id = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    ++id;
    FConnection.StartTransaction();
    EXPECT_TRUE(FConnection.InTransaction());
    {
      TDbQuery insert(&FConnection);
      insert.SQL().Add("INSERT INTO tz_tx (id, txt)");
      insert.SQL().Add("VALUES (:id, :txt)");
      insert.ParamByName("id") = std::int32_t{id};
      insert.ParamByName("txt") = std::string("row ") + std::to_string(id);
      insert.ExecSQL();
      TDbQuery select(&FConnection);
      select.SQL().SetText("SELECT txt FROM tz_tx WHERE id = :id");
      select.Params()[0] = std::int32_t{id};
      select.Open();
      ASSERT_FALSE(select.IsEmpty()) << "the open transaction sees its own row";
      EXPECT_EQ(Canonical(select.FieldValue("TXT")), "row " + std::to_string(id));
    }
    switch (c.End) {
      case TEnd::Commit:
        FConnection.Commit();
        break;
      case TEnd::Rollback:
        FConnection.Rollback();
        break;
      case TEnd::Disconnect:
        FConnection.SetConnected(false);
        break;
    }
    EXPECT_FALSE(FConnection.InTransaction());
    EXPECT_EQ(Count("tz_tx"), c.RowsAfter);
  }
}

TEST_P(SharedKindTest, MarkersBecomeOneParameterPerNameAndSkipLiteralsAndComments) {
  Recreate("tz_markers", "id " + GetParam().IntType + ", txt " + GetParam().TextType);
  TDbQuery insert(&FConnection);
  insert.SQL().SetText("INSERT INTO tz_markers (id, txt) VALUES (:Id, :\"Txt\")");
  ASSERT_EQ(insert.Params().Count(), 2);
  EXPECT_EQ(insert.Params()[0].Name(), "ID");
  EXPECT_EQ(insert.Params()[1].Name(), "Txt");
  insert.ParamByName("id") = std::int32_t{7};
  insert.ParamByName("TXT") = std::string("seven");
  insert.ExecSQL();
  EXPECT_EQ(insert.RowsAffected(), 1);

  TDbQuery select(&FConnection);
  select.SQL().Add("SELECT ':notparam' AS lit, txt");
  select.SQL().Add("-- :ignored too");
  select.SQL().Add("FROM tz_markers WHERE id = :id AND id = :ID");
  ASSERT_EQ(select.Params().Count(), 1);
  EXPECT_EQ(select.Params()[0].Name(), "ID");
  select.Params()[0] = std::int32_t{7};
  select.Open();
  ASSERT_FALSE(select.IsEmpty());
  EXPECT_EQ(Canonical(select.FieldValue("lit")), ":notparam");
  EXPECT_EQ(Canonical(select.FieldValue("txt")), "seven");
  select.Next();
  EXPECT_TRUE(select.Eof());

  select.Params()[0] = std::int32_t{8};
  select.Open();
  EXPECT_TRUE(select.IsEmpty());
}

TEST_P(SharedKindTest, EveryValueKindBindsAndReadsBack) {
  RecreateValuesTable("tz_values");
  TBytes large(3 * 1024 * 1024 + 17);
  std::mt19937 random(42);
  for (auto& byte : large) byte = static_cast<std::uint8_t>(random());
  memtable::TBcd bcd;
  ASSERT_TRUE(phys::TextToBcd("-12345678901234567890.0123456789", bcd));
  memtable::TSQLTimeStamp ts{1999, 12, 31, 23, 59, 59, 999};
  memtable::TSQLTimeStamp date{2024, 2, 29, 0, 0, 0, 0};

  struct Case {
    const char* Column;
    TVariant Value;
    std::string Expected;
    TFieldType NullType = TFieldType::ftUnknown;  // the field type of a NULL
  };
  const Case cases[] = {
      {"c_small", std::int16_t{-1234}, "-1234"},
      {"c_int", std::int32_t{2147483647}, "2147483647"},
      {"c_small", std::int8_t{-7}, "-7"},
      {"c_small", std::uint8_t{200}, "200"},
      {"c_int", std::uint16_t{65535}, "65535"},
      {"c_big", std::uint32_t{4000000000u}, "4000000000"},
      {"c_big", std::int64_t{-9007199254740993}, "-9007199254740993"},
      {"c_big", std::uint64_t{9223372036854775807u}, "9223372036854775807"},
      {"c_dbl", 1.5f, "1.5"},
      {"c_dbl", 3.141592653589793, "3.141592653589793"},
      {"c_dec", memtable::TCurrency{1234567891}, "123456.7891"},
      {"c_bcd", bcd, "-12345678901234567890.0123456789"},
      {"c_ts", memtable::TDateTime{45351.573263888889}, "2024-02-29 13:45:30"},
      {"c_ts", ts, "1999-12-31 23:59:59.999"},
      {"c_date", date, "2024-02-29 00:00:00"},
      {"c_bool", true, "1"},
      {"c_bool", false, "0"},
      {"c_txt", std::string("Ação, çedilha, Ünïcödé"), "Ação, çedilha, Ünïcödé"},
      {"c_txt", std::string("漢字テキスト 한국어"), "漢字テキスト 한국어"},
      {"c_txt", std::string("emoji 😀🎉 outside the BMP"), "emoji 😀🎉 outside the BMP"},
      {"c_blob", TBytes{0, 1, 0, 255, 'a'},
       std::string("\0\1\0\xff"
                   "a",
                   5)},
      {"c_blob", large, std::string(large.begin(), large.end())},
      {"c_int", TVariant{}, "<NULL>", TFieldType::ftInteger},
      {"c_txt", TVariant{}, "<NULL>", TFieldType::ftString},
      {"c_blob", TVariant{}, "<NULL>", TFieldType::ftBlob},
      {"c_ts", TVariant{}, "<NULL>", TFieldType::ftDateTime},
  };
  int id = 0;
  for (const Case& c : cases) {
    ++id;
    SCOPED_TRACE(std::string(c.Column) + " row " + std::to_string(id));
    TDbQuery insert(&FConnection);
    insert.SQL().SetText(std::string("INSERT INTO tz_values (id, ") + c.Column +
                         ") VALUES (:id, :v)");
    insert.ParamByName("id") = std::int32_t{id};
    if (c.NullType != TFieldType::ftUnknown) insert.ParamByName("v").SetDataType(c.NullType);
    insert.ParamByName("v") = c.Value;
    if (c.NullType == TFieldType::ftUnknown) {
      EXPECT_EQ(insert.ParamByName("v").DataType(), TDbParam::DataTypeOf(c.Value));
    }
    ASSERT_NO_THROW(insert.ExecSQL());

    TDbQuery select(&FConnection);
    select.SQL().SetText(std::string("SELECT ") + c.Column + " FROM tz_values WHERE id = :id");
    select.ParamByName("id") = std::int32_t{id};
    select.Open();
    ASSERT_FALSE(select.IsEmpty());
    const std::string got = Canonical(select.FieldValue(0));
    if (got.size() > 200) {
      EXPECT_TRUE(got == c.Expected) << "large value of " << got.size() << " bytes differs";
    } else {
      EXPECT_EQ(got, c.Expected);
    }
  }
}

TEST_P(SharedKindTest, AnUntypedNullIsRefusedWhereTheKindChecksIt) {
  Recreate("tz_null", "id " + GetParam().IntType + ", txt " + GetParam().TextType);
  TDbQuery insert(&FConnection);
  insert.SQL().SetText("INSERT INTO tz_null (id, txt) VALUES (:id, :txt)");
  insert.ParamByName("id") = std::int32_t{1};
  insert.ParamByName("txt") = TVariant{};
  ASSERT_EQ(insert.ParamByName("txt").DataType(), TFieldType::ftUnknown);
  if (!GetParam().ChecksUntypedParams) {
    insert.ExecSQL();
    EXPECT_EQ(Count("tz_null"), 1);
    return;
  }
  try {
    insert.ExecSQL();
    FAIL() << "an untyped parameter ran";
  } catch (const memtable::EDALException& error) {
    EXPECT_EQ(error.Code(), 335);
    EXPECT_STREQ(error.what(),
                 memtable::FormatDalMessage(
                     {"Phys", GetParam().DriverID}, 335,
                     "Parameter [TXT] data type is unknown. Hint: specify TDbParam.DataType or "
                     "assign TDbParam value before Prepare/Execute call")
                     .c_str());
  }
  EXPECT_EQ(Count("tz_null"), 0);
}

TEST_P(SharedKindTest, AStatementTextIsPreparedOncePerConnection) {
  Recreate("tz_reuse", "id " + GetParam().IntType + ", txt " + GetParam().TextType);
  FConnection.StartTransaction();
  const std::uint64_t before = FConnection.PrepareCount();
  {
    TDbQuery insert(&FConnection);
    insert.SQL().SetText("INSERT INTO tz_reuse (id, txt) VALUES (:id, :txt)");
    for (std::int32_t id = 1; id <= 10000; ++id) {
      insert.ParamByName("id") = id;
      insert.ParamByName("txt") = std::string("row");
      insert.ExecSQL();
    }
  }
  EXPECT_EQ(FConnection.PrepareCount() - before, 1u) << "10,000 runs, one prepare";

  // The upsert pattern: one query object alternating between texts, and new
  // query objects with a text already seen.
  const std::string texts[] = {"SELECT count(*) FROM tz_reuse WHERE id = :id",
                               "UPDATE tz_reuse SET txt = :txt WHERE id = :id"};
  for (std::int32_t id = 1; id <= 50; ++id) {
    TDbQuery query(&FConnection);
    for (const std::string& text : texts) {
      query.SQL().SetText(text);
      query.ParamByName("id") = id;
      if (query.Params().FindParam("txt") != nullptr) {
        query.ParamByName("txt") = std::string("changed");
        query.ExecSQL();
      } else {
        query.Open();
        EXPECT_EQ(phys::VariantToInt64(query.FieldValue(0)), 1);
      }
    }
  }
  EXPECT_EQ(FConnection.PrepareCount() - before, 3u) << "each distinct text prepared once";
  FConnection.Commit();
  EXPECT_EQ(Count("tz_reuse"), 10000);
}

std::string KindName(const ::testing::TestParamInfo<TTestKind>& info) {
  return info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Kinds, SharedKindTest, ::testing::ValuesIn(test::TestKinds()), KindName);

}  // namespace
}  // namespace tandemize::dbaccess

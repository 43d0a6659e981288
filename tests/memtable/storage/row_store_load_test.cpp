// Loading a stream straight into the row store: the rows read in place must
// give exactly what reading the whole description first and moving it into
// the row store gives (rows, RowIDs, journals, settings), and a broken
// stream must fail with the same error, whatever byte of it is broken.

#include <gtest/gtest.h>

#include <sstream>
#include <typeinfo>

#include "memtable/errors.h"
#include "memtable/mem_table.h"
#include "memtable/storage/internal/value_codec.h"
#include "memtable/storage/stream_bytes.h"
#include "memtable/storage/stream_reader.h"
#include "memtable/storage/stream_writer.h"
#include "text/charset.h"

namespace tandemize::memtable::storage {
namespace {

using enum TColumnDataType;
using enum TRowStoreRowState;
using enum TRowStoreBufferKind;

std::string Hex(const void* aData, std::size_t aSize) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(aData);
  std::string out;
  for (std::size_t i = 0; i < aSize; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// A value with its alternative, exactly (floats by their bits).
std::string ShowExactly(const TVariant& aValue) {
  std::ostringstream out;
  out << aValue.index() << ':';
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          out << v;
        } else if constexpr (std::is_same_v<T, TBytes>) {
          out << Hex(v.data(), v.size());
        } else if constexpr (std::is_same_v<T, TSQLTimeStamp>) {
          out << v.Year << '-' << v.Month << '-' << v.Day << ' ' << v.Hour << ':' << v.Minute << ':'
              << v.Second << '.' << v.Fractions;
        } else if constexpr (std::is_same_v<T, TBcdValue>) {
          out << Hex(&v.Get(), sizeof(TBcd));
        } else if constexpr (!std::is_same_v<T, std::monostate>) {
          out << Hex(&v, sizeof v);
        }
      },
      aValue);
  return out.str();
}

int RowIndex(const TRowStoreTable& aTable, const TRowStoreRow* aRow) {
  for (std::size_t r = 0; r < aTable.RowCount(); ++r) {
    if (&aTable.Row(r) == aRow) return static_cast<int>(r);
  }
  return -1;
}

void ShowJournal(std::ostream& aOut, const TRowStoreManager& aManager,
                 const TRowStoreUpdatesJournal* aJournal) {
  if (aJournal == nullptr) return;
  aOut << " journal " << aJournal->SavePoint << ':';
  for (const TRowStoreChange& change : aJournal->Changes) {
    aOut << ' ' << aManager.IndexOfTable(*change.Table) << '/'
         << RowIndex(*change.Table, change.Row) << '#' << change.ChangeNumber;
  }
  aOut << '\n';
}

// Everything a loaded row store shows: the description as the writer
// serializes it, then per table what the writer leaves out (RowID
// accounting, auto-increment, change numbers, errors, journals) and
// every value exactly.
std::string Dump(TRowStoreManager& aManager) {
  std::ostringstream out;
  try {
    const std::string description = WriteBinaryStream(aManager);
    out << Hex(description.data(), description.size()) << '\n';
  } catch (const std::exception& e) {
    out << "unwritable: " << e.what() << '\n';
  }
  out << aManager.Name << ' ' << aManager.UpdatesRegistry << ' ' << aManager.Relations.size()
      << '\n';
  ShowJournal(out, aManager, aManager.UpdatesJournal.get());
  for (std::size_t t = 0; t < aManager.TableCount(); ++t) {
    TRowStoreTable& table = aManager.Table(t);
    out << "table " << table.Name << " next " << table.NextRowID() << " ordered "
        << table.RowsOrdered() << " enforce " << table.EnforceConstraints << '\n';
    for (std::size_t c = 0; c < table.ColumnCount(); ++c) {
      TRowStoreColumn& column = table.Column(c);
      if (column.AutoIncrement)
        out << " autoinc " << c << ' ' << column.NextAutoIncValue().value_or(-1) << '\n';
    }
    ShowJournal(out, aManager, table.UpdatesJournal.get());
    for (std::size_t r = 0; r < table.RowCount(); ++r) {
      const TRowStoreRow& row = table.Row(r);
      out << " row " << row.RowID() << ' ' << static_cast<int>(row.RowState()) << ' '
          << static_cast<int>(row.RowPriorState()) << " change " << row.ChangeNumber();
      if (const TRowStoreRowError* error = row.Error()) {
        out << " error " << error->ClassName << ' ' << error->FDCode << ' ' << error->Message << ' '
            << error->DBErrors.size();
      }
      for (const TRowStoreBufferKind kind : {bkOriginal, bkCurrent, bkProposed}) {
        const TRowStoreRowBuffer* buffer = row.Buffer(kind);
        if (buffer == nullptr) continue;
        out << "\n  buffer " << static_cast<int>(kind) << ':';
        for (std::size_t c = 0; c < buffer->Count(); ++c) {
          out << " [" << ShowExactly(buffer->GetValue(c)) << ']';
        }
      }
      out << '\n';
    }
  }
  return out.str();
}

std::string Failure(const std::exception& e) {
  const auto* dal = dynamic_cast<const EDALException*>(&e);
  return std::string("failed: ") + typeid(e).name() + " " +
         (dal ? std::to_string(dal->Code()) : "") + " " + e.what();
}

// The whole description read first, then moved into the row store.
std::string ThroughDescription(const std::string& aStream) {
  try {
    TStreamManager description = ReadBinaryStream(aStream);
    TRowStoreManager manager;
    MoveToRowStore(description, manager);
    return Dump(manager);
  } catch (const std::exception& e) {
    return Failure(e);
  }
}

// The rows read straight into the row store.
std::string Direct(const std::string& aStream) {
  try {
    TRowStoreManager manager;
    LoadRowStore(aStream, manager);
    return Dump(manager);
  } catch (const std::exception& e) {
    return Failure(e);
  }
}

// Tables with every value kind, rows out of RowID order and repeating a
// RowID, row errors, all three row versions, auto-increment, two tables of
// one name, one without rows, the table's own journal and the manager's.
TStreamManager MixedDescription(int aVersion = kCurrentStreamVersion, bool aEveryKind = true) {
  TStreamManager m;
  m.Name = "mixed";
  m.UpdatesRegistry = true;
  TStreamTable& t = m.AddTable("items");
  t.EnforceConstraints = false;
  const std::vector<std::pair<TColumnDataType, TVariant>> kinds = {
      {dtInt32, std::int32_t{-7}},
      {dtWideString,
       std::string("Jo\xC3\xA3o \xF0\x9F\x98\x80 a\xC3\xA7\xC3\xA3o longer than sixteen")},
      {dtAnsiString, std::string("caf\xC3\xA9 \xE2\x82\xAC")},
      {dtBoolean, std::uint16_t{1}},
      {dtSByte, std::int8_t{-3}},
      {dtInt16, std::int16_t{-300}},
      {dtInt64, std::int64_t{-1} << 40},
      {dtByte, std::uint8_t{200}},
      {dtUInt16, std::uint16_t{60000}},
      {dtUInt32, std::uint32_t{4000000000U}},
      {dtUInt64, std::uint64_t{1} << 63},
      {dtSingle, 1.25F},
      {dtDouble, -2.5},
      {dtExtended, 3.75},
      {dtCurrency, TCurrency{123456}},
      {dtBCD, TBcd{4, 0x82, {0x12, 0x34}}},
      {dtDateTime, 3.9e12},
      {dtTime, std::int32_t{3600000}},
      {dtDate, std::int32_t{738000}},
      {dtDateTimeStamp, TSQLTimeStamp{2024, 2, 29, 23, 59, 58, 123}},
      {dtBlob, TBytes{0, 1, 2, 255}},
      {dtByteString, TBytes{9, 8}},
      {dtMemo, std::string("memo")},
      {dtWideMemo, std::string("wide memo \xC3\xB1")},
      {dtGUID, TBytes(16, 0xAB)},
  };
  for (std::size_t c = 0; c < kinds.size(); ++c) {
    // Version 1 streams lack some of the types.
    if (aVersion == 1 && ToOldDataTypeOrdinal(static_cast<int>(kinds[c].first)) < 0) continue;
    // One type of each payload layout: fixed, counted, wide, float, decimal.
    if (!aEveryKind && c > 3 && kinds[c].first != dtExtended && kinds[c].first != dtBCD &&
        kinds[c].first != dtBlob) {
      continue;
    }
    t.AddColumn("c" + std::to_string(c), kinds[c].first);
  }
  t.Columns[0]->AutoIncrement = true;
  const auto fill = [&](TStreamRow& aRow, TRowStoreBufferKind aKind, int aShift) {
    for (std::size_t c = 0; c < t.Columns.size(); ++c) {
      for (const auto& [type, value] : kinds) {
        if (type != t.Columns[c]->DataType) continue;
        if (type == dtInt32 && c == 0) {
          SetStreamValue(t, aRow, aKind, c, std::int32_t{aShift * 10});
        } else if ((c + static_cast<std::size_t>(aShift)) % 5 != 0) {
          SetStreamValue(t, aRow, aKind, c, value);
        }
      }
    }
  };
  const std::vector<std::pair<std::uint32_t, TRowStoreRowState>> rows = {
      {7, rsUnchanged}, {3, rsModified}, {3, rsInserted},
      {12, rsDeleted},  {9, rsEditing},  {0xFFFFFFFF, rsUnchanged}};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    TStreamRow& row = t.AddRow(rows[i].second);
    row.RowID = rows[i].first;
    const int shift = static_cast<int>(i) + 1;
    if (rows[i].second != rsInserted) fill(row, bkOriginal, shift);
    if (rows[i].second == rsModified || rows[i].second == rsInserted ||
        rows[i].second == rsEditing) {
      fill(row, bkCurrent, shift + 1);
    }
    if (rows[i].second == rsEditing) {
      row.RowPriorState = rsModified;
      fill(row, bkProposed, shift + 2);
    }
  }
  t.Rows[1]->Error = std::make_unique<TStreamError>("SQLiteNativeException");
  t.Rows[1]->Error->FDCode = 5;
  t.Rows[1]->Error->Message = "locked";
  t.Rows[1]->Error->DBErrors.push_back({1, 2, 3, "busy", "items", 4, 5});
  t.Rows[3]->Error = std::make_unique<TStreamError>();
  t.Rows[3]->Error->Message = "plain";
  t.Journal = std::make_unique<TStreamJournal>(false);
  t.Journal->SavePoint = 4;
  t.Journal->Changes = {{-1, 3, 8}, {-1, 12, 9}, {-1, 77, 10}};

  m.AddTable("items").AddColumn("only", dtInt32);
  TStreamTable& orders = m.AddTable("orders");
  orders.AddColumn("client", dtInt32);
  orders.AddColumn("note", aVersion == 1 ? dtMemo : dtWideString);
  for (int i = 0; i < 3; ++i) {
    TStreamRow& row = orders.AddRow(rsInserted);
    SetStreamValue(orders, row, bkCurrent, 0, std::int32_t{i});
    SetStreamValue(orders, row, bkCurrent, 1, std::string(static_cast<std::size_t>(i) * 7, 'n'));
  }
  m.Journal = std::make_unique<TStreamJournal>(true);
  m.Journal->SavePoint = 2;
  m.Journal->Changes = {{0, 7, 1}, {2, 1, 2}, {0, 3, 3}, {2, 40, 4}};
  return m;
}

TEST(RowStoreLoad, EveryVersionLoadsAsTheDescriptionMovedIntoTheRowStore) {
  for (int version = 1; version <= 15; ++version) {
    SCOPED_TRACE(version);
    const std::string stream = WriteBinaryStream(MixedDescription(version), {.Version = version});
    const std::string expected = ThroughDescription(stream);
    ASSERT_EQ(expected.rfind("failed", 0), std::string::npos) << expected;
    EXPECT_EQ(Direct(stream), expected);
  }
}

// Streams before version 4 name each value by its column, and names are read
// ignoring case: with columns "nome" and "NOME", a row whose "nome" is null
// must not take the value stored under "NOME", by either way of loading.
TEST(RowStoreLoad, ColumnsNamedAlikeIgnoringCaseKeepTheirOwnValues) {
  constexpr std::int32_t kNull = -1;
  const std::int32_t rows[][2] = {{kNull, 2}, {1, kNull}, {1, 2}};
  for (int version = 1; version <= 15; ++version) {
    SCOPED_TRACE(version);
    TStreamManager m;
    TStreamTable& t = m.AddTable("pessoas");
    t.AddColumn("nome", dtInt32);
    t.AddColumn("NOME", dtInt32);
    for (const auto& values : rows) {
      TStreamRow& row = t.AddRow(rsInserted);
      for (std::size_t c = 0; c < 2; ++c) {
        if (values[c] != kNull) SetStreamValue(t, row, bkCurrent, c, values[c]);
      }
    }
    const std::string stream = WriteBinaryStream(m, {.Version = version});
    for (const bool direct : {false, true}) {
      SCOPED_TRACE(direct ? "direct" : "through the description");
      TRowStoreManager manager;
      if (direct) {
        LoadRowStore(stream, manager);
      } else {
        TStreamManager description = ReadBinaryStream(stream);
        MoveToRowStore(description, manager);
      }
      ASSERT_EQ(manager.TableCount(), 1u);
      const TRowStoreTable& table = manager.Table(0);
      ASSERT_EQ(table.RowCount(), std::size(rows));
      for (std::size_t r = 0; r < std::size(rows); ++r) {
        const TRowStoreRowBuffer* buffer = table.Row(r).Buffer(bkCurrent);
        ASSERT_NE(buffer, nullptr);
        for (std::size_t c = 0; c < 2; ++c) {
          const TVariant expected =
              rows[r][c] == kNull ? TVariant{} : TVariant{std::int32_t{rows[r][c]}};
          EXPECT_EQ(ShowExactly(buffer->GetValue(c)), ShowExactly(expected))
              << "row " << r << " column " << c;
        }
      }
    }
  }
}

// Cuts, and every byte of the object data set to values that make markers,
// lengths and numbers go wrong: both ways of loading agree on
// the row store or on the error, its type and its text.
TEST(RowStoreLoad, BrokenStreamsFailAsTheDescriptionFails) {
  for (const int version : {3, 15}) {
    SCOPED_TRACE(version);
    const std::string stream =
        WriteBinaryStream(MixedDescription(version, false), {.Version = version});
    const std::size_t dataEnd =
        static_cast<unsigned char>(stream[8]) | (static_cast<unsigned char>(stream[9]) << 8);
    std::vector<std::string> broken;
    for (std::size_t n = 0; n < stream.size(); n += 7) broken.push_back(stream.substr(0, n));
    for (std::size_t n = 0; n + 12 < dataEnd; n += 2) {
      broken.push_back(testing::WithDataCut(stream, n));
    }
    for (std::size_t at = 12; at < dataEnd; ++at) {
      for (const unsigned char value :
           {0xFE, 0xFF, static_cast<unsigned char>(stream[at]) ^ 0x80}) {
        if (static_cast<unsigned char>(stream[at]) == value) continue;
        std::string changed = stream;
        changed[at] = static_cast<char>(value);
        broken.push_back(std::move(changed));
      }
    }
    for (const std::string& b : broken) {
      const std::string expected = ThroughDescription(b);
      const std::string direct = Direct(b);
      if (direct != expected) {
        ADD_FAILURE() << "differs for a stream of " << b.size()
                      << " bytes\nexpected: " << expected.substr(0, 300)
                      << "\ndirect:   " << direct.substr(0, 300);
        break;
      }
    }
  }
}

TEST(RowStoreLoad, VersionNineRowsObjectMayCarryTheUpdatesName) {
  const std::string v9 = WriteBinaryStream(MixedDescription(), {.Version = 9});
  std::vector<std::string> names = testing::DictionaryOf(v9);
  for (std::string& name : names) {
    if (name == "TableRowList") name = "TableRowList_Updates";
  }
  const std::string renamed = testing::WithDictionary(v9, names);
  const std::string expected = ThroughDescription(renamed);
  ASSERT_EQ(expected.rfind("failed", 0), std::string::npos) << expected;
  EXPECT_EQ(Direct(renamed), expected);
}

// A table that fails to load leaves an empty row store behind, not the
// rows read before the failure.
TEST(RowStoreLoad, AFailedLoadLeavesTheRowStoreEmpty) {
  const std::string stream = WriteBinaryStream(MixedDescription());
  const std::size_t dataEnd =
      static_cast<unsigned char>(stream[8]) | (static_cast<unsigned char>(stream[9]) << 8);
  for (const std::size_t cut : {dataEnd - 12 - 1, dataEnd - 12 - 40, (dataEnd - 12) / 2}) {
    SCOPED_TRACE(cut);
    TMemTable t;
    t.Manager().Name = "kept";
    EXPECT_THROW(t.LoadFromStream(testing::WithDataCut(stream, cut), TStorageFormat::sfBinary),
                 std::exception);
    EXPECT_EQ(t.Manager().TableCount(), 0u);
    EXPECT_EQ(t.Manager().Name, "kept");
    EXPECT_EQ(t.Manager().UpdatesJournal, nullptr);
    EXPECT_TRUE(t.Manager().Relations.empty());
  }
}

// Wide text is converted from the payload bytes directly; it must read as
// the UTF-16 conversion reads it, lone surrogates and long texts included.
TEST(RowStoreLoad, WideTextDecodesAsUtf16) {
  const std::vector<std::u16string> cases = {
      u"",
      u"plain ascii text!",
      u"a\u00e7\u00e3o Jo\u00e3o \u00d1and\u00fa",
      u"\u20ac\u4e2d\uffff\u0800\u07ff\u0080\u007f",
      u"\U0001F600 pair, then text",
      std::u16string(u"lone high \xD800 in text"),
      std::u16string(u"lone low \xDC00"),
      std::u16string(u"high at end \xD83D"),
      std::u16string(u"\xD83D\xD83D\xDE00 high then pair"),
      std::u16string(u"\xDE00\xD83D reversed pair"),
      std::u16string(600, u'\u00e9') + u"\U0001F600" + std::u16string(900, u'x') + u"\xD800",
      std::u16string(513, u'\u4e2d'),
  };
  for (const std::u16string& units : cases) {
    std::string bytes;
    for (const char16_t u : units) {
      bytes.push_back(static_cast<char>(u & 0xFF));
      bytes.push_back(static_cast<char>(u >> 8));
    }
    SCOPED_TRACE(text::Utf16ToUtf8(units));
    EXPECT_EQ(ShowExactly(DecodeValue(dtWideString, bytes)),
              ShowExactly(TVariant(text::Utf16ToUtf8(units))));
    // A stray odd byte at the end is not part of the text.
    EXPECT_EQ(ShowExactly(DecodeValue(dtWideMemo, bytes + "\x41")),
              ShowExactly(TVariant(text::Utf16ToUtf8(units))));
  }
}

}  // namespace
}  // namespace tandemize::memtable::storage

// The container: header, dictionary, properties, enumerations and values,
// checked against hand-assembled bytes, and the reader's refusals.

#include "memtable/storage/internal/bin_storage.h"

#include <gtest/gtest.h>

#include <cstring>

#include "memtable/errors.h"
#include "memtable/mem_table.h"
#include "memtable/storage/stream_bytes.h"
#include "memtable/storage/stream_format.h"
#include "memtable/storage/stream_reader.h"
#include "memtable/storage/stream_tree.h"
#include "memtable/storage/stream_writer.h"

namespace tandemize::memtable::storage {
namespace {

using testing::TStreamBytes;
using enum TColumnDataType;

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

TEST(BinStorageLayout, EmptyManagerMatchesHandAssembledBytes) {
  TStreamBytes expected;
  expected.Begin("Manager").Begin("TableList").End().Begin("RelationList").End().End();
  EXPECT_EQ(Hex(WriteBinaryStream(TStreamManager{})), Hex(expected.Finish(15)));

  // The header alone: magic, version 4, reserved zero, dictionary offset 21.
  const std::string v4 = WriteBinaryStream(TStreamManager{}, {.Version = 4});
  EXPECT_EQ(Hex(v4.substr(0, 12)), "41 44 42 53 04 00 00 00 15 00 00 00");
}

// Names 0..253 are real, 254 and 255 are the placeholders; the writer skips
// 510 and 511 the same way, so that no property id reads as a marker.
TEST(BinStorageLayout, DictionaryPlaceholdersKeepMarkerNumbersFree) {
  TBinStorage writer;
  writer.OpenWrite(15);
  writer.WriteObjectBegin("Manager");
  for (int i = 1; i <= 600; ++i) writer.WriteInteger("P" + std::to_string(i), i, 0);
  writer.WriteObjectEnd();
  const std::string stream = writer.Close();

  const std::vector<std::string> names = testing::DictionaryOf(stream);
  ASSERT_EQ(names.size(), 605u);
  EXPECT_EQ(names[253], "P253");
  EXPECT_EQ(names[254], "<end>");
  EXPECT_EQ(names[255], "<begin>");
  EXPECT_EQ(names[256], "P254");
  EXPECT_EQ(names[510], "<end>");
  EXPECT_EQ(names[511], "<begin>");
  // The property after P253 carries id 256 (0x0100).
  const std::string p254 = std::string("\x00\x01", 2) + std::string("\xFE\x00\x00\x00", 4);
  EXPECT_NE(stream.find(p254), std::string::npos);

  TBinStorage reader;
  reader.OpenRead(stream);
  reader.ReadObjectBegin("Manager");
  for (int i = 1; i <= 600; ++i) ASSERT_EQ(reader.ReadInteger("P" + std::to_string(i), 0), i) << i;
  EXPECT_TRUE(reader.IsObjectEnd());
}

TEST(BinStorageLayout, DictionaryOverflowFailsWith714) {
  TBinStorage writer;
  writer.OpenWrite(15);
  writer.WriteObjectBegin("Manager");
  try {
    for (int i = 0; i < 70000; ++i) writer.WriteInteger("N" + std::to_string(i), 1, 0);
    FAIL() << "no overflow";
  } catch (const EDALException& e) {
    EXPECT_EQ(e.Code(), 714);
    EXPECT_STREQ(e.what(), "[DAL][Stan]-714. Dictionary overflow");
  }
}

// An enumeration property: an ordinal in version 1 (old numbering), the name
// without prefix as text in version 4, the full name's number in version 15.
TEST(BinStorageLayout, EnumerationEncodingPerVersion) {
  struct Case {
    int version;
    TColumnDataType type;
    std::string payload;  // after the property id
    std::vector<std::string> extraNames;
  };
  TStreamBytes v1, v4, v15, v1Bytes;
  v1.U32(4);
  v4.Text("Int32");
  v15.U16(2);
  v1Bytes.U32(20);  // version 1 ordinal of dtByteString
  const Case cases[] = {
      {1, dtInt32, v1.Data(), {}},
      {1, dtByteString, v1Bytes.Data(), {}},
      {4, dtInt32, v4.Data(), {}},
      {15, dtInt32, v15.Data(), {"dtInt32"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    TBinStorage writer;
    writer.OpenWrite(c.version);
    writer.WriteObjectBegin("Column");
    writer.WriteEnum("DataType", kColumnDataTypeEnum, static_cast<int>(c.type), 0);
    writer.WriteObjectEnd();
    const std::string stream = writer.Close();

    TStreamBytes expected;
    expected.Begin("Column").Prop("DataType").Raw(c.payload);
    for (const std::string& name : c.extraNames) expected.Name(name);
    expected.End();
    EXPECT_EQ(Hex(stream), Hex(expected.Finish(static_cast<std::uint16_t>(c.version))));

    TBinStorage reader;
    reader.OpenRead(stream);
    reader.ReadObjectBegin("Column");
    EXPECT_EQ(reader.ReadEnum("DataType", kColumnDataTypeEnum, 0), static_cast<int>(c.type));
  }
}

TEST(BinStorageLayout, VersionOneDataTypeOrdinals) {
  const std::pair<std::uint32_t, TColumnDataType> cases[] = {{20, dtByteString}, {9, dtUInt64},
                                                             {10, dtDouble},     {0, dtUnknown},
                                                             {4, dtInt32},       {29, dtCursorRef}};
  for (const auto& [ordinal, type] : cases) {
    TStreamBytes bytes;
    bytes.Begin("Column").Prop("DataType").U32(ordinal).End();
    const std::string stream = bytes.Finish(1);
    TBinStorage reader;
    reader.OpenRead(stream);
    reader.ReadObjectBegin("Column");
    EXPECT_EQ(reader.ReadEnum("DataType", kColumnDataTypeEnum, 0), static_cast<int>(type))
        << ordinal;
  }
}

TEST(BinStorageLayout, PropertiesOutOfOrderReadAsDefaultsAndStayUnread) {
  TStreamBytes bytes;
  bytes.Begin("Table").Int("SourceID", 7).Bool("Nested", true).End();
  const std::string stream = bytes.Finish(15);
  TBinStorage reader;
  reader.OpenRead(stream);
  reader.ReadObjectBegin("table");  // names compare ignoring case
  EXPECT_EQ(reader.ReadString("Name", "dflt"), "dflt");
  EXPECT_FALSE(reader.ReadBoolean("Nested", false));  // SourceID stands first
  EXPECT_EQ(reader.ReadInteger("sourceid", 0), 7);
  EXPECT_TRUE(reader.TestProperty("Nested"));
  EXPECT_TRUE(reader.ReadBoolean("Nested", false));
  EXPECT_EQ(reader.ReadInteger("Nested", 5), 5);  // the end marker is no property
  EXPECT_TRUE(reader.IsObjectEnd());
}

// Values: an index prefix from version 4 (a name number before), a packed
// decimal as n bytes from version 4, text lengths in characters.
TEST(BinStorageLayout, ValuesByTypeAndVersion) {
  std::string bcd(34, '\0');
  bcd[0] = 4;  // four digits: (4 + 1) / 2 + 2 = 4 bytes stored
  bcd[1] = 2;
  bcd[2] = 0x12;
  bcd[3] = 0x34;
  struct Case {
    int version;
    TColumnDataType type;
    std::string value;
    std::string payload;  // after the prefix
    std::size_t length;
  };
  const std::string wide("h\0e\0l\0l\0o\0", 10);
  const Case cases[] = {
      {15, dtFmtBCD, bcd, std::string("\x04\x04\x02\x12\x34", 5), 34},
      {3, dtFmtBCD, bcd, bcd, 34},
      {15, dtWideString, wide, std::string("\x0A\0\0\0", 4) + wide, 5},
      {15, dtAnsiString, "0123456789", std::string("\x0A\0\0\0", 4) + "0123456789", 10},
      {15, dtInt16, std::string("\x01\x02", 2), std::string("\x01\x02", 2), 2},
      {15, dtObject, "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(DataTypeName(c.type)) + " v" + std::to_string(c.version));
    TBinStorage writer;
    writer.OpenWrite(c.version);
    writer.WriteObjectBegin("Current");
    writer.WriteValue("amount", 2, c.type, c.value);
    writer.WriteObjectEnd();
    const std::string stream = writer.Close();

    TStreamBytes expected;
    expected.Begin("Current");
    if (c.version >= 4) {
      expected.U16(2);
    } else {
      expected.Prop("amount");
    }
    expected.Raw(c.payload).End();
    EXPECT_EQ(Hex(stream), Hex(expected.Finish(static_cast<std::uint16_t>(c.version))));

    TBinStorage reader;
    reader.OpenRead(stream);
    reader.ReadObjectBegin("Current");
    TStorageValue value;
    EXPECT_FALSE(reader.ReadValue("other", TValueNaming::NameIgnoringCase, 1, c.type, value));
    ASSERT_TRUE(reader.ReadValue("amount", TValueNaming::NameIgnoringCase, 2, c.type, value));
    EXPECT_EQ(Hex(value.Bytes), Hex(c.value));
    EXPECT_EQ(value.Length, c.length);
  }
}

TEST(BinStorageLayout, ExtendedFloatIsNarrowedToDouble) {
  for (const double v : {0.0, 1.0, -2.5, 1e300, 3.141592653589793, -1e-300}) {
    TBinStorage writer;
    writer.OpenWrite(15);
    writer.WriteObjectBegin("Current");
    writer.WriteValue("x", 0, dtExtended, std::string_view(reinterpret_cast<const char*>(&v), 8));
    writer.WriteObjectEnd();
    const std::string stream = writer.Close();
    TBinStorage reader;
    reader.OpenRead(stream);
    reader.ReadObjectBegin("Current");
    TStorageValue value;
    ASSERT_TRUE(reader.ReadValue("x", TValueNaming::NameIgnoringCase, 0, dtExtended, value));
    double back;
    std::memcpy(&back, value.Bytes.data(), 8);
    EXPECT_EQ(back, v);
  }
  // 1.0 as an 80-bit float: mantissa 0x8000000000000000, exponent 0x3FFF.
  TStreamBytes bytes;
  bytes.Begin("Current").U16(0).Raw(std::string("\0\0\0\0\0\0\0\x80\xFF\x3F", 10)).End();
  const std::string stream = bytes.Finish(15);
  TBinStorage reader;
  reader.OpenRead(stream);
  reader.ReadObjectBegin();
  TStorageValue value;
  ASSERT_TRUE(reader.ReadValue("x", TValueNaming::NameIgnoringCase, 0, dtExtended, value));
  double one;
  std::memcpy(&one, value.Bytes.data(), 8);
  EXPECT_EQ(one, 1.0);
}

TEST(BinStorageDeferred, ActionsRunWhenTheOutermostLevelEndsInOrder) {
  TBinStorage storage;
  std::vector<std::string> ran;
  const auto record = [&](const std::string& n, const std::string& v) {
    ran.push_back(n + "=" + v);
  };
  storage.EnterObjectLevel();
  storage.DeferAction("A", "1", record);
  storage.DeferAction("", "ignored", record);
  storage.DeferAction("ignored", "", record);
  storage.EnterObjectLevel();
  storage.DeferAction("B", "2", record);
  storage.LeaveObjectLevel();
  EXPECT_TRUE(ran.empty());
  storage.LeaveObjectLevel();
  EXPECT_EQ(ran, (std::vector<std::string>{"A=1", "B=2"}));

  // A failing action still empties the list.
  storage.EnterObjectLevel();
  storage.DeferAction(
      "C", "3", [](const std::string&, const std::string&) { throw std::runtime_error("boom"); });
  EXPECT_THROW(storage.LeaveObjectLevel(), std::runtime_error);
  ran.clear();
  storage.EnterObjectLevel();
  storage.LeaveObjectLevel();
  EXPECT_TRUE(ran.empty());
}

// ---------------------------------------------------------------- refusals

struct RefusalCase {
  const char* what;
  std::string stream;
  std::string message;
};

std::string Valid() {
  TStreamBytes b;
  b.Begin("Manager").Begin("TableList").End().Begin("RelationList").End().End();
  return b.Finish(15);
}

std::string WithU32At(std::string s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::vector<RefusalCase> RefusalCases() {
  const std::string k710 = "[DAL][Stan]-710. Invalid binary storage format";
  std::vector<RefusalCase> cases;
  cases.push_back({"11 bytes", Valid().substr(0, 11), k710});
  std::string badMagic = Valid();
  badMagic[3] = 'X';
  cases.push_back({"magic", badMagic, k710});
  cases.push_back({"dictionary past end", WithU32At(Valid(), 8, 1000), k710});
  cases.push_back({"dictionary in header", WithU32At(Valid(), 8, 4), k710});
  std::string version0 = Valid();
  version0[4] = 0;
  cases.push_back({"version 0", version0, k710});
  std::string version16 = Valid();
  version16[4] = 16;
  cases.push_back({"version 16", version16, k710});
  {
    std::string s = Valid();
    s += std::string("\x10\x00\x41", 3);  // entry of 16 bytes with one present
    cases.push_back({"dictionary entry past end", s, k710});
  }
  {
    TStreamBytes b;
    b.Begin("Table").End();
    cases.push_back(
        {"root not Manager", b.Finish(15), "[DAL][Stan]-712. Cannot read [Manager] object"});
  }
  {
    TStreamBytes b;
    b.U8(0x00);
    b.Name("Manager");
    cases.push_back(
        {"no object begin", b.Finish(15), "[DAL][Stan]-712. Cannot read [<unknown>] object"});
  }
  {
    TStreamBytes b;
    b.U8(0xFF).U8(5).End();
    b.Name("Manager");
    cases.push_back({"name past dictionary", b.Finish(15), "List index out of bounds (5)"});
  }
  {
    TStreamBytes b;
    b.Begin("Manager").Prop("Name").U32(0xFFFFFFF0).End();
    cases.push_back({"huge byte count", b.Finish(15), k710});
  }
  {
    TStreamBytes b;
    b.Begin("Manager").Prop("Name").U32(3).Raw("abc").End();
    cases.push_back({"odd UTF-16 length", b.Finish(15), k710});
  }
  {
    TStreamBytes b;
    b.Begin("Manager").Begin("TableList").Begin("Table").Begin("ColumnList").Begin("Column");
    b.Enum("DataType", "dtNoSuchType").End().End();
    cases.push_back({"unknown enumeration value", b.Finish(15), k710});
  }
  const auto tableHead = [](TStreamBytes& b) {
    b.Begin("Manager").Begin("TableList").Begin("Table").Begin("ColumnList").End();
    b.Begin("ConstraintList").End().Begin("ViewList").Begin("View").Begin("ViewMechList");
  };
  {
    TStreamBytes b;
    tableHead(b);
    b.Begin("MechDistinct").End().End();
    cases.push_back({"unregistered mechanism", b.Finish(15),
                     "[DAL][Stan]-715. Class [MechDistinct] is not registered"});
  }
  {
    TStreamBytes b;
    tableHead(b);
    for (int i = 0; i < 200; ++i) b.Begin("List");
    cases.push_back({"nesting too deep", b.Finish(15), k710});
  }
  {
    TStreamBytes b;
    b.Begin("Manager").Bool("UpdatesRegistry", true).Begin("TableList").End();
    b.Begin("RelationList").End().Begin("UpdatesJournal").Begin("Changes").Begin("Change");
    b.Int("TabID", 3).End().End().End().End();
    cases.push_back({"journal names a missing table", b.Finish(15), k710});
  }
  {
    TStreamManager m;
    m.AddTable("t").AddColumn("id", dtInt32);
    cases.push_back({"data without meta", WriteBinaryStream(m, {.Items = {TStoreItem::siData}}),
                     "[DAL][Stan]-712. Cannot read [ColumnList] object"});
  }
  return cases;
}

TEST(BinStorageRefusal, BrokenStreamsFailWithTheirCode) {
  for (const RefusalCase& c : RefusalCases()) {
    SCOPED_TRACE(c.what);
    try {
      ReadBinaryStream(c.stream);
      ADD_FAILURE() << "loaded";
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    // The table reads rows straight into its row store: same refusal, and
    // nothing of the stream stays behind.
    TMemTable table;
    try {
      table.LoadFromStream(c.stream, TStorageFormat::sfBinary);
      ADD_FAILURE() << "loaded into a table";
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_EQ(table.Manager().TableCount(), 0u);
  }
}

}  // namespace
}  // namespace tandemize::memtable::storage

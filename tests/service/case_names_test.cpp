// Names that differ only in letter case, accented ones included, are one name
// from the envelope through the rows to the statements: an import into
// SQLite whose key and fields are spelt differently in the headers, the
// structure (or the stream's columns) and the rows writes every value where
// it belongs.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "memtable/storage/stream_writer.h"
#include "service/dm.h"

namespace tandemize::service {
namespace {

namespace fs = std::filesystem;

constexpr const char* kImported = R"({"success":true,"message":"Dados Importado com sucesso!"})";

class CaseNames : public ::testing::Test {
 protected:
  void SetUp() override {
    FFile = fs::temp_directory_path() / ("case_names_" + std::to_string(::getpid()) + ".db");
    fs::remove(FFile);
    Run(R"(CREATE TABLE produtos ("código" INTEGER PRIMARY KEY, "descrição" TEXT, "preço" REAL))");
    Run(R"(INSERT INTO produtos VALUES (1, 'antes', 1.5))");
  }
  void TearDown() override { fs::remove(FFile); }

  void Run(const std::string& aSql) {
    dbaccess::TDbConnection c;
    Open(c);
    dbaccess::TDbQuery q(&c);
    q.SQL().SetText(aSql);
    q.ExecSQL();
  }

  // The table's rows as "código|descrição|preço;..." in key order.
  std::string Rows() {
    dbaccess::TDbConnection c;
    Open(c);
    dbaccess::TDbQuery q(&c);
    q.SQL().SetText(R"(SELECT group_concat(line, ';') FROM (SELECT "código" || '|' || )"
                    R"(ifnull("descrição", 'null') || '|' || ifnull("preço", 'null') AS line )"
                    R"(FROM produtos ORDER BY "código"))");
    q.Open();
    const std::string rows = std::get<std::string>(q.FieldValue(0));
    q.Close();
    return rows;
  }

  std::string Params() const {
    return R"("params":{"tipo_sgdb":5,"database":")" + FFile.string() + "\"}";
  }

  std::string ImportJson(const std::string& aHeaders, const std::string& aTandemize) {
    text::TByteStream body;
    body.Write("{" + Params() + ",\"headers\":" + aHeaders + ",\"tandemize\":" + aTandemize + "}");
    return TDMInstance()->Tandemize("", &body, false);
  }

 private:
  void Open(dbaccess::TDbConnection& c) {
    c.Params().SetValue("DriverID", "SQLite");
    c.Params().SetValue("Database", FFile.string());
    c.SetConnected(true);
  }

  fs::path FFile;
};

// The statements write the envelope's names (their ASCII letters lowered in
// the existence query and the UPDATE), so they differ from the table's only
// in ASCII letters, which SQLite matches ignoring case; the structure and
// the rows spell the accented letters in any case.
constexpr const char* kHeaders =
    R"({"teble_name":"Produtos","pks":["Código"],"fields":["DESCRIçãO","Preço"]})";

TEST_F(CaseNames, JsonImportMatchesNamesAcrossEnvelopeStructureAndRows) {
  const std::string tandemize =
      R"({"structure":[{"fieldName":"CÓDIGO","dataType":"ftInteger","size":0},)"
      R"({"fieldName":"descrição","dataType":"ftWideString","size":30},)"
      R"({"fieldName":"PREÇO","dataType":"ftFloat","size":0}],)"
      R"("data":[{"código":1,"DESCRIÇÃO":"depois","preço":2.5},)"
      R"({"Código":2,"Descrição":"novo","PREÇO":3},)"
      R"({"preço":4.25,"descriçÃo":"sem ordem","cÓdIgO":3}]})";
  EXPECT_EQ(ImportJson(kHeaders, tandemize), kImported);
  EXPECT_EQ(Rows(), "1|depois|2.5;2|novo|3.0;3|sem ordem|4.25");
}

TEST_F(CaseNames, BinaryImportMatchesTheStreamsColumns) {
  using DT = memtable::TColumnDataType;
  using memtable::TRowStoreBufferKind;
  memtable::storage::TStreamManager m;
  memtable::storage::TStreamTable& t = m.AddTable("PRODUTOS");
  t.AddColumn("CÓDIGO", DT::dtInt32);
  t.AddColumn("Descrição", DT::dtWideString, 30);
  t.AddColumn("PREÇO", DT::dtDouble);
  const struct {
    std::int32_t Key;
    const char* Text;
    double Price;
  } rows[] = {{1, "depois", 2.5}, {2, "novo", 3}};
  for (const auto& r : rows) {
    auto& row = t.AddRow(memtable::TRowStoreRowState::rsInserted);
    memtable::storage::SetStreamValue(t, row, TRowStoreBufferKind::bkCurrent, 0, r.Key);
    memtable::storage::SetStreamValue(t, row, TRowStoreBufferKind::bkCurrent, 1,
                                      std::string(r.Text));
    memtable::storage::SetStreamValue(t, row, TRowStoreBufferKind::bkCurrent, 2, r.Price);
  }
  text::TByteStream body(memtable::storage::WriteBinaryStream(m));
  EXPECT_EQ(
      TDMInstance()->Tandemize("{" + Params() + ",\"headers\":" + kHeaders + "}", &body, true),
      kImported);
  EXPECT_EQ(Rows(), "1|depois|2.5;2|novo|3.0");
}

// Names that are one name ignoring case are refused as two fields, and a key
// the rows lack is named as the envelope spells it; nothing is written.
TEST_F(CaseNames, RefusalsUseTheSameRule) {
  struct Case {
    const char* Label;
    std::string Headers;
    std::string Tandemize;
    std::string Verdict;
  };
  const Case cases[] = {
      {"two fields, one name", R"({"teble_name":"produtos","pks":["código"],"fields":["ação"]})",
       R"({"structure":[{"fieldName":"código","dataType":"ftInteger","size":0},)"
       R"({"fieldName":"ação","dataType":"ftInteger","size":0},)"
       R"({"fieldName":"AÇÃO","dataType":"ftInteger","size":0}],"data":[{"código":9}]})",
       R"({"success":false,"message":"Duplicate field name 'A\u00c7\u00c3O'"})"},
      {"a key the rows lack",
       R"({"teble_name":"produtos","pks":["código"],"fields":["descrição"]})",
       R"({"structure":[{"fieldName":"codigo","dataType":"ftInteger","size":0},)"
       R"({"fieldName":"DESCRIÇÃO","dataType":"ftWideString","size":30}],)"
       R"("data":[{"codigo":9,"descrição":"x"}]})",
       R"({"success":false,"message":"Key field 'c\u00f3digo' not found in the rows"})"},
      {"a field the rows lack", R"({"teble_name":"produtos","pks":["código"],"fields":["preço"]})",
       R"({"structure":[{"fieldName":"CÓDIGO","dataType":"ftInteger","size":0},)"
       R"({"fieldName":"preco","dataType":"ftFloat","size":0}],)"
       R"("data":[{"código":9,"preco":1}]})",
       R"({"success":false,"message":"Field 'PRE\u00c7O' not found"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    EXPECT_EQ(ImportJson(c.Headers, c.Tandemize), c.Verdict);
    EXPECT_EQ(Rows(), "1|antes|1.5");
  }
}

}  // namespace
}  // namespace tandemize::service

#include "bench_data.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdlib>

#include "memtable/storage/stream_writer.h"

namespace tandemize::bench {
namespace {

// Words with and without accents; a row's text is made of them.
constexpr const char* kWords[] = {"ação",    "café",  "Müller", "naïve",  "São",   "Paulo",
                                  "Ana",     "órgão", "pão",    "Zoë",    "crème", "brûlée",
                                  "Loja",    "Ávila", "João",   "açaí",   "Øre",   "Ñandú",
                                  "cliente", "fácil", "última", "coração"};

// UTF-8 characters of a text (continuation bytes are not counted).
std::size_t CharCount(const std::string& aText) {
  std::size_t count = 0;
  for (const char c : aText) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string MakeText(int aKey, int aSeed) {
  const std::size_t target = 20 + static_cast<std::size_t>((aKey * 7 + aSeed * 13) % 41);
  std::string text;
  unsigned state = static_cast<unsigned>(aKey) * 2654435761U + static_cast<unsigned>(aSeed);
  while (CharCount(text) < target) {
    state = state * 1103515245U + 12345U;
    if (!text.empty()) text += ' ';
    text += kWords[(state >> 16) % std::size(kWords)];
  }
  // Drop whole characters (continuation bytes, then the lead byte) down to the target.
  while (CharCount(text) > target) {
    while ((static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
    text.pop_back();
  }
  if (!text.empty() && text.back() == ' ') text.back() = '.';
  return text;
}

// Days from 1970-01-01 of a civil date.
int DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int z, int& y, int& m, int& d) {
  z += 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = z - era * 146097;
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = yoe + era * 400 + (m <= 2);
}

std::string Base64(const std::vector<std::uint8_t>& aBytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((aBytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < aBytes.size(); i += 3) {
    const unsigned v = aBytes[i] << 16 | aBytes[i + 1] << 8 | aBytes[i + 2];
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == aBytes.size()) {
    const unsigned v = aBytes[i] << 16;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += "==";
  } else if (i + 2 == aBytes.size()) {
    const unsigned v = aBytes[i] << 16 | aBytes[i + 1] << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::string Env(const char* aName) {
  const char* value = std::getenv(aName);
  return value != nullptr ? value : "";
}

std::string Quoted(const std::string& aText) {
  return "\"" + aText + "\"";
}

}  // namespace

std::string TBenchRow::DiaText() const {
  return fmt::format("{:04}-{:02}-{:02}", Year, Month, Day);
}

std::vector<TBenchRow> MakeRows(int aCount, int aSeed) {
  std::vector<TBenchRow> rows(static_cast<std::size_t>(aCount));
  const int firstDay = DaysFromCivil(2000, 1, 1);
  for (int i = 0; i < aCount; ++i) {
    TBenchRow& row = rows[static_cast<std::size_t>(i)];
    row.Id = i + 1;
    row.Nome = MakeText(row.Id, aSeed);
    row.Valor = row.Id * 1.25 + aSeed * 0.1 + 0.001;
    CivilFromDays(firstDay + (row.Id * 37 + aSeed) % 9000, row.Year, row.Month, row.Day);
    row.Dados.resize(16 + static_cast<std::size_t>((row.Id + aSeed) % 33));
    for (std::size_t b = 0; b < row.Dados.size(); ++b) {
      row.Dados[b] = static_cast<std::uint8_t>(row.Id * 31 + aSeed * 7 + static_cast<int>(b));
    }
  }
  return rows;
}

std::string ParamsJson(const std::string& aKind, const std::string& aDatabase) {
  if (aKind == "sqlite")
    return fmt::format(R"({{"tipo_sgdb":5,"database":{}}})", Quoted(aDatabase));
  const char* prefix = aKind == "pg" ? "TANDEMIZE_PG_" : "TANDEMIZE_MYSQL_";
  auto env = [&](const char* aSuffix) { return Env((std::string(prefix) + aSuffix).c_str()); };
  return fmt::format(
      R"({{"tipo_sgdb":{},"host":{},"port":{},"database":{},"user":{},"password":{}}})",
      aKind == "pg" ? 2 : 3, Quoted(env("HOST")), env("PORT"), Quoted(env("DATABASE")),
      Quoted(env("USER")), Quoted(env("PASSWORD")));
}

std::string HeaderJson(const std::string& aParams) {
  return fmt::format(
      R"({{"params":{},"headers":{{"teble_name":"{}","pks":["id"],"fields":["nome","valor","dia","dados"]}}}})",
      aParams, kBenchTable);
}

std::string JsonBody(const std::string& aParams, const std::vector<TBenchRow>& aRows) {
  std::string body = HeaderJson(aParams);
  body.pop_back();  // the closing brace; "tandemize" follows
  body += R"(,"tandemize":{"structure":[{"fieldName":"id","dataType":"ftInteger","size":0},)"
          R"({"fieldName":"nome","dataType":"ftWideString","size":60},)"
          R"({"fieldName":"valor","dataType":"ftFloat","size":0},)"
          R"({"fieldName":"dia","dataType":"ftDate","size":0},)"
          R"({"fieldName":"dados","dataType":"ftBlob","size":0}],"data":[)";
  bool first = true;
  for (const TBenchRow& row : aRows) {
    if (!first) body += ',';
    first = false;
    char valor[32];
    const auto end = std::to_chars(valor, valor + sizeof valor, row.Valor).ptr;
    fmt::format_to(std::back_inserter(body),
                   R"({{"id":{},"nome":"{}","valor":{},"dia":"{}","dados":"{}"}})", row.Id,
                   row.Nome, std::string_view(valor, static_cast<std::size_t>(end - valor)),
                   row.DiaText(), Base64(row.Dados));
  }
  body += "]}}";
  return body;
}

std::string BinaryBody(const std::vector<TBenchRow>& aRows) {
  using namespace memtable;
  using namespace memtable::storage;
  TStreamManager manager;
  TStreamTable& table = manager.AddTable(kBenchTable);
  table.AddColumn("id", TColumnDataType::dtInt32);
  table.AddColumn("nome", TColumnDataType::dtWideString, 60);
  table.AddColumn("valor", TColumnDataType::dtDouble);
  table.AddColumn("dia", TColumnDataType::dtDate);
  table.AddColumn("dados", TColumnDataType::dtBlob);
  const int dayZero = DaysFromCivil(1899, 12, 30);
  for (const TBenchRow& row : aRows) {
    TStreamRow& r = table.AddRow(TRowStoreRowState::rsUnchanged);
    const auto original = TRowStoreBufferKind::bkOriginal;
    SetStreamValue(table, r, original, 0, std::int32_t{row.Id});
    SetStreamValue(table, r, original, 1, row.Nome);
    SetStreamValue(table, r, original, 2, row.Valor);
    const double days = DaysFromCivil(row.Year, row.Month, row.Day) - dayZero;
    SetStreamValue(table, r, original, 3, TDateTime{days});
    SetStreamValue(table, r, original, 4, TBytes(row.Dados));
  }
  return WriteBinaryStream(manager);
}

}  // namespace tandemize::bench

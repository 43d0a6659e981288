#include "cli/source.h"

#include <csv.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "json/json.h"

namespace tandemize::cli {

namespace {

bool IsUtf8(std::string_view aText) {
  std::size_t i = 0;
  while (i < aText.size()) {
    const auto c = static_cast<unsigned char>(aText[i]);
    std::size_t more = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= aText.size()) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<unsigned char>(aText[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      code = (code << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point.
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[more] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      return false;
    }
    i += more + 1;
  }
  return true;
}

void CheckUtf8(const TSourceTable& aTable, const TSourceRow& aRow, std::size_t aColumn,
               std::string_view aText) {
  if (!IsUtf8(aText)) {
    throw EInputError(aTable.Where(aRow, aColumn) +
                      ": the text is not UTF-8 (save the file with the UTF-8 encoding)");
  }
}

// State of the CSV callbacks.
struct TCsvReader {
  TSourceTable Table;
  bool HaveHeader = false;
  std::uint32_t Line = 0;        // line being fed
  std::uint32_t RecordLine = 0;  // line where the current record began
  std::uint32_t FieldLine = 0;   // line where the next value begins
  TSourceRow Row;
  std::vector<std::string> Header;

  void Field(const char* aText, std::size_t aLength) {
    if (!HaveHeader) {
      if (aText == nullptr || aLength == 0) {
        throw EInputError(fmt::format("{}:{}: column {} of the header line has no name",
                                      Table.Origin, RecordLine, Header.size() + 1));
      }
      Header.emplace_back(aText, aLength);
    } else {
      TCell cell;
      if (aText != nullptr) {
        cell.Kind = TCellKind::ckText;
        cell.Text.assign(aText, aLength);
      }
      Row.Lines.push_back(FieldLine);
      Row.Cells.push_back(std::move(cell));
    }
    FieldLine = Line;
  }

  void Record() {
    if (!HaveHeader) {
      HaveHeader = true;
      Table.Columns = std::move(Header);
      for (std::size_t i = 0; i < Table.Columns.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
          if (Table.Columns[i] == Table.Columns[j]) {
            throw EInputError(fmt::format("{}:{}: the header names column \"{}\" twice",
                                          Table.Origin, RecordLine, Table.Columns[i]));
          }
        }
      }
    } else {
      Row.Line = RecordLine;
      if (Row.Cells.size() != Table.Columns.size()) {
        throw EInputError(fmt::format("{}:{}: {} values where the header names {} columns",
                                      Table.Origin, RecordLine, Row.Cells.size(),
                                      Table.Columns.size()));
      }
      for (std::size_t i = 0; i < Row.Cells.size(); ++i) {
        if (Row.Cells[i].Kind == TCellKind::ckText) CheckUtf8(Table, Row, i, Row.Cells[i].Text);
      }
      Table.Rows.push_back(std::move(Row));
      Row = TSourceRow{};
      Row.Cells.reserve(Table.Columns.size());
      Row.Lines.reserve(Table.Columns.size());
    }
  }
};

struct TCsvParser {
  csv_parser Parser{};
  TCsvParser() {
    if (csv_init(&Parser, CSV_STRICT | CSV_STRICT_FINI | CSV_EMPTY_IS_NULL) != 0) {
      throw std::bad_alloc();
    }
    // Blanks around unquoted values are part of them.
    csv_set_space_func(&Parser, [](unsigned char) { return 0; });
  }
  ~TCsvParser() { csv_free(&Parser); }
  TCsvParser(const TCsvParser&) = delete;
  TCsvParser& operator=(const TCsvParser&) = delete;
};

// The callbacks may throw; libcsv is C, so the exception is kept here and
// raised again once csv_parse has returned.
struct TCsvCall {
  TCsvReader* Reader;
  std::exception_ptr Failure;
};

void OnField(void* aText, std::size_t aLength, void* aData) {
  auto* call = static_cast<TCsvCall*>(aData);
  if (call->Failure) return;
  try {
    call->Reader->Field(static_cast<const char*>(aText), aLength);
  } catch (...) {
    call->Failure = std::current_exception();
  }
}

void OnRecord(int, void* aData) {
  auto* call = static_cast<TCsvCall*>(aData);
  if (call->Failure) return;
  try {
    call->Reader->Record();
  } catch (...) {
    call->Failure = std::current_exception();
  }
}

// libcsv's parser state before a record has begun.
constexpr int kRowNotBegun = 0;

std::string Lower(std::string aText) {
  for (char& c : aText) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return aText;
}

bool EndsWith(const std::string& aText, std::string_view aEnd) {
  return aText.size() >= aEnd.size() &&
         aText.compare(aText.size() - aEnd.size(), aEnd.size(), aEnd) == 0;
}

}  // namespace

std::string TSourceTable::Where(const TSourceRow& aRow, std::size_t aColumn) const {
  const std::uint32_t line = aColumn < aRow.Lines.size() ? aRow.Lines[aColumn] : aRow.Line;
  const std::string name = aColumn < Columns.size() ? Columns[aColumn] : std::string("?");
  return fmt::format("{}:{}: column {} ({})", Origin, line, aColumn + 1, name);
}

TSourceTable ReadCsv(std::istream& aInput, std::string aOrigin) {
  TCsvReader reader;
  reader.Table.Origin = std::move(aOrigin);
  TCsvParser parser;
  TCsvCall call{&reader, nullptr};
  std::string line;
  bool first = true;
  const auto fail = [&](std::uint32_t aLine) {
    throw EInputError(fmt::format("{}:{}: {}", reader.Table.Origin, aLine,
                                  csv_strerror(csv_error(&parser.Parser))));
  };
  // Fed a line at a time, so that each value knows the line it began on.
  while (std::getline(aInput, line)) {
    ++reader.Line;
    if (first) {
      if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // byte order mark
      first = false;
    }
    if (parser.Parser.pstate == kRowNotBegun) {
      reader.RecordLine = reader.Line;
      reader.FieldLine = reader.Line;
    }
    if (!aInput.eof()) line.push_back('\n');
    if (csv_parse(&parser.Parser, line.data(), line.size(), OnField, OnRecord, &call) !=
        line.size()) {
      if (call.Failure) std::rethrow_exception(call.Failure);
      fail(reader.Line);
    }
    if (call.Failure) std::rethrow_exception(call.Failure);
  }
  if (aInput.bad()) throw EInputError(reader.Table.Origin + ": cannot be read");
  if (csv_fini(&parser.Parser, OnField, OnRecord, &call) != 0) {
    if (call.Failure) std::rethrow_exception(call.Failure);
    throw EInputError(
        fmt::format("{}:{}: a quoted value is not closed", reader.Table.Origin, reader.RecordLine));
  }
  if (call.Failure) std::rethrow_exception(call.Failure);
  if (!reader.HaveHeader) throw EInputError(reader.Table.Origin + ": no header line");
  return std::move(reader.Table);
}

TSourceTable ReadJsonLines(std::istream& aInput, std::string aOrigin) {
  using namespace tandemize::json;
  TSourceTable table;
  table.Origin = std::move(aOrigin);
  std::string line;
  std::uint32_t number = 0;
  while (std::getline(aInput, line)) {
    ++number;
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    TJsonObject object;
    try {
      if (!TJsonBase::IsJsonObject(line)) throw std::runtime_error("not a JSON object");
      object.Parse(line);
    } catch (const std::exception& e) {
      throw EInputError(fmt::format("{}:{}: {}", table.Origin, number, e.what()));
    }
    TSourceRow row;
    row.Line = number;
    row.Cells.resize(table.Columns.size());
    for (int i = 0; i < object.Count(); ++i) {
      const TJsonPair& pair = object.Items(i);
      std::size_t column = 0;
      while (column < table.Columns.size() && table.Columns[column] != pair.Name()) ++column;
      if (column == table.Columns.size()) {
        table.Columns.push_back(pair.Name());
        row.Cells.resize(table.Columns.size());
      }
      TCell& cell = row.Cells[column];
      if (cell.Kind != TCellKind::ckNull) {
        throw EInputError(
            fmt::format("{}:{}: member \"{}\" appears twice", table.Origin, number, pair.Name()));
      }
      const TJsonValue& value = pair.Value();
      switch (value.ValueType()) {
        case TJsonValueType::jvNone:
        case TJsonValueType::jvNull:
          break;
        case TJsonValueType::jvString:
          cell.Kind = TCellKind::ckText;
          cell.Text = value.StringValue();
          CheckUtf8(table, row, column, cell.Text);
          break;
        case TJsonValueType::jvObject:
        case TJsonValueType::jvArray:
          cell.Kind = TCellKind::ckText;
          cell.Text = value.Stringify();
          break;
        default:  // numbers and booleans as their JSON text
          cell.Kind = TCellKind::ckText;
          cell.Text = value.Stringify();
          break;
      }
    }
    table.Rows.push_back(std::move(row));
  }
  if (aInput.bad()) throw EInputError(table.Origin + ": cannot be read");
  for (TSourceRow& row : table.Rows) row.Cells.resize(table.Columns.size());
  return table;
}

TSourceTable ReadSqliteTable(const std::string& aFile, const std::string& aTable) {
  TSourceTable table;
  table.Origin = aFile;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(aFile.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  if (opened != SQLITE_OK) {
    throw EInputError(fmt::format("{}: {}", aFile, raw ? sqlite3_errmsg(raw) : "cannot open"));
  }
  std::string quoted = "\"";
  for (char c : aTable) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  const std::string sql = "SELECT * FROM " + quoted;
  sqlite3_stmt* rawStatement = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &rawStatement, nullptr) != SQLITE_OK) {
    throw EInputError(fmt::format("{}: {}", aFile, sqlite3_errmsg(db.get())));
  }
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(rawStatement,
                                                                       &sqlite3_finalize);
  const int columns = sqlite3_column_count(statement.get());
  for (int i = 0; i < columns; ++i)
    table.Columns.emplace_back(sqlite3_column_name(statement.get(), i));
  std::uint32_t number = 0;
  for (;;) {
    const int step = sqlite3_step(statement.get());
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW)
      throw EInputError(fmt::format("{}: {}", aFile, sqlite3_errmsg(db.get())));
    TSourceRow row;
    row.Line = ++number;
    row.Cells.resize(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) {
      TCell& cell = row.Cells[static_cast<std::size_t>(i)];
      switch (sqlite3_column_type(statement.get(), i)) {
        case SQLITE_NULL:
          break;
        case SQLITE_INTEGER:
          cell.Kind = TCellKind::ckInteger;
          cell.Text = std::to_string(sqlite3_column_int64(statement.get(), i));
          break;
        case SQLITE_FLOAT:
          cell.Kind = TCellKind::ckReal;
          cell.Text = fmt::format("{:.17g}", sqlite3_column_double(statement.get(), i));
          break;
        case SQLITE_BLOB: {
          cell.Kind = TCellKind::ckBytes;
          const void* bytes = sqlite3_column_blob(statement.get(), i);
          const int size = sqlite3_column_bytes(statement.get(), i);
          if (size > 0)
            cell.Text.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
          break;
        }
        default: {
          cell.Kind = TCellKind::ckText;
          const auto* text = sqlite3_column_text(statement.get(), i);
          const int size = sqlite3_column_bytes(statement.get(), i);
          cell.Text.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
          CheckUtf8(table, row, static_cast<std::size_t>(i), cell.Text);
          break;
        }
      }
    }
    table.Rows.push_back(std::move(row));
  }
  return table;
}

TSourceTable ReadSource(const std::string& aSource) {
  if (aSource.rfind("sqlite:", 0) == 0) {
    const std::string rest = aSource.substr(7);
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) {
      throw EInputError("\"" + aSource + "\": write a SQLite source as sqlite:FILE:TABLE");
    }
    return ReadSqliteTable(rest.substr(0, colon), rest.substr(colon + 1));
  }
  if (aSource == "-") return ReadCsv(std::cin, "(standard input)");
  std::ifstream file(aSource, std::ios::binary);
  if (!file) throw EInputError(aSource + ": cannot be opened");
  const std::string lower = Lower(aSource);
  if (EndsWith(lower, ".jsonl") || EndsWith(lower, ".ndjson") || EndsWith(lower, ".json")) {
    return ReadJsonLines(file, aSource);
  }
  return ReadCsv(file, aSource);
}

}  // namespace tandemize::cli

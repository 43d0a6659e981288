// tandemize: loads a table from a file into a database through the service,
// tests a connection, and checks that a service answers.
//
// Exit status: 0 success; 1 the service refused (or could not be reached);
// 2 bad usage or input that cannot be read.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cli/http_client.h"
#include "cli/request.h"
#include "cli/schema.h"
#include "cli/source.h"
#include "json/json.h"

namespace tandemize::cli {
namespace {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

// The service's credentials when none are given.
THttpOptions DefaultHttp() {
  THttpOptions options;
  options.User = "tulip";
  options.Password = "tulip";
  return options;
}

struct TImportOptions {
  TConnection Connection;
  std::string KindName;
  TTarget Target;
  std::string Keys, Fields, Format = "binary", Schema, Source;
  std::size_t Chunk = 0;
  bool DryRun = false;
};

void AddHttpOptions(CLI::App& aCommand, THttpOptions& aHttp, bool aUrl) {
  if (aUrl) {
    aCommand.add_option("--url", aHttp.BaseUrl, "Service address, e.g. http://localhost:9095")
        ->required();
  }
  aCommand.add_option("--user", aHttp.User, "User name for the service")->capture_default_str();
  aCommand.add_option("--password", aHttp.Password, "Password for the service")
      ->envname("TANDEMIZE_PASSWORD");
  aCommand
      .add_option("--connect-timeout", aHttp.ConnectTimeoutSeconds,
                  "Seconds to wait for the connection")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  aCommand
      .add_option("--timeout", aHttp.TimeoutSeconds,
                  "Seconds one request may take in all (0: no limit)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  aCommand
      .add_option("--low-speed-limit", aHttp.LowSpeedLimit,
                  "Give up a request slower than this many bytes a second ...")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  aCommand
      .add_option("--low-speed-time", aHttp.LowSpeedTimeSeconds,
                  "... for this many seconds (the wait for the answer counts)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
}

void AddDatabaseOptions(CLI::App& aCommand, TImportOptions& aOptions) {
  aCommand.add_option("--kind", aOptions.KindName, "Database kind")
      ->required()
      ->check(CLI::IsMember({"pg", "mysql", "firebird", "interbase", "mssql", "sqlite"}));
  TConnection& c = aOptions.Connection;
  aCommand.add_option("--host", c.Host, "Database server host");
  aCommand.add_option("--port", c.Port, "Database server port");
  aCommand.add_option("--database", c.Database, "Database name (SQLite: the file)");
  aCommand.add_option("--db-user", c.User, "Database user");
  aCommand.add_option("--db-password", c.Password, "Database password")
      ->envname("TANDEMIZE_DB_PASSWORD");
  aCommand.add_option("--lib", c.Lib, "Client library the service loads for this kind");
  aCommand.add_option("--charset", c.Charset, "Client character set");
  aCommand.add_option("--catalog", c.Catalog, "Catalog");
}

std::vector<std::string> SplitList(const std::string& aText) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= aText.size()) {
    std::size_t end = aText.find(',', start);
    if (end == std::string::npos) end = aText.size();
    std::size_t first = start, last = end;
    while (first < last && aText[first] == ' ') ++first;
    while (last > first && aText[last - 1] == ' ') --last;
    if (last > first) items.push_back(aText.substr(first, last - first));
    start = end + 1;
  }
  return items;
}

// Whether the answer is a verdict with "success" true.
bool Succeeded(const THttpAnswer& aAnswer) {
  if (aAnswer.Status != 200) return false;
  try {
    if (!json::TJsonBase::IsJsonObject(aAnswer.Body)) return false;
    json::TJsonObject verdict;
    verdict.Parse(aAnswer.Body);
    const int at = verdict.Find("success");
    return at >= 0 && verdict.Items(at).Value().ValueType() == json::TJsonValueType::jvBoolean &&
           verdict.Items(at).Value().AsBoolean();
  } catch (const std::exception&) {
    return false;
  }
}

// Prints the answer as the service sent it (a non-200 status first).
void PrintAnswer(const THttpAnswer& aAnswer) {
  if (aAnswer.Status != 200) std::cout << "HTTP " << aAnswer.Status << ": ";
  std::cout << aAnswer.Body;
  if (aAnswer.Body.empty() || aAnswer.Body.back() != '\n') std::cout << '\n';
  std::cout.flush();
}

// Rows sent so far: a bar redrawn in place on a terminal, one line per
// request otherwise.
class TProgressView {
 public:
  TProgressView(std::size_t aTotal, bool aTerminal)
      : FTotal(aTotal), FTerminal(aTerminal), FStart(std::chrono::steady_clock::now()) {}

  // Redraws the bar, at most ten times a second unless `aNow`.
  void Show(double aRows, bool aNow = false) {
    if (!FTerminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (!aNow && now - FShown < std::chrono::milliseconds(100)) return;
    FShown = now;
    const double seconds = std::chrono::duration<double>(now - FStart).count();
    const double rate = seconds > 0 ? aRows / seconds : 0;
    const double fraction = FTotal > 0 ? aRows / static_cast<double>(FTotal) : 1;
    constexpr int kWidth = 30;
    std::string bar(static_cast<std::size_t>(fraction * kWidth), '=');
    bar.resize(kWidth, ' ');
    const std::string left =
        rate > 0 ? fmt::format("  {:.0f}s left", (static_cast<double>(FTotal) - aRows) / rate) : "";
    // "\r" and erase to the end of the line: the bar is redrawn in place.
    std::cerr << fmt::format("\r\x1b[K[{}] {:.0f}/{} rows  {:.0f} rows/s{}", bar, aRows, FTotal,
                             rate, left)
              << std::flush;
  }

  // A request's rows have been answered; its verdict is printed next.
  void Sent(std::size_t aFirst, std::size_t aCount, bool aOk) {
    if (FTerminal) {
      const bool last = !aOk || aFirst + aCount >= FTotal;
      if (last) {
        Show(static_cast<double>(aFirst + aCount), true);
        std::cerr << '\n';
      } else {
        std::cerr << "\r\x1b[K" << std::flush;  // the verdict takes the bar's line
      }
      return;
    }
    std::cerr << fmt::format("rows {}-{} of {}: {}\n", aFirst + 1, aFirst + aCount, FTotal,
                             aOk ? "imported" : "refused");
  }

 private:
  std::size_t FTotal;
  bool FTerminal;
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FShown;
};

int RunImport(TImportOptions& aOptions, const THttpOptions& aHttp) {
  aOptions.Connection.Kind = *KindNumber(aOptions.KindName);
  aOptions.Target.Keys = SplitList(aOptions.Keys);
  if (aOptions.Target.Keys.empty()) throw EInputError("--key names no column");
  const TSourceTable source = ReadSource(aOptions.Source);
  const std::vector<TColumnSchema> schema =
      InferSchema(source, aOptions.Schema.empty() ? std::map<std::string, TValueType>{}
                                                  : ParseSchemaOption(aOptions.Schema));
  const auto columnOf = [&](const std::string& aName) -> std::size_t {
    for (std::size_t i = 0; i < source.Columns.size(); ++i) {
      if (source.Columns[i] == aName) return i;
    }
    throw EInputError(fmt::format("{}: no column \"{}\"", source.Origin, aName));
  };
  if (!aOptions.Fields.empty()) {
    aOptions.Target.Fields = SplitList(aOptions.Fields);
  } else {
    for (const std::string& column : source.Columns) {
      bool key = false;
      for (const std::string& k : aOptions.Target.Keys) key = key || k == column;
      if (!key) aOptions.Target.Fields.push_back(column);
    }
  }
  // Keys then fields, each once.
  std::vector<std::size_t> sent;
  std::set<std::string> seen;
  for (const auto* list : {&aOptions.Target.Keys, &aOptions.Target.Fields}) {
    for (const std::string& name : *list) {
      if (!seen.insert(name).second) throw EInputError("column \"" + name + "\" is named twice");
      sent.push_back(columnOf(name));
    }
  }

  if (aOptions.DryRun) {
    std::cout << fmt::format("{}: {} rows\n", source.Origin, source.Rows.size());
    for (const std::size_t c : sent) {
      const TColumnSchema& column = schema[c];
      std::string detail;
      if (column.Type == TValueType::vtText) detail = fmt::format("({})", column.Length);
      if (column.Type == TValueType::vtDecimal) {
        detail = fmt::format("({},{})", column.Precision, column.Scale);
      }
      bool key = false;
      for (const std::string& k : aOptions.Target.Keys) key = key || k == column.Name;
      std::cout << fmt::format("  {}:{}{}{}{}\n", column.Name, ValueTypeName(column.Type), detail,
                               key ? "  key" : "", column.HasNull ? "  null" : "");
    }
  }

  // Every value is converted before anything is sent.
  TRows rows;
  for (const std::size_t c : sent) rows.Columns.push_back(schema[c]);
  rows.Values.reserve(source.Rows.size());
  for (const TSourceRow& row : source.Rows) {
    std::vector<memtable::TVariant> values;
    values.reserve(sent.size());
    for (const std::size_t c : sent) values.push_back(ConvertValue(source, row, c, schema[c]));
    rows.Values.push_back(std::move(values));
  }
  for (std::size_t k = 0; k < aOptions.Target.Keys.size(); ++k) {
    for (std::size_t r = 0; r < rows.Values.size(); ++r) {
      if (std::holds_alternative<std::monostate>(rows.Values[r][k])) {
        throw EInputError(source.Where(source.Rows[r], sent[k]) + ": a key column has no value");
      }
    }
  }
  if (aOptions.DryRun) return 0;
  if (rows.Values.empty()) throw EInputError(source.Origin + ": no rows");

  THttpClient client(aHttp);
  const bool binary = aOptions.Format == "binary";
  const std::string header = HeaderEnvelope(aOptions.Connection, aOptions.Target);
  const std::size_t total = rows.Values.size();
  const std::size_t chunk = aOptions.Chunk == 0 ? total : aOptions.Chunk;
  TProgressView progress(total, ::isatty(STDERR_FILENO) == 1);
  for (std::size_t first = 0; first < total; first += chunk) {
    const std::size_t count = std::min(chunk, total - first);
    const auto onSent = [&](std::uint64_t aSent, std::uint64_t aTotal) {
      progress.Show(static_cast<double>(first) + static_cast<double>(count) *
                                                     static_cast<double>(aSent) /
                                                     static_cast<double>(aTotal));
    };
    THttpAnswer answer;
    if (binary) {
      answer = client.Post("/tandemize", BinaryRows(aOptions.Target, rows, first, count),
                           "application/octet-stream", header, onSent);
    } else {
      answer = client.Post("/tandemize",
                           JsonEnvelope(aOptions.Connection, aOptions.Target, rows, first, count),
                           "application/octet-stream", std::nullopt, onSent);
    }
    const bool ok = Succeeded(answer);
    progress.Sent(first, count, ok);
    PrintAnswer(answer);
    if (!ok) {
      const TSourceRow& from = source.Rows[first];
      const TSourceRow& to = source.Rows[first + count - 1];
      std::cerr << fmt::format(
          "tandemize: the service refused rows {}-{} ({}, lines {}-{}); nothing of them was "
          "written{}\n",
          first + 1, first + count, source.Origin, from.Line, to.Line,
          first > 0 ? fmt::format(", rows 1-{} were imported before", first) : "");
      return kExitRefused;
    }
  }
  return 0;
}

int RunTestConnection(TImportOptions& aOptions, const THttpOptions& aHttp) {
  aOptions.Connection.Kind = *KindNumber(aOptions.KindName);
  THttpClient client(aHttp);
  const THttpAnswer answer =
      client.Post("/testedb", ParamsJson(aOptions.Connection), "application/json; charset=utf-8");
  PrintAnswer(answer);
  return Succeeded(answer) ? 0 : kExitRefused;
}

int RunCheck(const THttpOptions& aHttp) {
  THttpClient client(aHttp);
  const THttpAnswer status = client.Get("/", false);
  std::cout << "status page: HTTP " << status.Status << '\n';
  const THttpAnswer check = client.Get("/checkrequest", true, std::string("tandemize-check"));
  std::cout << "request check: ";
  PrintAnswer(check);
  bool headerArrived = false;
  if (check.Status == 200 && json::TJsonBase::IsJsonObject(check.Body)) {
    json::TJsonObject answer;
    answer.Parse(check.Body);
    const int at = answer.Find("can_header");
    headerArrived = at >= 0 &&
                    answer.Items(at).Value().ValueType() == json::TJsonValueType::jvBoolean &&
                    answer.Items(at).Value().AsBoolean();
    if (!headerArrived) std::cout << "the x-request header did not reach the service\n";
  }
  return status.Status == 200 && headerArrived ? 0 : kExitRefused;
}

int Main(int argc, char** argv) {
  CLI::App app{
      "Loads table rows into a database through the service, tests connections, and "
      "checks that a service answers."};
  app.require_subcommand(1);
  app.set_version_flag("--version", "tandemize 1.0.0");

  TImportOptions importOptions;
  THttpOptions importHttp = DefaultHttp();
  CLI::App* import = app.add_subcommand(
      "import",
      "Upserts the rows of SOURCE into a table: rows whose key exists are updated, the others "
      "inserted. Each request is one transaction: with --chunk N the rows go in requests of N "
      "rows, each committed on its own, and the first refused request stops the import (the "
      "requests before it stay committed).");
  AddHttpOptions(*import, importHttp, true);
  AddDatabaseOptions(*import, importOptions);
  import->add_option("--table", importOptions.Target.Table, "Target table")->required();
  import->add_option("--key", importOptions.Keys, "Key column(s), comma separated: K1[,K2]")
      ->required();
  import->add_option("--fields", importOptions.Fields,
                     "Other columns to write, comma separated (default: all but the keys)");
  import->add_option("--format", importOptions.Format, "Request form")
      ->capture_default_str()
      ->check(CLI::IsMember({"binary", "json"}));
  import->add_option("--schema", importOptions.Schema,
                     "Column types, NAME:TYPE,... with TYPE integer, decimal, float, date, "
                     "datetime, text or blob; other columns are inferred from their values");
  import
      ->add_option("--chunk", importOptions.Chunk,
                   "Rows per request (0: all in one); each request is its own transaction")
      ->capture_default_str();
  import->add_flag("--dry-run", importOptions.DryRun,
                   "Read and check the input, print the schema, send nothing");
  import
      ->add_option("SOURCE", importOptions.Source,
                   "CSV file with a header line, JSON Lines file (.jsonl, .ndjson, .json), "
                   "sqlite:FILE:TABLE, or - for CSV on standard input")
      ->required();

  TImportOptions testOptions;
  THttpOptions testHttp = DefaultHttp();
  CLI::App* test = app.add_subcommand(
      "test-connection", "Asks the service to open and close a connection with these parameters");
  AddHttpOptions(*test, testHttp, true);
  AddDatabaseOptions(*test, testOptions);

  THttpOptions checkHttp = DefaultHttp();
  CLI::App* check = app.add_subcommand(
      "check", "Reads the status page and checks that the x-request header reaches the service");
  check->add_option("URL", checkHttp.BaseUrl, "Service address, e.g. http://localhost:9095")
      ->required();
  AddHttpOptions(*check, checkHttp, false);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }

  try {
    if (*import) return RunImport(importOptions, importHttp);
    if (*test) return RunTestConnection(testOptions, testHttp);
    return RunCheck(checkHttp);
  } catch (const EInputError& e) {
    std::cerr << "tandemize: " << e.what() << '\n';
    return kExitUsage;
  } catch (const ETransportError& e) {
    std::cerr << "tandemize: " << e.what() << '\n';
    return kExitRefused;
  } catch (const std::exception& e) {
    std::cerr << "tandemize: " << e.what() << '\n';
    return kExitRefused;
  }
}

}  // namespace
}  // namespace tandemize::cli

int main(int argc, char** argv) {
  return tandemize::cli::Main(argc, argv);
}

// The client against the running program: files of each kind loaded into
// SQLite and PostgreSQL tables, the rows read back, and the exit status and
// messages of refusals, bad input and chunked imports.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "app/production_harness.h"
#include "test_servers.h"

namespace tandemize::cli {
namespace {

namespace fs = std::filesystem;
using harness::Env;
using harness::TDirect;

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

std::string ReadAll(const std::string& aFile) {
  std::ifstream in(aFile, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Write(const std::string& aFile, const std::string& aText) {
  std::ofstream(aFile, std::ios::binary) << aText;
}

class CliProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FFolder = (fs::temp_directory_path() / fmt::format("tandemize-cli-{}", ::getpid())).string();
    fs::remove_all(FFolder);
    fs::create_directories(FFolder);
    FPort = harness::FreePort();
    FServer = new production::TProgram({"--port", std::to_string(FPort)});
    FStarted = FServer->WaitForOutput("Servidor ativo");
  }
  static void TearDownTestSuite() {
    delete FServer;
    FServer = nullptr;
    fs::remove_all(FFolder);
  }
  void SetUp() override { ASSERT_TRUE(FStarted) << FServer->Errors(); }

  static std::string Url() { return fmt::format("http://127.0.0.1:{}", FPort); }
  static std::string Path(const std::string& aName) { return FFolder + "/" + aName; }

  // The client with these arguments; its status once it has ended (within
  // two minutes, else it is killed and the status is -1).
  static TRun Client(const std::vector<std::string>& aArguments) {
    const std::string out = Path("client.out"), err = Path("client.err");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      std::vector<char*> argv{const_cast<char*>(TANDEMIZE_CLIENT)};
      for (const std::string& a : aArguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(TANDEMIZE_CLIENT, argv.data());
      ::_exit(127);
    }
    TRun run;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return run;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    run.Out = ReadAll(out);
    run.Err = ReadAll(err);
    return run;
  }

  // import into a SQLite database file with the given further arguments.
  static TRun ImportSqlite(const std::string& aDatabase, std::vector<std::string> aArguments) {
    std::vector<std::string> arguments{"import", "--url",      Url(),    "--kind",
                                       "sqlite", "--database", aDatabase};
    arguments.insert(arguments.end(), aArguments.begin(), aArguments.end());
    return Client(arguments);
  }

  // The test command always sets the PostgreSQL server's coordinates: when
  // they are missing, a case that also covers PostgreSQL fails (its SQLite
  // part still runs).
  static bool HavePg() {
    const testing::AssertionResult set = harness::TestServerSet("PG");
    EXPECT_TRUE(set);
    return static_cast<bool>(set);
  }
  static std::vector<std::string> PgArguments() {
    return {"--kind",        "pg",
            "--host",        Env("TANDEMIZE_PG_HOST"),
            "--port",        Env("TANDEMIZE_PG_PORT"),
            "--database",    Env("TANDEMIZE_PG_DATABASE"),
            "--db-user",     Env("TANDEMIZE_PG_USER"),
            "--db-password", Env("TANDEMIZE_PG_PASSWORD")};
  }
  static std::unique_ptr<TDirect> Pg() {
    return std::make_unique<TDirect>(std::vector<std::pair<std::string, std::string>>{
        {"DriverID", "PG"},
        {"Server", Env("TANDEMIZE_PG_HOST")},
        {"Port", Env("TANDEMIZE_PG_PORT")},
        {"Database", Env("TANDEMIZE_PG_DATABASE")},
        {"User_Name", Env("TANDEMIZE_PG_USER")},
        {"Password", Env("TANDEMIZE_PG_PASSWORD")}});
  }
  static std::unique_ptr<TDirect> Sqlite(const std::string& aFile) {
    return std::make_unique<TDirect>(std::vector<std::pair<std::string, std::string>>{
        {"DriverID", "SQLite"}, {"Database", aFile}});
  }

  static inline std::string FFolder;
  static inline int FPort = 0;
  static inline production::TProgram* FServer = nullptr;
  static inline bool FStarted = false;
};

constexpr const char* kSuccess = R"({"success":true,"message":"Dados Importado com sucesso!"})";

// Accents, a quoted comma, doubled quotes, a value over two lines, an empty
// value (null) and an empty quoted one.
const std::string kPeopleCsv =
    "id,nome,preco,nascido,visto\n"
    "1,\"S\xC3\xA3o Paulo, \"\"SP\"\"\",12.50,2024-02-29,2024-02-29T13:45:07\n"
    "2,\"linha um\nlinha dois\",0.99,1999-12-31,2000-01-01 00:00:00\n"
    "3,A\xC3\xA7\xC3\xA3o,,,\n"
    "4,\"\",-7.25,2001-09-09,2001-09-09 01:46:40\n";

TEST_F(CliProgram, CsvRowsReachSqliteInBothFormsAndASecondLoadUpdates) {
  for (const std::string format : {"binary", "json"}) {
    SCOPED_TRACE(format);
    const std::string database = Path("people-" + format + ".db");
    auto direct = Sqlite(database);
    direct->Exec(
        "CREATE TABLE people (id INTEGER PRIMARY KEY, nome VARCHAR(40), preco NUMERIC(10,2), "
        "nascido DATE, visto TIMESTAMP)");
    const std::string csv = Path("people.csv");
    Write(csv, kPeopleCsv);
    TRun run =
        ImportSqlite(database, {"--table", "people", "--key", "id", "--format", format, csv});
    ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Out, std::string(kSuccess) + "\n");
    EXPECT_EQ(direct->Value("SELECT nome FROM people WHERE id=1"), "S\xC3\xA3o Paulo, \"SP\"");
    EXPECT_EQ(direct->Value("SELECT nome FROM people WHERE id=2"), "linha um\nlinha dois");
    EXPECT_EQ(direct->Value("SELECT nome FROM people WHERE id=3"), "A\xC3\xA7\xC3\xA3o");
    EXPECT_EQ(direct->Value("SELECT nome FROM people WHERE id=4"), "");
    EXPECT_EQ(direct->Value("SELECT preco IS NULL AND nascido IS NULL FROM people WHERE id=3"),
              "1");
    EXPECT_EQ(direct->Value("SELECT CAST(preco * 100 AS INTEGER) FROM people WHERE id=4"), "-725");
    EXPECT_EQ(direct->Value("SELECT nascido FROM people WHERE id=1").substr(0, 10), "2024-02-29");
    EXPECT_EQ(direct->Value("SELECT visto FROM people WHERE id=1").substr(0, 19),
              "2024-02-29 13:45:07");

    // The same keys again: updated, not added.
    Write(csv, "id,nome\n1,Outro\n5,Novo\n");
    run = ImportSqlite(database, {"--table", "people", "--key", "id", "--format", format, csv});
    ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(direct->Value("SELECT count(*) FROM people"), "5");
    EXPECT_EQ(direct->Value("SELECT nome || '/' || preco FROM people WHERE id=1"), "Outro/12.5");
    direct->Close();
  }
}

TEST_F(CliProgram, JsonLinesRowsReachSqlite) {
  const std::string database = Path("lines.db");
  auto direct = Sqlite(database);
  direct->Exec(
      "CREATE TABLE lines (k1 INTEGER, k2 VARCHAR(5), v REAL, note TEXT, "
      "PRIMARY KEY (k1, k2))");
  const std::string file = Path("rows.jsonl");
  Write(file,
        "{\"k1\":1,\"k2\":\"a\",\"v\":1.5e3,\"note\":\"\\u00e9t\\u00e9 \\\"quoted\\\"\"}\n"
        "\n"
        "{\"k2\":\"b\",\"k1\":1,\"v\":null}\n");
  const TRun run = ImportSqlite(database, {"--table", "lines", "--key", "k1,k2", file});
  ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
  EXPECT_EQ(direct->Value("SELECT v FROM lines WHERE k2='a'"), "1500");
  EXPECT_EQ(direct->Value("SELECT note FROM lines WHERE k2='a'"), "\xC3\xA9t\xC3\xA9 \"quoted\"");
  EXPECT_EQ(direct->Value("SELECT v IS NULL AND note IS NULL FROM lines WHERE k2='b'"), "1");
  direct->Close();
}

// A SQLite source table with a column of every type the client infers.
void WriteTypesSource(TDirect& aDirect) {
  aDirect.Exec(
      "CREATE TABLE src (id INTEGER, amount TEXT, ratio REAL, day TEXT, moment TEXT, "
      "label TEXT, data BLOB, hexdata TEXT)");
  aDirect.Exec(
      "INSERT INTO src VALUES (1, '12345.67', 0.125, '2024-02-29', '2024-02-29 23:59:58.5', "
      "'Jos\xC3\xA9', x'00FF10', '0x0A0B')");
  aDirect.Exec(
      "INSERT INTO src VALUES (2, '-0.01', 1e300, '0001-01-01', '1970-01-01T00:00:00', "
      "'', x'', NULL)");
  aDirect.Exec("INSERT INTO src VALUES (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
  aDirect.Close();
}

TEST_F(CliProgram, SqliteTableOfEveryTypeReachesSqliteAndPostgres) {
  const std::string source = Path("types-src.db");
  WriteTypesSource(*Sqlite(source));
  const TRun dry = Client({"import", "--url", Url(), "--kind", "sqlite", "--table", "x", "--key",
                           "id", "--dry-run", "sqlite:" + source + ":src"});
  ASSERT_EQ(dry.Status, 0) << dry.Err;
  EXPECT_EQ(dry.Out, source +
                         ": 3 rows\n"
                         "  id:integer  key\n"
                         "  amount:decimal(7,2)  null\n"
                         "  ratio:float  null\n"
                         "  day:date  null\n"
                         "  moment:datetime  null\n"
                         "  label:text(4)  null\n"
                         "  data:blob  null\n"
                         "  hexdata:blob  null\n");

  struct TTarget {
    const char* Name;
    std::function<std::unique_ptr<TDirect>()> Open;
    std::vector<std::string> Arguments;
    const char* Create;
  };
  const std::string target = Path("types.db");
  std::vector<TTarget> targets{
      {"sqlite",
       [&] { return Sqlite(target); },
       {"--kind", "sqlite", "--database", target},
       "CREATE TABLE cli_types (id INTEGER PRIMARY KEY, amount NUMERIC(12,2), ratio DOUBLE, "
       "day DATE, moment TIMESTAMP, label VARCHAR(10), data BLOB, hexdata BLOB)"}};
  if (HavePg()) {
    targets.push_back({"pg", [] { return Pg(); }, PgArguments(),
                       "CREATE TABLE cli_types (id BIGINT PRIMARY KEY, amount NUMERIC(12,2), "
                       "ratio DOUBLE PRECISION, day DATE, moment TIMESTAMP(3), label VARCHAR(10), "
                       "data BYTEA, hexdata BYTEA)"});
  }
  for (const TTarget& t : targets) {
    SCOPED_TRACE(t.Name);
    auto direct = t.Open();
    direct->Exec("DROP TABLE IF EXISTS cli_types");
    direct->Exec(t.Create);
    std::vector<std::string> arguments{"import", "--url", Url()};
    arguments.insert(arguments.end(), t.Arguments.begin(), t.Arguments.end());
    arguments.insert(arguments.end(),
                     {"--table", "cli_types", "--key", "id", "sqlite:" + source + ":src"});
    const TRun run = Client(arguments);
    ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(direct->Value("SELECT count(*) FROM cli_types"), "3");
    const bool pg = std::string(t.Name) == "pg";
    EXPECT_EQ(direct->Value("SELECT CAST(amount * 100 AS BIGINT) FROM cli_types WHERE id=1"),
              "1234567");
    EXPECT_EQ(direct->Value("SELECT CAST(ratio * 1000 AS INTEGER) FROM cli_types WHERE id=1"),
              "125");
    EXPECT_EQ(direct->Value(pg ? "SELECT CAST(day AS TEXT) FROM cli_types WHERE id=2"
                               : "SELECT substr(day, 1, 10) FROM cli_types WHERE id=2"),
              "0001-01-01");
    EXPECT_EQ(direct
                  ->Value(pg ? "SELECT CAST(moment AS TEXT) FROM cli_types WHERE id=1"
                             : "SELECT moment FROM cli_types WHERE id=1")
                  .substr(0, 21),
              "2024-02-29 23:59:58.5");
    EXPECT_EQ(direct->Value("SELECT label FROM cli_types WHERE id=1"), "Jos\xC3\xA9");
    EXPECT_EQ(
        direct->Value(pg ? "SELECT encode(data, 'hex') || '/' || encode(hexdata, 'hex') "
                           "FROM cli_types WHERE id=1"
                         : "SELECT hex(data) || '/' || hex(hexdata) FROM cli_types WHERE id=1"),
        pg ? "00ff10/0a0b" : "00FF10/0A0B");
    EXPECT_EQ(direct->Value("SELECT amount IS NULL AND data IS NULL AND label IS NULL "
                            "FROM cli_types WHERE id=3"),
              pg ? "true" : "1");
    if (pg) direct->Exec("DROP TABLE cli_types");
    direct->Close();
  }
}

TEST_F(CliProgram, BadValueNamesItsLineAndColumnAndNothingIsSent) {
  const std::string database = Path("bad.db");
  auto direct = Sqlite(database);
  direct->Exec("CREATE TABLE bad (id INTEGER PRIMARY KEY, nome TEXT, preco NUMERIC)");
  const std::string csv = Path("bad.csv");
  // The third record begins on line 5: the second one spans two lines.
  Write(csv, "id,nome,preco\n1,a,1.5\n2,\"b\nc\",2\n3,d,abc\n4,e,4\n");
  const TRun run =
      ImportSqlite(database, {"--table", "bad", "--key", "id", "--schema", "preco:decimal", csv});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Err, "tandemize: " + csv + ":5: column 3 (preco): \"abc\" is not a decimal\n");
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(direct->Value("SELECT count(*) FROM bad"), "0");

  Write(csv, "id,nome,preco\n1,a,1\n,b,2\n");
  const TRun noKey = ImportSqlite(database, {"--table", "bad", "--key", "id", csv});
  EXPECT_EQ(noKey.Status, 2);
  EXPECT_EQ(noKey.Err, "tandemize: " + csv + ":3: column 1 (id): a key column has no value\n");
  direct->Close();
}

TEST_F(CliProgram, ChunkedImportStopsAtTheRefusedChunkAndKeepsTheOnesBefore) {
  struct TTarget {
    const char* Name;
    std::function<std::unique_ptr<TDirect>()> Open;
    std::vector<std::string> Arguments;
  };
  const std::string database = Path("chunks.db");
  std::vector<TTarget> targets{
      {"sqlite", [&] { return Sqlite(database); }, {"--kind", "sqlite", "--database", database}}};
  if (HavePg()) targets.push_back({"pg", [] { return Pg(); }, PgArguments()});
  const std::string csv = Path("chunks.csv");
  // Row 4 breaks the table's check: the second request of two rows fails.
  Write(csv, "id,qty\n1,10\n2,20\n3,30\n4,-1\n5,50\n");
  for (const TTarget& t : targets) {
    SCOPED_TRACE(t.Name);
    auto direct = t.Open();
    direct->Exec("DROP TABLE IF EXISTS cli_chunks");
    direct->Exec("CREATE TABLE cli_chunks (id INTEGER PRIMARY KEY, qty INTEGER CHECK (qty >= 0))");
    std::vector<std::string> arguments{"import", "--url", Url()};
    arguments.insert(arguments.end(), t.Arguments.begin(), t.Arguments.end());
    arguments.insert(arguments.end(),
                     {"--table", "cli_chunks", "--key", "id", "--chunk", "2", csv});
    const TRun run = Client(arguments);
    EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
    // One verdict per request sent: the first as success, the second refused.
    const std::size_t firstEnd = run.Out.find('\n');
    ASSERT_NE(firstEnd, std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.substr(0, firstEnd), kSuccess);
    EXPECT_EQ(run.Out.find(R"({"success":false,"message":)", firstEnd + 1), firstEnd + 1)
        << run.Out;
    EXPECT_EQ(std::count(run.Out.begin(), run.Out.end(), '\n'), 2) << run.Out;
    EXPECT_NE(run.Err.find("rows 1-2 of 5: imported\nrows 3-4 of 5: refused\n"), std::string::npos)
        << run.Err;
    EXPECT_NE(run.Err.find("the service refused rows 3-4 (" + csv +
                           ", lines 4-5); nothing of them was written, rows 1-2 were imported"),
              std::string::npos)
        << run.Err;
    EXPECT_EQ(direct->Value("SELECT count(*) FROM cli_chunks"), "2");
    EXPECT_EQ(direct->Value("SELECT max(id) FROM cli_chunks"), "2");
    if (std::string(t.Name) == "pg") direct->Exec("DROP TABLE cli_chunks");
    direct->Close();
  }
}

TEST_F(CliProgram, CsvWithAccentsReachesPostgres) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  auto direct = Pg();
  direct->Exec("DROP TABLE IF EXISTS cli_people");
  direct->Exec(
      "CREATE TABLE cli_people (id INTEGER PRIMARY KEY, nome VARCHAR(40), "
      "preco NUMERIC(10,2), nascido DATE, visto TIMESTAMP)");
  const std::string csv = Path("people-pg.csv");
  Write(csv, kPeopleCsv);
  for (const std::string format : {"binary", "json"}) {
    std::vector<std::string> arguments{"import", "--url", Url()};
    const std::vector<std::string> pg = PgArguments();
    arguments.insert(arguments.end(), pg.begin(), pg.end());
    arguments.insert(arguments.end(),
                     {"--table", "cli_people", "--key", "id", "--format", format, csv});
    const TRun run = Client(arguments);
    ASSERT_EQ(run.Status, 0) << format << run.Out << run.Err;
    EXPECT_EQ(direct->Value("SELECT nome || '|' || preco || '|' || nascido || '|' || visto "
                            "FROM cli_people WHERE id=1"),
              "S\xC3\xA3o Paulo, \"SP\"|12.50|2024-02-29|2024-02-29 13:45:07")
        << format;
    EXPECT_EQ(direct->Value("SELECT nome FROM cli_people WHERE id=2"), "linha um\nlinha dois");
    EXPECT_EQ(direct->Value("SELECT count(*) FROM cli_people WHERE preco IS NULL"), "1");
  }
  direct->Exec("DROP TABLE cli_people");
  direct->Close();
}

TEST_F(CliProgram, DecimalsKeepEveryDigitInTheBinaryForm) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  auto direct = Pg();
  direct->Exec("DROP TABLE IF EXISTS cli_digits");
  direct->Exec("CREATE TABLE cli_digits (id INTEGER PRIMARY KEY, v NUMERIC(38,18))");
  const std::string csv = Path("digits.csv");
  Write(csv, "id,v\n1,1234567890123456.78\n2,-0.000000000000000001\n");
  std::vector<std::string> arguments{"import", "--url", Url()};
  const std::vector<std::string> pg = PgArguments();
  arguments.insert(arguments.end(), pg.begin(), pg.end());
  arguments.insert(arguments.end(), {"--table", "cli_digits", "--key", "id", csv});
  const TRun run = Client(arguments);
  ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
  EXPECT_EQ(direct->Value("SELECT CAST(v AS TEXT) FROM cli_digits WHERE id=1"),
            "1234567890123456.780000000000000000");
  EXPECT_EQ(direct->Value("SELECT CAST(v AS TEXT) FROM cli_digits WHERE id=2"),
            "-0.000000000000000001");
  direct->Exec("DROP TABLE cli_digits");
  direct->Close();
}

TEST_F(CliProgram, ExitStatusOfRefusalsUnreachableServicesAndBadUsage) {
  const std::string csv = Path("small.csv");
  Write(csv, "id,nome\n1,a\n");
  const std::string database = Path("small.db");
  struct TCase {
    const char* Name;
    std::vector<std::string> Arguments;
    int Status;
    std::string Shown;  // in the output or the errors
  };
  const std::string unreachable = fmt::format("http://127.0.0.1:{}", harness::FreePort());
  const TCase cases[] = {
      {"wrong password",
       {"import", "--url", Url(), "--password", "x", "--kind", "sqlite", "--database", database,
        "--table", "t", "--key", "id", csv},
       1,
       "HTTP 401: Unauthorized"},
      {"the service's own refusal (no such table)",
       {"import", "--url", Url(), "--kind", "sqlite", "--database", database, "--table",
        "missing_table", "--key", "id", csv},
       1,
       R"({"success":false,"message":)"},
      {"nothing listening",
       {"import", "--url", unreachable, "--connect-timeout", "5", "--kind", "sqlite", "--table",
        "t", "--key", "id", csv},
       1,
       unreachable},
      {"no --table",
       {"import", "--url", Url(), "--kind", "sqlite", "--key", "id", csv},
       2,
       "--table"},
      {"unknown kind",
       {"import", "--url", Url(), "--kind", "oracle", "--table", "t", "--key", "id", csv},
       2,
       "--kind"},
      {"no such file",
       {"import", "--url", Url(), "--kind", "sqlite", "--table", "t", "--key", "id",
        Path("none.csv")},
       2,
       "none.csv: cannot be opened"},
      {"key not in the input",
       {"import", "--url", Url(), "--kind", "sqlite", "--table", "t", "--key", "code", csv},
       2,
       "no column \"code\""},
      {"no command", {}, 2, "A subcommand is required"},
  };
  for (const TCase& c : cases) {
    const TRun run = Client(c.Arguments);
    EXPECT_EQ(run.Status, c.Status) << c.Name << "\n" << run.Out << run.Err;
    EXPECT_NE((run.Out + run.Err).find(c.Shown), std::string::npos) << c.Name << "\n"
                                                                    << run.Out << run.Err;
  }
}

TEST_F(CliProgram, ConnectionTestAndServiceCheck) {
  const TRun ok = Client(
      {"test-connection", "--url", Url(), "--kind", "sqlite", "--database", Path("tested.db")});
  EXPECT_EQ(ok.Status, 0) << ok.Err;
  EXPECT_EQ(ok.Out, "{\"success\":true,\"message\":\"Teste de conex\\u00e3o ok!\"}\n");
  if (HavePg()) {
    std::vector<std::string> arguments{"test-connection", "--url", Url()};
    const std::vector<std::string> pg = PgArguments();
    arguments.insert(arguments.end(), pg.begin(), pg.end());
    EXPECT_EQ(Client(arguments).Status, 0);
    arguments.back() = "wrong-password";
    const TRun refused = Client(arguments);
    EXPECT_EQ(refused.Status, 1);
    EXPECT_EQ(refused.Out.rfind(R"({"success":false,"message":")", 0), 0u) << refused.Out;
  }

  const TRun check = Client({"check", Url()});
  EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
  EXPECT_EQ(check.Out,
            "status page: HTTP 200\nrequest check: {\"can_header\":true,\"ide\":\"C++\"}\n");
  const TRun wrongUser = Client({"check", Url(), "--user", "nobody"});
  EXPECT_EQ(wrongUser.Status, 1);
  EXPECT_NE(wrongUser.Out.find("request check: HTTP 401"), std::string::npos) << wrongUser.Out;
  // The password may come from the environment instead of the command line.
  ::setenv("TANDEMIZE_PASSWORD", "not-the-password", 1);
  const TRun wrongPassword = Client({"check", Url()});
  ::unsetenv("TANDEMIZE_PASSWORD");
  EXPECT_EQ(wrongPassword.Status, 1);
  EXPECT_NE(wrongPassword.Out.find("request check: HTTP 401: Unauthorized"), std::string::npos)
      << wrongPassword.Out;
}

}  // namespace
}  // namespace tandemize::cli

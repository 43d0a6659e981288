// Faults around an import, against the running program: the database server
// going away in the middle of an import, the client going away in the middle
// of its body, and the disk under a SQLite file filling up. Each time the
// import leaves nothing behind, the verdict says what failed, and the program
// keeps serving.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "memtable/storage/stream_writer.h"
#include "program_harness.h"

namespace tandemize::harness {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kFailure = R"({"success":false,"message":")";

// `aCount` rows from id `aFirst` on, each with a name of `aWidth` characters.
std::string Rows(int aFirst, int aCount, const std::string& aTag, std::size_t aWidth = 0) {
  std::string data = "[";
  for (int id = aFirst; id < aFirst + aCount; ++id) {
    std::string name = fmt::format("{} {}", aTag, id);
    if (name.size() < aWidth) name.resize(aWidth, '.');
    data += fmt::format(R"({}{{"id":{},"nome":"{}"}})", id == aFirst ? "" : ",", id, name);
  }
  return data + "]";
}

std::string Run(const std::string& aCommand) {
  std::string out;
  FILE* pipe = ::popen((aCommand + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer;
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
    out.append(buffer.data(), n);
  ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

TDirect SQLite(const std::string& aFile) {
  return TDirect({{"DriverID", "SQLite"}, {"Database", aFile}});
}

// ------------------------------------------------- a private PostgreSQL cluster

// A throwaway cluster on a free loopback port with trust authentication, its
// socket and data in a temporary folder; as root the server runs as postgres.
class TPgCluster {
 public:
  void Start() {
    char dir[] = "/tmp/tz_fault_pg.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr) << std::strerror(errno);
    FDir = dir;
    if (::geteuid() == 0) {
      const passwd* owner = ::getpwnam("postgres");
      ASSERT_NE(owner, nullptr) << "no postgres user to run the cluster as";
      ASSERT_EQ(::chown(dir, owner->pw_uid, owner->pw_gid), 0) << std::strerror(errno);
      FAs = "runuser -u postgres -- ";
    }
    FPort = FreePort();
    const std::string init = Run(FAs + kBin + "/initdb -N -D " + FDir + "/data -U postgres " +
                                 "--auth=trust -E UTF8 --locale=C.UTF-8");
    ASSERT_TRUE(fs::exists(FDir + "/data/PG_VERSION")) << init;
    Up();
  }

  void Up() {
    const std::string out = Run(FAs + kBin + "/pg_ctl -D " + FDir + "/data -l " + FDir +
                                "/server.log -w -t 60 -o \"-c listen_addresses=127.0.0.1 -p " +
                                std::to_string(FPort) + " -k " + FDir + "\" start");
    ASSERT_EQ(Sql("SELECT 1"), "1") << out << "\n" << Run("cat " + FDir + "/server.log");
  }

  // Stops the server at once: every backend is killed, nothing is rolled
  // back or checkpointed; the next start recovers from the log.
  void Crash() { Run(FAs + kBin + "/pg_ctl -D " + FDir + "/data -w -m immediate stop"); }

  void Destroy() {
    if (FDir.empty()) return;
    Crash();
    fs::remove_all(FDir);
    FDir.clear();
  }
  ~TPgCluster() { Destroy(); }

  std::string Sql(const std::string& aSql) const {
    return Run("psql -X -q -h " + FDir + " -p " + std::to_string(FPort) +
               " -U postgres -d postgres -Atc \"" + aSql + "\"");
  }

  std::string Params() const {
    return fmt::format(
        R"({{"tipo_sgdb":2,"host":"127.0.0.1","port":{},"catalog":"","charset":"UTF8",)"
        R"("database":"postgres","user":"postgres","password":"","lib":""}})",
        FPort);
  }

 private:
  static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";
  std::string FDir;
  std::string FAs;
  int FPort = 0;
};

class Faults : public TProgramSuite {
 protected:
  // The program is still running and answers a request.
  void ExpectServing() {
    const auto ended = Program().Ended();
    ASSERT_FALSE(ended) << "the program ended: " << *ended;
    EXPECT_EQ(Call(TMethod::Get, "/checkrequest").Status, 200);
  }
};

// The database server is stopped while a 100,000-row import is being written:
// the verdict carries the client's message, and once the server is back the
// table holds its earlier rows, untouched, and none of the import's.
TEST_F(Faults, DatabaseServerStoppedInTheMiddleOfAnImport) {
  TPgCluster pg;
  ASSERT_NO_FATAL_FAILURE(pg.Start());
  ASSERT_EQ(pg.Sql("CREATE TABLE tz_fault (id INTEGER PRIMARY KEY, nome VARCHAR(2000))"), "");
  ASSERT_EQ(Import(RowsEnvelope(pg.Params(), "tz_fault", Rows(1, 10, "earlier"))).Body, kSuccess);
  const std::string sizeQuery = "SELECT pg_relation_size('tz_fault')";
  const long before = std::stol(pg.Sql(sizeQuery));

  // The import rewrites the earlier rows, then inserts new ones.
  const std::string envelope = RowsEnvelope(pg.Params(), "tz_fault", Rows(1, 100000, "import"));
  const auto started = std::chrono::steady_clock::now();
  auto answer = std::async(std::launch::async, [&] { return Import(envelope); });

  // Under way once the table grows by its uncommitted rows. The server is
  // stopped in any case, so that a failed wait does not wait for the import.
  bool underway = false;
  bool endedFirst = false;
  while (!underway && std::chrono::steady_clock::now() - started < 150s) {
    if (answer.wait_for(100ms) != std::future_status::timeout) {
      endedFirst = true;
      break;
    }
    const std::string size = pg.Sql(sizeQuery);
    underway = !size.empty() && std::isdigit(static_cast<unsigned char>(size[0])) &&
               std::stol(size) > before + 4 * 8192;
  }
  const auto stopped = std::chrono::steady_clock::now();
  pg.Crash();
  ASSERT_FALSE(endedFirst) << "the import ended before the server was stopped: "
                           << answer.get().Body;
  ASSERT_TRUE(underway) << "the import wrote no rows within 150 s";

  const TAnswer verdict = answer.get();
  const auto ms = [](auto d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  std::printf("stopped after %lld ms; verdict %lld ms after the stop: %s\n",
              static_cast<long long>(ms(stopped - started)),
              static_cast<long long>(ms(std::chrono::steady_clock::now() - stopped)),
              verdict.Body.c_str());
  EXPECT_EQ(verdict.Status, 200);
  // The PostgreSQL client's own words, after the layer's prefix.
  EXPECT_EQ(verdict.Body.rfind(std::string(kFailure) + "[DAL][Phys][PG][libpq]", 0), 0u)
      << verdict.Body;
  // Either the connection is found dead, or the backend says why as it goes.
  EXPECT_TRUE(verdict.Body.find("server closed the connection unexpectedly") != std::string::npos ||
              verdict.Body.find("immediate shutdown") != std::string::npos)
      << verdict.Body;

  ASSERT_NO_FATAL_FAILURE(pg.Up());
  EXPECT_EQ(
      pg.Sql("SELECT count(*), min(id), max(id), count(*) FILTER (WHERE nome LIKE 'earlier %') "
             "FROM tz_fault"),
      "10|1|10|10");
  ExpectServing();
}

// ------------------------------------------- a client leaving halfway through

// Sends a request head announcing `aLength` body bytes and then `aSent` of
// them, and goes away: with a FIN, or with a reset when `aReset`.
void SendAndLeave(const std::string& aHead, const std::string& aBody, std::size_t aSent,
                  bool aReset) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(ServicePort()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
      << std::strerror(errno);
  const std::string bytes = aHead + aBody.substr(0, aSent);
  ASSERT_EQ(::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  if (aReset) {
    const linger hard{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  ::close(s);
}

std::string Head(std::size_t aLength, const std::string& aRequestHeader) {
  std::string head = fmt::format(
      "POST /tandemize HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic dHVsaXA6dHVsaXA=\r\n"
      "Content-Type: application/octet-stream\r\nContent-Length: {}\r\n",
      aLength);
  if (!aRequestHeader.empty()) head += "x-request: " + aRequestHeader + "\r\n";
  return head + "\r\n";
}

// The same rows (id, nome) as a binary dataset stream.
std::string StreamRows(int aFirst, int aCount) {
  using DT = memtable::TColumnDataType;
  memtable::storage::TStreamManager m;
  memtable::storage::TStreamTable& t = m.AddTable("t");
  t.AddColumn("id", DT::dtInt32);
  t.AddColumn("nome", DT::dtWideString, 2000);
  for (int id = aFirst; id < aFirst + aCount; ++id) {
    auto& row = t.AddRow(memtable::TRowStoreRowState::rsInserted);
    memtable::storage::SetStreamValue(t, row, memtable::TRowStoreBufferKind::bkCurrent, 0,
                                      std::int32_t{id});
    memtable::storage::SetStreamValue(t, row, memtable::TRowStoreBufferKind::bkCurrent, 1,
                                      fmt::format("cut {}", id));
  }
  return memtable::storage::WriteBinaryStream(m);
}

TEST_F(Faults, ClientLeavingInTheMiddleOfTheBodyImportsNothing) {
  const std::string file =
      (fs::temp_directory_path() / fmt::format("tz_fault_{}_cut.db", ::getpid())).string();
  fs::remove(file);
  SQLite(file).Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, nome TEXT)");
  ASSERT_EQ(Import(RowsEnvelope(SQLiteParams(file), "t", Rows(1, 5, "earlier"))).Body, kSuccess);

  // Every cut import would rewrite the earlier rows and add 2,000 more.
  const std::string json = RowsEnvelope(SQLiteParams(file), "t", Rows(1, 2000, "cut"));
  const std::string header = fmt::format(
      R"({{"params":{},"headers":{{"teble_name":"t","pks":["id"],"fields":["nome"]}}}})",
      SQLiteParams(file));
  const std::string stream = StreamRows(1, 2000);
  struct Case {
    const char* name;
    const std::string& body;
    std::string requestHeader;
    std::size_t sent;
    bool reset;
  };
  const Case cases[] = {
      {"JSON, half the body", json, "", json.size() / 2, false},
      {"JSON, all but the last byte", json, "", json.size() - 1, false},
      {"JSON, the head only", json, "", 0, false},
      {"binary, half the body", stream, header, stream.size() / 2, false},
      {"binary, all but the last byte, reset", stream, header, stream.size() - 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SendAndLeave(Head(c.body.size(), c.requestHeader), c.body, c.sent, c.reset);
    // The next request is served, and the table is as it was.
    ASSERT_NO_FATAL_FAILURE(ExpectServing());
    TDirect direct = SQLite(file);
    EXPECT_EQ(direct.Value("SELECT count(*) || '|' || sum(nome LIKE 'earlier %') FROM t"), "5|5");
    direct.Close();
  }
  // An import sent whole still lands.
  EXPECT_EQ(Import(RowsEnvelope(SQLiteParams(file), "t", Rows(5, 2, "after"))).Body, kSuccess);
  TDirect direct = SQLite(file);
  EXPECT_EQ(direct.Value("SELECT group_concat(nome, ',') FROM (SELECT nome FROM t ORDER BY id)"),
            "earlier 1,earlier 2,earlier 3,earlier 4,after 5,after 6");
  direct.Close();
  fs::remove(file);
}

// ------------------------------------------------------------ a full disk

// A SQLite database on a tmpfs of a few hundred KiB, mounted for the test.
class FullDisk : public Faults {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tz_fault_fs.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr) << std::strerror(errno);
    FMount = dir;
    if (::mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, "size=384k,mode=0777") != 0) {
      const int error = errno;
      ::rmdir(dir);
      FMount.clear();
      GTEST_FAIL() << "mounting a 384 KiB tmpfs on " << dir
                   << " was refused: " << std::strerror(error)
                   << " (the test needs root or CAP_SYS_ADMIN)";
    }
    FMounted = true;
  }
  void TearDown() override {
    Faults::TearDown();
    if (FMounted) ::umount2(FMount.c_str(), MNT_DETACH);
    if (!FMount.empty()) ::rmdir(FMount.c_str());
  }

  std::string FMount;
  bool FMounted = false;
};

TEST_F(FullDisk, ImportThatFillsTheDiskFailsAndLeavesTheFileWhole) {
  const std::string file = FMount + "/loja.db";
  SQLite(file).Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, nome TEXT)");
  ASSERT_EQ(Import(RowsEnvelope(SQLiteParams(file), "t", Rows(1, 5, "earlier"))).Body, kSuccess);

  // About 2 MB of rows for a disk of 384 KiB; the earlier rows are rewritten first.
  const TAnswer full = Import(RowsEnvelope(SQLiteParams(file), "t", Rows(1, 2000, "big", 1000)));
  std::printf("verdict on the full disk: %s\n", full.Body.c_str());
  EXPECT_EQ(full.Status, 200);
  EXPECT_EQ(full.Body.rfind(std::string(kFailure) + "[DAL]", 0), 0u) << full.Body;
  EXPECT_NE(full.Body.find("full"), std::string::npos) << full.Body;
  ASSERT_NO_FATAL_FAILURE(ExpectServing());

  TDirect direct = SQLite(file);
  EXPECT_EQ(direct.Value("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(direct.Value("SELECT count(*) || '|' || sum(nome LIKE 'earlier %') FROM t"), "5|5");
  direct.Close();
  // The space the failed import took is given back: a small one fits.
  EXPECT_EQ(Import(RowsEnvelope(SQLiteParams(file), "t", Rows(6, 20, "small", 100))).Body,
            kSuccess);
  TDirect after = SQLite(file);
  EXPECT_EQ(after.Value("SELECT count(*) FROM t"), "25");
  after.Close();
}

}  // namespace
}  // namespace tandemize::harness

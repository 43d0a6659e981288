// Hostile requests against the real program on a free port: oversized and
// malformed HTTP, absurd JSON, identifiers built to change a statement or too
// long to be one, and connection texts holding a NUL. Each is answered
// cleanly, the service keeps serving, and the SQLite file the imports name is
// left as it was.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "free_port.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kCredentials = "Authorization: Basic dHVsaXA6dHVsaXA=\r\n";  // tulip:tulip

// The port of the running program.
int gPort = 0;

// The program as a child process on a free port (--port aPort).
class TProgram {
 public:
  explicit TProgram(int aPort) {
    const char* binary = std::getenv("TANDEMIZE_BINARY");
    if (binary == nullptr) throw std::runtime_error("TANDEMIZE_BINARY is not set");
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const std::string port = std::to_string(aPort);
    FPid = fork();
    if (FPid == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(binary, binary, "--port", port.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FStdout = out[0];
  }
  ~TProgram() {
    kill(FPid, SIGTERM);
    waitpid(FPid, nullptr, 0);
    close(FStdout);
  }
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;
  std::string FirstLine() {
    std::string line;
    char c;
    while (read(FStdout, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  bool Running() { return waitpid(FPid, nullptr, WNOHANG) == 0; }

 private:
  pid_t FPid = -1;
  int FStdout = -1;
};

struct TReply {
  int Status = 0;
  std::string Body;
};

// Sends aRequest (as much of it as the server takes) and reads until the
// server closes the connection or 180 s pass.
TReply Exchange(const std::string& aRequest) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(gPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{180, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  TReply reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return reply;
  }
  for (std::size_t sent = 0; sent < aRequest.size();) {
    const ssize_t n = send(fd, aRequest.data() + sent, aRequest.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // refused early: the answer is already on its way
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.size() < 12 || end == std::string::npos) return reply;
  reply.Status = std::stoi(raw.substr(9, 3));
  reply.Body = raw.substr(end + 4);
  return reply;
}

std::string Post(const std::string& aPath, const std::string& aBody) {
  return "POST " + aPath + " HTTP/1.1\r\nHost: x\r\n" + kCredentials +
         "Content-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(aBody.size()) + "\r\n\r\n" + aBody;
}

// The "message" member of a verdict, its \u escapes turned back into UTF-8.
std::string VerdictMessage(const std::string& aVerdict) {
  const std::string key = "\"message\":\"";
  std::size_t pos = aVerdict.find(key);
  if (pos == std::string::npos) return {};
  std::string out;
  for (pos += key.size(); pos < aVerdict.size() && aVerdict[pos] != '"'; ++pos) {
    if (aVerdict[pos] != '\\') {
      out += aVerdict[pos];
      continue;
    }
    const char kind = aVerdict[++pos];
    if (kind != 'u') {
      out += kind == 'n' ? '\n' : kind;
      continue;
    }
    const unsigned code = std::stoul(aVerdict.substr(pos + 1, 4), nullptr, 16);
    pos += 4;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::string JsonString(const std::string& aText) {
  std::string out = "\"";
  for (const char c : aText) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string FileBytes(const fs::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Runs statements on the SQLite file; the rows of a query as "a|b;c|d;".
std::string Sqlite(const fs::path& aFile, const std::string& aSql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(aFile.c_str(), &db) != SQLITE_OK) return "open failed";
  std::string rows;
  char* error = nullptr;
  sqlite3_exec(
      db, aSql.c_str(),
      [](void* out, int n, char** values, char**) {
        auto& text = *static_cast<std::string*>(out);
        for (int i = 0; i < n; ++i)
          text += std::string(i ? "|" : "") + (values[i] ? values[i] : "");
        text += ';';
        return 0;
      },
      &rows, &error);
  if (error != nullptr) {
    rows = error;
    sqlite3_free(error);
  }
  sqlite3_close(db);
  return rows;
}

// One program for the suite, started on a free port before its first test
// (on another when the port was taken before the program could listen).
class HostileInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (int attempt = 0; attempt < 5 && !FProgram; ++attempt) {
      gPort = tandemize::harness::FreePort();
      FProgram = std::make_unique<TProgram>(gPort);
      const std::string banner =
          "Servidor ativo 0.0.0.0:" + std::to_string(gPort) + " - C++ Linux Plataforma 64 Bits";
      if (FProgram->FirstLine() != banner) FProgram.reset();
    }
    ASSERT_TRUE(FProgram) << "the program did not print its banner";
  }
  static void TearDownTestSuite() { FProgram.reset(); }

  void SetUp() override {
    ASSERT_TRUE(FProgram && FProgram->Running()) << "the program is not running";
    FFile = fs::temp_directory_path() / ("tandemize_hostile_" + std::to_string(getpid()) + ".db");
    fs::remove(FFile);
    ASSERT_EQ(Sqlite(FFile,
                     "CREATE TABLE clientes (id INTEGER PRIMARY KEY, nome TEXT);"
                     "INSERT INTO clientes VALUES (1, 'Ana'), (2, 'Bruno');"),
              "");
  }
  void TearDown() override { fs::remove(FFile); }

  // The connection parameters of the imports: the SQLite file.
  std::string Params() const {
    return "{\"tipo_sgdb\":5,\"database\":" + JsonString(FFile.string()) + "}";
  }

  // An import of one row into aTable, keyed on aKey, writing aField, with
  // aParams as its connection parameters (Params() when empty).
  std::string Import(const std::string& aTable, const std::string& aKey, const std::string& aField,
                     const std::string& aParams = {}) const {
    return "{\"params\":" + (aParams.empty() ? Params() : aParams) +
           ",\"headers\":{\"teble_name\":" + JsonString(aTable) + ",\"pks\":[" + JsonString(aKey) +
           "],\"fields\":[" + JsonString(aField) +
           "]},\"tandemize\":{\"structure\":[{\"fieldName\":" + JsonString(aKey) +
           ",\"dataType\":\"ftInteger\",\"size\":0},{\"fieldName\":" + JsonString(aField) +
           ",\"dataType\":\"ftWideString\",\"size\":60}],\"data\":[{" + JsonString(aKey) + ":1," +
           JsonString(aField) + ":\"Mallory\"}]}}";
  }

  void ExpectServing() {
    const TReply status = Exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(status.Status, 200);
    EXPECT_TRUE(FProgram->Running());
  }

  fs::path FFile;
  static inline std::unique_ptr<TProgram> FProgram;
};

TEST_F(HostileInput, MalformedAndOversizedRequestsGetCleanAnswers) {
  std::string manyHeaders = "GET / HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 10000; ++i) manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
  manyHeaders += "\r\n";
  const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  // Close to the header block limit in headers of a few bytes each, on a route
  // that reads its headers.
  std::string tinyHeaders = "GET /checkrequest HTTP/1.1\r\nHost: x\r\n" + std::string(kCredentials);
  for (int i = 0; i < 100000; ++i) tinyHeaders += "a" + std::to_string(i) + ":\r\n";
  tinyHeaders += "\r\n";
  const struct {
    const char* name;
    std::string request;
    int status;
    const char* bodyStart;
  } cases[] = {
      // Only the announcement and a little of the body are sent.
      {"body of 256 MiB + 1",
       "POST /tandemize HTTP/1.1\r\nHost: x\r\n" + std::string(kCredentials) +
           "Content-Type: application/octet-stream\r\nContent-Length: 268435457\r\n\r\n" +
           std::string(4096, '{'),
       413, "Request body larger than 268435456 bytes"},
      {"10,000 headers", manyHeaders, 200, "<h2>Servidor Tandemize Ativo!"},
      {"100,000 empty headers", tinyHeaders, 200, "{\"can_header\":false,"},
      {"one header of 2 MiB",
       "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(2 << 20, 'h') + "\r\n\r\n", 431,
       "Request header block larger than 1048576 bytes"},
      {"x-request of 2 MiB on the import route",
       "POST /tandemize HTTP/1.1\r\nHost: x\r\n" + std::string(kCredentials) +
           "x-request: " + std::string(2 << 20, '{') + "\r\nContent-Length: 0\r\n\r\n",
       431, "Request header block larger than 1048576 bytes"},
      {"broken percent escapes in the query", "GET /?a=%zz&b=%&%=%%41 HTTP/1.1\r\nHost: x\r\n\r\n",
       200, "<h2>Servidor Tandemize Ativo!"},
      {"broken percent escape in the path",
       "GET /check%zzrequest%? HTTP/1.1\r\nHost: x\r\n" + std::string(kCredentials) + "\r\n", 404,
       "Not Found"},
      {"import envelope nested 1,000,000 deep", Post("/tandemize", "{\"params\":" + deep + "}"),
       200, "{\"success\":false,"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto started = std::chrono::steady_clock::now();
    const TReply reply = Exchange(c.request);
    EXPECT_EQ(reply.Status, c.status);
    EXPECT_EQ(reply.Body.rfind(c.bodyStart, 0), 0u) << reply.Body.substr(0, 500);
    EXPECT_LT(reply.Body.size(), 4096u);
    // Generous: the refusals are quick, but the machine may be busy.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    ExpectServing();
  }
}

TEST_F(HostileInput, IdentifiersThatCouldChangeAStatementAreRefused) {
  const std::string before = FileBytes(FFile);
  const std::string fullwidth = "\xEF\xBD\x83lientes";                      // fullwidth small c
  const std::string cyrillic = "clientes_\xD0\xB0";                         // Cyrillic small a
  const std::string allFullwidth = "\xEF\xBD\x83\xEF\xBD\x8C\xEF\xBD\x89";  // "cli"
  const struct {
    const char* where;
    std::string table, key, field, refused;
  } cases[] = {
      {"table", "clientes; DROP TABLE clientes", "id", "nome", "clientes; DROP TABLE clientes"},
      {"table", "a\"b", "id", "nome", "a\"b"},
      {"table", "x--", "id", "nome", "x--"},
      {"table", "/*x*/clientes", "id", "nome", "/*x*/clientes"},
      {"table", "clientes WHERE 1=1", "id", "nome", "clientes WHERE 1=1"},
      {"table", "\"clientes\"; DROP TABLE clientes; --\"", "id", "nome",
       "\"clientes\"; DROP TABLE clientes; --\""},
      {"table", "[clientes]]; DROP TABLE clientes; --]", "id", "nome",
       "[clientes]]; DROP TABLE clientes; --]"},
      {"key", "clientes", "id) VALUES (9, 'x'); --", "nome", "id) VALUES (9, 'x'); --"},
      {"field", "clientes", "id", "nome = 'pwned' --", "nome = 'pwned' --"},
      {"field", "clientes", "id", "nome\n", "nome\n"},
      {"table", fullwidth, "id", "nome", fullwidth},
      {"table", allFullwidth, "id", "nome", allFullwidth},
      {"table", cyrillic, "id", "nome", cyrillic},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.where) + " " + c.refused);
    const TReply reply = Exchange(Post("/tandemize", Import(c.table, c.key, c.field)));
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Body.rfind("{\"success\":false,", 0), 0u) << reply.Body;
    const std::string message = VerdictMessage(reply.Body);
    EXPECT_EQ(message, "Invalid identifier: " + c.refused);
  }
  ExpectServing();
  // The table still holds its rows, no table was added, the file is unchanged.
  EXPECT_EQ(Sqlite(FFile, "SELECT id, nome FROM clientes ORDER BY id"), "1|Ana;2|Bruno;");
  EXPECT_EQ(Sqlite(FFile, "SELECT name FROM sqlite_master"), "clientes;");
  EXPECT_EQ(FileBytes(FFile), before);
  // A proper import into the same file still works.
  const TReply good = Exchange(Post("/tandemize", Import("clientes", "id", "nome")));
  EXPECT_EQ(good.Body, "{\"success\":true,\"message\":\"Dados Importado com sucesso!\"}");
  EXPECT_EQ(Sqlite(FFile, "SELECT id, nome FROM clientes ORDER BY id"), "1|Mallory;2|Bruno;");
}

TEST_F(HostileInput, NamesLongerThan255CharactersAreRefusedAndTheServiceGoesOn) {
  const std::string before = FileBytes(FFile);
  const std::string plain(300, 'x');
  std::string accented;  // 300 characters, 500 bytes
  for (int i = 0; i < 100; ++i) accented += "\xC3\xA7\xC3\xA3o";
  const std::string tooLong = "[DAL][Phys][SQLite]-323. Too long identifier (> 255)";
  const struct {
    const char* where;
    std::string table, key, field;
    std::string message;  // empty: any refusal
  } cases[] = {
      {"field", "clientes", "id", plain, tooLong},
      {"key", "clientes", plain, "nome", tooLong},
      {"quoted field", "clientes", "id", "\"" + plain + "\"", tooLong},
      {"quoted key", "clientes", "\"" + plain + "\"", "nome", tooLong},
      {"accented field", "clientes", "id", accented, tooLong},
      {"accented key", "clientes", accented, "nome", tooLong},
      {"table", "t" + plain, "id", "nome", ""},
      {"quoted table", "\"" + plain + "\"", "id", "nome", ""},
      {"inside a quoted table", "\"a :" + plain + "\"", "id", "nome", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    const TReply reply = Exchange(Post("/tandemize", Import(c.table, c.key, c.field)));
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Body.rfind("{\"success\":false,\"message\":\"", 0), 0u) << reply.Body;
    if (!c.message.empty()) {
      EXPECT_EQ(VerdictMessage(reply.Body), c.message);
    }
    ExpectServing();
  }
  EXPECT_EQ(Sqlite(FFile, "SELECT id, nome FROM clientes ORDER BY id"), "1|Ana;2|Bruno;");
  EXPECT_EQ(FileBytes(FFile), before);
}

TEST_F(HostileInput, ConnectionTextsHoldingANulAreRefusedBeforeAnythingOpens) {
  const fs::path other = FFile.parent_path() / ("tandemize_f7_" + std::to_string(getpid()) + ".db");
  fs::remove(other);
  const std::string before = FileBytes(FFile);
  // The value of each text as JSON: a NUL escape inside an otherwise usable
  // value (for "database", a new file beside the test's).
  const struct {
    const char* key;
    std::string value;
  } cases[] = {
      {"database", JsonString(other.string()).insert(other.string().size() + 1, "\\u0000.other")},
      {"host", "\"localhost\\u0000evil\""},
      {"user", "\"sa\\u0000\""},
      {"password", "\"\\u0000\""},
      {"lib", "\"libsqlite3.so\\u0000.x\""},
      {"charset", "\"UTF8\\u0000\""},
      {"catalog", "\"main\\u0000x\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    std::string params = Params();
    if (std::string(c.key) == "database") {
      params = "{\"tipo_sgdb\":5,\"database\":" + c.value + "}";
    } else {
      params.insert(params.size() - 1, ",\"" + std::string(c.key) + "\":" + c.value);
    }
    const std::string refusal = "Invalid " + std::string(c.key) + ": contains a NUL character";
    const TReply import = Exchange(Post("/tandemize", Import("clientes", "id", "nome", params)));
    EXPECT_EQ(import.Status, 200);
    EXPECT_EQ(import.Body, "{\"success\":false,\"message\":\"" + refusal + "\"}");
    const TReply test = Exchange(Post("/testedb", params));
    EXPECT_EQ(test.Status, 200);
    EXPECT_EQ(test.Body, "{\"success\":false,\"message\":\"" + refusal + "\"}");
  }
  EXPECT_FALSE(fs::exists(other));
  EXPECT_EQ(FileBytes(FFile), before);
  ExpectServing();
}

}  // namespace

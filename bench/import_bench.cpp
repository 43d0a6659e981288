// Import benchmark: the same rows written by a direct client and by the
// running service (JSON envelope and binary stream posted over loopback),
// medians of several runs; and one import's peak memory in the service.
//
//   import_bench time   --kind sqlite|pg|mysql --rows N --runs R --port P [--db FILE]
//       RESULT <kind> <rows> <insert|update> <direct s> <json s> <binary s>
//   import_bench memory --kind sqlite --rows N --format json|binary --port P --pid PID [--db FILE]
//       MEMORY <format> <body bytes> <VmHWM kB>
//   import_bench latency --rows N --runs R --ports SEQ,PIPE,SET [--seq-rows M] [--rtt LABEL]
//       PG through whatever TANDEMIZE_PG_PORT points at (the delay proxy):
//       the COPY anchor and three services (pg_upsert sequential, pipelined,
//       set), each JSON and binary, after one untimed import of each format
//       per service. The sequential way runs M rows (N unless told) and its
//       time is scaled to N rows.
//       LATENCY <rtt> <rows> <insert|update> <seq rows> <copy s> <seq json s> <seq binary s>
//               <pipelined json s> <pipelined binary s> <set json s> <set binary s>
//   import_bench sql    the statement texts the direct clients run

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_data.h"
#include "direct_clients.h"
#include "json/json.h"
#include "loopback.h"
#include "service/dm.h"
#include "service/upsert.h"

namespace tandemize::bench {

TImportSql ServiceSql() {
  // The texts as the upsert engine builds them for this header (lines joined
  // with CR LF, as the query runs them).
  TImportSql sql{
      "SELECT *  \r\n  FROM bench_rows \r\n WHERE  id = :id \r\n",
      "UPDATE bench_rows SET  nome = :nome,  valor = :valor,  dia = :dia,  dados = :dados WHERE  "
      "id = :id\r\n",
      "INSERT INTO bench_rows ( id,  nome,  valor,  dia,  dados) VALUES ( :id,  :nome,  :valor,  "
      ":dia,  :dados)\r\n"};
  json::TJsonObject E;
  E.Parse(HeaderJson(ParamsJson("sqlite", "x")));
  json::TJsonObject& H = E["headers"].AsObject();
  std::string exists;
  for (const std::string& line : service::BuildExistsSql(H)) exists += line + "\r\n";
  if (exists != sql.Exists || service::BuildUpdateSql(H) + "\r\n" != sql.Update ||
      service::BuildInsertSql(H) + "\r\n" != sql.Insert) {
    throw std::runtime_error("the service now builds other statement texts; update ServiceSql");
  }
  return sql;
}

namespace {

using TClock = std::chrono::steady_clock;

struct TOptions {
  std::string Mode, Kind = "sqlite", Format = "json", Db = "/tmp/tandemize-bench.db";
  int Rows = 10000, Runs = 5, Port = 0, Pid = 0, SeqRows = 0;
  std::vector<int> Ports;
  std::string Rtt = "0";
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  if (argc > 1) o.Mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--kind")
      o.Kind = value;
    else if (key == "--format")
      o.Format = value;
    else if (key == "--db")
      o.Db = value;
    else if (key == "--rows")
      o.Rows = std::stoi(value);
    else if (key == "--runs")
      o.Runs = std::stoi(value);
    else if (key == "--port")
      o.Port = std::stoi(value);
    else if (key == "--pid")
      o.Pid = std::stoi(value);
    else if (key == "--seq-rows")
      o.SeqRows = std::stoi(value);
    else if (key == "--rtt")
      o.Rtt = value;
    else if (key == "--ports") {
      for (std::size_t at = 0; at <= value.size();) {
        const std::size_t comma = std::min(value.find(',', at), value.size());
        o.Ports.push_back(std::stoi(value.substr(at, comma - at)));
        at = comma + 1;
      }
    } else
      throw std::runtime_error("unknown option " + key);
  }
  return o;
}

// Posts one import on a fresh connection; the time runs from the first byte
// sent to the last byte of the verdict. Fails unless the verdict is success.
double PostImport(int aPort, const std::string& aXRequest, const std::string& aBody) {
  const int fd = ConnectLoopback(aPort);
  if (fd < 0) {
    throw std::runtime_error("cannot connect to the service on port " + std::to_string(aPort));
  }
  std::string head =
      "POST /tandemize HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic dHVsaXA6dHVsaXA=\r\n"
      "Content-Type: application/octet-stream\r\nContent-Length: " +
      std::to_string(aBody.size()) + "\r\n";
  if (!aXRequest.empty()) head += "x-request: " + aXRequest + "\r\n";
  head += "\r\n";

  const TClock::time_point start = TClock::now();
  for (const std::string* part : {static_cast<const std::string*>(&head), &aBody}) {
    std::size_t sent = 0;
    while (sent < part->size()) {
      const ssize_t n = ::send(fd, part->data() + sent, part->size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        ::close(fd);
        throw std::runtime_error("sending the import failed");
      }
      sent += static_cast<std::size_t>(n);
    }
  }
  std::string answer;
  char buffer[4096];
  std::size_t expected = std::string::npos;
  while (answer.size() < expected) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
    const std::size_t headEnd = answer.find("\r\n\r\n");
    if (expected == std::string::npos && headEnd != std::string::npos) {
      const std::size_t at = answer.find("Content-Length: ");
      if (at != std::string::npos && at < headEnd) {
        expected = headEnd + 4 + std::stoul(answer.substr(at + 16));
      }
    }
  }
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  ::close(fd);
  if (answer.find("\"success\":true") == std::string::npos) {
    throw std::runtime_error("the service refused the import: " + answer);
  }
  return seconds;
}

double Median(std::vector<double> aValues) {
  std::sort(aValues.begin(), aValues.end());
  const std::size_t n = aValues.size();
  return n % 2 == 1 ? aValues[n / 2] : (aValues[n / 2 - 1] + aValues[n / 2]) / 2;
}

void CheckCount(TDirectClient& aClient, int aRows) {
  const long long count = aClient.CountRows();
  if (count != aRows) {
    throw std::runtime_error("the table holds " + std::to_string(count) + " rows, not " +
                             std::to_string(aRows));
  }
}

int RunTime(const TOptions& o) {
  const std::vector<TBenchRow> rows = MakeRows(o.Rows, 1);
  const std::vector<TBenchRow> older = MakeRows(o.Rows, 2);
  const std::string params = ParamsJson(o.Kind, o.Db);
  const std::string header = HeaderJson(params);
  const std::string json = JsonBody(params, rows);
  const std::string binary = BinaryBody(rows);
  std::unique_ptr<TDirectClient> client = MakeDirectClient(o.Kind, o.Db);

  for (const bool update : {false, true}) {
    std::map<std::string, std::vector<double>> times;
    // The three ways interleaved, so a slow moment of the machine does not
    // fall on one of them only.
    for (int run = 0; run < o.Runs; ++run) {
      for (const std::string way : {"direct", "json", "binary"}) {
        client->ResetTable(update ? &older : nullptr);
        double seconds = 0;
        if (way == "direct") {
          const TClock::time_point start = TClock::now();
          client->Import(rows);
          seconds = std::chrono::duration<double>(TClock::now() - start).count();
        } else if (way == "json") {
          seconds = PostImport(o.Port, "", json);
        } else {
          seconds = PostImport(o.Port, header, binary);
        }
        CheckCount(*client, o.Rows);
        times[way].push_back(seconds);
      }
    }
    std::printf("RESULT %s %d %s %.6f %.6f %.6f\n", o.Kind.c_str(), o.Rows,
                update ? "update" : "insert", Median(times["direct"]), Median(times["json"]),
                Median(times["binary"]));
    std::fflush(stdout);
  }
  return 0;
}

int RunLatency(const TOptions& o) {
  if (o.Kind != "pg" || o.Ports.size() != 3) {
    throw std::runtime_error("latency takes --kind pg and three --ports");
  }
  const int seqRows = o.SeqRows > 0 ? o.SeqRows : o.Rows;
  struct TSet {
    int Count;
    std::vector<TBenchRow> Rows, Older;
    std::string Json, Binary;
  };
  const std::string params = ParamsJson(o.Kind, o.Db);
  const std::string header = HeaderJson(params);
  auto makeSet = [&](int aCount) {
    TSet set{aCount, MakeRows(aCount, 1), MakeRows(aCount, 2), {}, {}};
    set.Json = JsonBody(params, set.Rows);
    set.Binary = BinaryBody(set.Rows);
    return set;
  };
  const TSet full = makeSet(o.Rows);
  const TSet seq = seqRows == o.Rows ? TSet{} : makeSet(seqRows);
  std::unique_ptr<TDirectClient> client = MakeDirectClient(o.Kind, o.Db);
  static const char* kWays[] = {"seq", "pipe", "set"};
  // One untimed import per service first: a fresh process's first import
  // also pays for growing its heap, which would fall on one figure only.
  for (int way = 0; way < 3; ++way) {
    const TSet& set = way == 0 && seqRows != o.Rows ? seq : full;
    client->ResetTable(nullptr);
    PostImport(o.Ports[way], header, set.Binary);
    PostImport(o.Ports[way], "", set.Json);
  }
  for (const bool update : {false, true}) {
    std::map<std::string, std::vector<double>> times;
    for (int run = 0; run < o.Runs; ++run) {
      client->ResetTable(update ? &full.Older : nullptr);
      const TClock::time_point start = TClock::now();
      client->ImportCopy(full.Rows);
      times["copy"].push_back(std::chrono::duration<double>(TClock::now() - start).count());
      CheckCount(*client, o.Rows);
      for (int way = 0; way < 3; ++way) {
        const TSet& set = way == 0 && seqRows != o.Rows ? seq : full;
        for (const bool binary : {false, true}) {
          client->ResetTable(update ? &set.Older : nullptr);
          double seconds = binary ? PostImport(o.Ports[way], header, set.Binary)
                                  : PostImport(o.Ports[way], "", set.Json);
          CheckCount(*client, set.Count);
          seconds *= static_cast<double>(o.Rows) / set.Count;
          times[std::string(kWays[way]) + (binary ? "b" : "j")].push_back(seconds);
        }
      }
    }
    std::printf("LATENCY %s %d %s %d %.6f %.6f %.6f %.6f %.6f %.6f %.6f\n", o.Rtt.c_str(), o.Rows,
                update ? "update" : "insert", seqRows, Median(times["copy"]), Median(times["seqj"]),
                Median(times["seqb"]), Median(times["pipej"]), Median(times["pipeb"]),
                Median(times["setj"]), Median(times["setb"]));
    std::fflush(stdout);
  }
  return 0;
}

long VmHWMKilobytes(int aPid) {
  std::ifstream status("/proc/" + std::to_string(aPid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  throw std::runtime_error("no VmHWM for process " + std::to_string(aPid));
}

int RunMemory(const TOptions& o) {
  const std::vector<TBenchRow> rows = MakeRows(o.Rows, 1);
  const std::string params = ParamsJson(o.Kind, o.Db);
  std::unique_ptr<TDirectClient> client = MakeDirectClient(o.Kind, o.Db);
  client->ResetTable(nullptr);
  std::size_t size = 0;
  if (o.Format == "json") {
    const std::string body = JsonBody(params, rows);
    size = body.size();
    PostImport(o.Port, "", body);
  } else {
    const std::string body = BinaryBody(rows);
    size = body.size();
    PostImport(o.Port, HeaderJson(params), body);
  }
  CheckCount(*client, o.Rows);
  std::printf("MEMORY %s %zu %ld\n", o.Format.c_str(), size, VmHWMKilobytes(o.Pid));
  return 0;
}

}  // namespace
}  // namespace tandemize::bench

int main(int argc, char** argv) {
  using namespace tandemize::bench;
  try {
    const TOptions o = ParseOptions(argc, argv);
    if (o.Mode == "time") return RunTime(o);
    if (o.Mode == "memory") return RunMemory(o);
    if (o.Mode == "latency") return RunLatency(o);
    if (o.Mode == "sql") {
      const TImportSql sql = ServiceSql();
      std::cout << sql.Exists << sql.Update << sql.Insert;
      return 0;
    }
    if (o.Mode == "body") {  // writes the bodies, for profiling the service by hand
      const std::vector<TBenchRow> rows = MakeRows(o.Rows, 1);
      const std::string params = ParamsJson(o.Kind, o.Db);
      std::ofstream(o.Db + ".json", std::ios::binary) << JsonBody(params, rows);
      std::ofstream(o.Db + ".adbs", std::ios::binary) << BinaryBody(rows);
      std::ofstream(o.Db + ".xrequest", std::ios::binary) << HeaderJson(params);
      return 0;
    }
    std::cerr << "usage: import_bench time|memory|sql|body [options]\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "import_bench: " << e.what() << "\n";
    return 1;
  }
}

// Soak load for scripts/soak.sh: concurrent clients that keep importing rows
// into SQLite tables, alternating JSON envelopes and binary dataset streams,
// for a fixed time. Client c writes table t<c> of database <dir>/soak_<c % 2>.db
// and keys of its own, rewriting half the rows of its previous import and
// adding as many new ones, so every key's final value is known: the last
// successful import that carried it. At the end each client writes that
// expectation to <dir>/expected_t<c>.txt ("id|nome" by id) and the counts go
// to standard output as "name value" lines.
//
//   soak_client <port> <seconds> <dir> <clients>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "memtable/storage/stream_writer.h"

namespace {

constexpr int kRowsPerImport = 200;
constexpr int kWindows = 50;  // key windows a client cycles through
constexpr const char* kSuccess = R"({"success":true,"message":"Dados Importado com sucesso!"})";
constexpr const char* kBusy =
    "Maximum number of concurrent connections exceeded.  Please try again later";

struct TReply {
  int Status = 0;  // 0: no answer (connection failed or cut)
  std::string Body;
};

TReply Post(int aPort, const std::string& aBody, const std::string& aRequestHeader) {
  TReply reply;
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return reply;
  timeval timeout{120, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(aPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return reply;
  }
  std::string request = fmt::format(
      "POST /tandemize HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic dHVsaXA6dHVsaXA=\r\n"
      "Content-Type: application/octet-stream\r\nContent-Length: {}\r\n",
      aBody.size());
  if (!aRequestHeader.empty()) request += "x-request: " + aRequestHeader + "\r\n";
  request += "\r\n" + aBody;
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  // The service closes the connection after every answer.
  std::string answer;
  char buffer[16384];
  while (true) {
    const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(s);
  const std::size_t end = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
  reply.Status = std::atoi(answer.c_str() + 9);
  reply.Body = answer.substr(end + 4);
  return reply;
}

struct TCounts {
  std::atomic<long> Requests{0}, Imported{0}, Rows{0}, Json{0}, Binary{0}, Refused500{0},
      VerdictFalse{0}, OtherStatus{0}, NoAnswer{0};
};

std::mutex gMessagesLock;
std::map<std::string, long> gFailureMessages;  // verdict false, other statuses, by text

void Note(const std::string& aText) {
  std::lock_guard lock(gMessagesLock);
  ++gFailureMessages[aText.substr(0, 200)];
}

void Client(int aPort, std::chrono::steady_clock::time_point aEnd, const std::string& aDir, int c,
            TCounts& aCounts) {
  const std::string table = fmt::format("t{}", c);
  const std::string params =
      fmt::format(R"({{"tipo_sgdb":5,"database":"{}/soak_{}.db"}})", aDir, c % 2);
  const std::string headers =
      fmt::format(R"({{"teble_name":"{}","pks":["id"],"fields":["nome"]}})", table);
  const std::string header = fmt::format(R"({{"params":{},"headers":{}}})", params, headers);
  std::map<int, std::string> expected;
  for (long i = 0; std::chrono::steady_clock::now() < aEnd; ++i) {
    const bool binary = i % 2 == 1;
    // Window w covers keys w*100 .. w*100+199: half of them were in the previous import.
    const int first = c * 1000000 + static_cast<int>(i % kWindows) * (kRowsPerImport / 2);
    const std::string nome = fmt::format("c{}-i{}-{}", c, i, binary ? "bin" : "json");
    std::string body;
    if (binary) {
      using DT = tandemize::memtable::TColumnDataType;
      namespace st = tandemize::memtable::storage;
      st::TStreamManager m;
      st::TStreamTable& t = m.AddTable(table);
      t.AddColumn("id", DT::dtInt32);
      t.AddColumn("nome", DT::dtWideString, 60);
      for (int id = first; id < first + kRowsPerImport; ++id) {
        auto& row = t.AddRow(tandemize::memtable::TRowStoreRowState::rsInserted);
        const auto kind = tandemize::memtable::TRowStoreBufferKind::bkCurrent;
        st::SetStreamValue(t, row, kind, 0, std::int32_t{id});
        st::SetStreamValue(t, row, kind, 1, nome);
      }
      body = st::WriteBinaryStream(m);
    } else {
      std::string data;
      for (int id = first; id < first + kRowsPerImport; ++id) {
        data += fmt::format(R"({}{{"id":{},"nome":"{}"}})", data.empty() ? "" : ",", id, nome);
      }
      body = fmt::format(
          R"({{"params":{},"headers":{},"tandemize":{{"structure":[)"
          R"({{"fieldName":"id","dataType":"ftInteger","size":0}},)"
          R"({{"fieldName":"nome","dataType":"ftWideString","size":60}}],"data":[{}]}}}})",
          params, headers, data);
    }
    const TReply reply = Post(aPort, body, binary ? header : "");
    ++aCounts.Requests;
    if (reply.Status == 200 && reply.Body == kSuccess) {
      ++aCounts.Imported;
      ++(binary ? aCounts.Binary : aCounts.Json);
      aCounts.Rows += kRowsPerImport;
      for (int id = first; id < first + kRowsPerImport; ++id) expected[id] = nome;
    } else if (reply.Status == 200) {
      ++aCounts.VerdictFalse;  // nothing of it may stay
      Note("200 " + reply.Body);
    } else if (reply.Status == 500 && reply.Body == kBusy) {
      ++aCounts.Refused500;
    } else if (reply.Status == 0) {
      ++aCounts.NoAnswer;
    } else {
      ++aCounts.OtherStatus;
      Note(fmt::format("{} {}", reply.Status, reply.Body));
    }
  }
  std::ofstream out(aDir + "/expected_" + table + ".txt");
  for (const auto& [id, nome] : expected) out << id << '|' << nome << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: soak_client <port> <seconds> <dir> <clients>\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int seconds = std::atoi(argv[2]);
  const std::string dir = argv[3];
  const int clients = std::atoi(argv[4]);
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  TCounts counts;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back(Client, port, end, dir, c, std::ref(counts));
  }
  for (auto& t : threads) t.join();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "seconds %.1f\nrequests %ld\nimports_ok %ld\nimports_json %ld\nimports_binary %ld\n"
      "rows_written %ld\nimports_per_s %.1f\nrows_per_s %.0f\nstatus_500_busy %ld\n"
      "verdict_false %ld\nstatus_other %ld\nno_answer %ld\n",
      elapsed, counts.Requests.load(), counts.Imported.load(), counts.Json.load(),
      counts.Binary.load(), counts.Rows.load(), counts.Imported.load() / elapsed,
      counts.Rows.load() / elapsed, counts.Refused500.load(), counts.VerdictFalse.load(),
      counts.OtherStatus.load(), counts.NoAnswer.load());
  for (const auto& [text, n] : gFailureMessages) std::printf("message %ld %s\n", n, text.c_str());
  return 0;
}

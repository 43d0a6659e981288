#include "app/access_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include "app/server_config.h"

namespace tandemize::app {
namespace {

// A path as sent (not decoded): bytes that could break the line are escaped.
std::string PathText(std::string_view aPath) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : aPath) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x7F || c == '"') {
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    } else {
      text += c;
    }
  }
  return text.empty() ? "-" : text;
}

// A value as it stands when it is one plain word, otherwise in double quotes
// with quotes, backslashes and control characters escaped.
std::string ValueText(std::string_view aValue) {
  bool plain = !aValue.empty();
  for (const char c : aValue) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F || c == '"' || c == '\\' || c == '=') plain = false;
  }
  if (plain) return std::string(aValue);
  std::string text = "\"";
  for (const char c : aValue) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c == '\t') {
      text += "\\t";
    } else if (byte < ' ' || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

std::string TimeText(std::chrono::system_clock::time_point aTime) {
  const auto since = aTime.time_since_epoch();
  const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

class TAccessLog {
 public:
  // aPath names the file aFile was opened from; empty for stdout and stderr.
  TAccessLog(std::FILE* aFile, std::string aPath) : FFile(aFile), FPath(std::move(aPath)) {}
  ~TAccessLog() {
    if (!FPath.empty()) std::fclose(FFile);
  }
  TAccessLog(const TAccessLog&) = delete;
  TAccessLog& operator=(const TAccessLog&) = delete;

  void Write(const std::string& aLine) {
    std::lock_guard lock(FLock);
    std::fwrite(aLine.data(), 1, aLine.size(), FFile);
    std::fputc('\n', FFile);
    std::fflush(FFile);
  }

  // The new file is opened before the old one is closed, under the lock the
  // writers take: every line lands in one file or the other.
  void Reopen() noexcept {
    if (FPath.empty()) return;
    std::lock_guard lock(FLock);
    std::FILE* file = std::fopen(FPath.c_str(), "ae");
    if (file == nullptr) {
      std::fprintf(
          stderr,
          "Tandemize_srv: log: cannot open \"%s\" again: %s; still writing to the file it had\n",
          FPath.c_str(), std::strerror(errno));
      return;
    }
    std::fclose(FFile);
    FFile = file;
  }

 private:
  std::mutex FLock;
  std::FILE* FFile;
  const std::string FPath;
};

}  // namespace

std::string AccessLogLine(const web::TAccessRecord& aRecord) {
  std::string line = TimeText(aRecord.Time);
  line += ' ';
  line += aRecord.RemoteAddress.empty() ? "-" : std::string(aRecord.RemoteAddress);
  line += ' ';
  line += PathText(aRecord.Method);
  line += ' ';
  line += PathText(aRecord.Path);
  line += ' ' + std::to_string(aRecord.Status);
  line += " in=" + std::to_string(aRecord.BytesIn);
  line += " out=" + std::to_string(aRecord.BytesOut);
  char duration[32];
  std::snprintf(duration, sizeof duration, " ms=%.3f",
                static_cast<double>(aRecord.Duration.count()) / 1000.0);
  line += duration;
  if (aRecord.Fields != nullptr) {
    for (const auto& [name, value] : *aRecord.Fields) line += ' ' + name + '=' + ValueText(value);
  }
  return line;
}

TAccessLogOutput OpenAccessLog(const std::string& aDestination) {
  std::shared_ptr<TAccessLog> log;
  if (aDestination.empty()) return {};
  if (aDestination == "stdout") {
    log = std::make_shared<TAccessLog>(stdout, "");
  } else if (aDestination == "stderr") {
    log = std::make_shared<TAccessLog>(stderr, "");
  } else {
    std::FILE* file = std::fopen(aDestination.c_str(), "ae");
    if (file == nullptr) {
      throw EConfigError("log: cannot open \"" + aDestination + "\": " + std::strerror(errno));
    }
    log = std::make_shared<TAccessLog>(file, aDestination);
  }
  return {[log](const web::TAccessRecord& aRecord) { log->Write(AccessLogLine(aRecord)); },
          [log] { log->Reopen(); }};
}

}  // namespace tandemize::app

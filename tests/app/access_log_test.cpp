// The access log's line, field by field.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/access_log.h"
#include "app/server_config.h"

namespace tandemize::app {
namespace {

TEST(AccessLog, LineFieldsAndEscapes) {
  const web::THeaderLines fields = {{"kind", "PG"},
                                    {"table", "public.clientes"},
                                    {"rows", "0"},
                                    {"result", "failed"},
                                    {"message", "Invalid identifier: a\"b\nDROP x=1 \\ \x01"},
                                    {"empty", ""}};
  web::TAccessRecord record;
  record.Time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765377005042));
  record.RemoteAddress = "::ffff:10.0.0.7";
  record.Method = "POST";
  record.Path = "/tandemize/a b\"c\xC3\xA9";
  record.Status = 200;
  record.BytesIn = 5120;
  record.BytesOut = 58;
  record.Duration = std::chrono::microseconds(41207);
  record.Fields = &fields;
  EXPECT_EQ(AccessLogLine(record),
            "2025-12-10T14:30:05.042Z ::ffff:10.0.0.7 POST /tandemize/a%20b%22c%C3%A9 200 in=5120 "
            "out=58 ms=41.207 kind=PG table=public.clientes rows=0 result=failed "
            "message=\"Invalid identifier: a\\\"b\\nDROP x=1 \\\\ \\x01\" empty=\"\"");

  record.RemoteAddress = "";
  record.Path = "";
  record.Fields = nullptr;
  record.Duration = std::chrono::microseconds(5);
  EXPECT_EQ(AccessLogLine(record), "2025-12-10T14:30:05.042Z - POST - 200 in=5120 out=58 ms=0.005");
}

TEST(AccessLog, DestinationThatCannotBeOpenedIsASettingError) {
  EXPECT_FALSE(OpenAccessLog(""));
  EXPECT_TRUE(OpenAccessLog("stderr"));
  try {
    OpenAccessLog("/nonexistent-folder/access.log");
    ADD_FAILURE() << "opened";
  } catch (const EConfigError& e) {
    EXPECT_EQ(std::string(e.what()),
              "log: cannot open \"/nonexistent-folder/access.log\": No such file or directory");
  }
  // A file is appended to, one whole line per record.
  const std::string file =
      (std::filesystem::temp_directory_path() / ("access-" + std::to_string(::getpid()))).string();
  std::ofstream(file) << "earlier\n";
  {
    const web::TAccessLogCallback log = OpenAccessLog(file);
    web::TAccessRecord record;
    record.Method = "GET";
    record.Path = "/";
    log(record);
  }
  std::ifstream in(file);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "earlier");
  EXPECT_TRUE(second.ends_with(" - GET / 0 in=0 out=0 ms=0.000")) << second;
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace tandemize::app

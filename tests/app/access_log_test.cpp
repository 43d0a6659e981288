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
  EXPECT_FALSE(OpenAccessLog("").Write);
  EXPECT_TRUE(OpenAccessLog("stderr").Write);
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
    const web::TAccessLogCallback log = OpenAccessLog(file).Write;
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

// A log rotation moves the file away; the reopened log starts the name
// afresh while the moved file keeps what was written before.
TEST(AccessLog, ReopenAfterTheFileWasMoved) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("access-reopen-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string file = (folder / "access.log").string();
  const TAccessLogOutput log = OpenAccessLog(file);
  web::TAccessRecord record;
  record.Method = "GET";
  record.Path = "/before";
  log.Write(record);
  std::filesystem::rename(file, file + ".1");
  record.Path = "/moved";  // still written to the moved file until the reopen
  log.Write(record);
  log.Reopen();
  record.Path = "/after";
  log.Write(record);
  // The folder is gone: the log keeps the file it has.
  std::filesystem::rename(file, file + ".2");
  std::filesystem::rename(folder, folder.string() + "-gone");
  log.Reopen();
  record.Path = "/kept";
  log.Write(record);
  std::filesystem::rename(folder.string() + "-gone", folder);

  const auto paths = [](const std::string& aFile) {
    std::ifstream in(aFile);
    std::string paths;
    for (std::string line; std::getline(in, line);) {
      paths += line.substr(line.find(" GET ") + 5, line.find(" 0 in=") - line.find(" GET ") - 5);
      paths += ';';
    }
    return paths;
  };
  EXPECT_EQ(paths(file + ".1"), "/before;/moved;");
  EXPECT_EQ(paths(file + ".2"), "/after;/kept;");
  EXPECT_FALSE(std::filesystem::exists(file));

  // Standard output and error are not reopened.
  OpenAccessLog("stderr").Reopen();
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tandemize::app

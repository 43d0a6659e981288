// Generated imports (import_model.h) through the running program over HTTP,
// both forms: the verdict, the table and the program's being alive after
// every case. Fewer cases than the in-process property test, since each
// goes through the network and the program's own threads.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "program_harness.h"
#include "service/import_model.h"

namespace tandemize::importfuzz {
namespace {

std::string HttpImport(const TRequest& aRequest) {
  if (aRequest.Binary) {
    return harness::Call(harness::TMethod::Post, "/tandemize", aRequest.Body,
                         "application/octet-stream", aRequest.Header)
        .Body;
  }
  return harness::Call(harness::TMethod::Post, "/tandemize", aRequest.Body).Body;
}

TEST(ImportProgram, GeneratedImportsOverHttpDoWhatTheOracleDoes) {
  harness::TServer server;
  server.Start();
  TGenOptions options;
  const char* classes = std::getenv("TANDEMIZE_IMPORT_CLASSES");
  options.Apply(classes != nullptr ? std::string_view(classes) : KnownOpenFaultClasses());
  options.BigCasePercent = 2;
  TScratchFolder folder("import-program");
  int findings = 0;
  for (std::uint64_t seed = 7000; seed < 7120 && findings < 3; ++seed) {
    TSeededChoices choices(seed);
    const TCase generated = GenerateCase(choices, options);
    // The header travels as HTTP header text: ASCII only.
    const TOutcome outcome = RunCase(generated, HttpImport, folder.Path(), true);
    if (!outcome.Finding.empty()) {
      ++findings;
      ADD_FAILURE() << "seed " << seed << "\n" << outcome.Finding;
    }
    if (const auto ended = server.Ended()) {
      ADD_FAILURE() << "the program ended (" << *ended << ") after seed " << seed;
      server.Start();
    }
  }
}

}  // namespace
}  // namespace tandemize::importfuzz

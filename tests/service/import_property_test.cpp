// Generated imports through the data service in process, each checked
// against SQLite's own result of the same upsert (import_model.h): a few
// hundred cases from fixed seeds, both forms, every field type.
//
// TANDEMIZE_IMPORT_CLASSES chooses the generator classes (see
// TGenOptions::Apply; "all" for every class, the default leaves out the
// classes the service still fails on), TANDEMIZE_IMPORT_CASES the number of
// cases and TANDEMIZE_IMPORT_SEED the first seed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "service/import_model.h"

namespace tandemize::importfuzz {
namespace {

std::uint64_t EnvNumber(const char* aName, std::uint64_t aDefault) {
  const char* value = std::getenv(aName);
  return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : aDefault;
}

struct TTally {
  std::size_t Cases = 0, Binary = 0, Succeeded = 0, Skipped = 0, Findings = 0;
};

// Runs aCount cases from aSeed on; every finding is shrunk and reported.
TTally RunSeeds(const TGenOptions& aOptions, std::uint64_t aSeed, std::uint64_t aCount) {
  TScratchFolder folder("import-property");
  TTally tally;
  for (std::uint64_t i = 0; i < aCount && tally.Findings < 5; ++i) {
    TSeededChoices choices(aSeed + i);
    const TCase generated = GenerateCase(choices, aOptions);
    ++tally.Cases;
    if (generated.Binary) ++tally.Binary;
    const TOutcome outcome = RunCase(generated, InProcessImport, folder.Path());
    if (outcome.Succeeded) ++tally.Succeeded;
    if (outcome.Skipped) {
      ++tally.Skipped;
      if (std::getenv("TANDEMIZE_IMPORT_VERBOSE") != nullptr) {
        std::printf("not set up: %s\n", outcome.SkipReason.c_str());
      }
    }
    if (const char* verbose = std::getenv("TANDEMIZE_IMPORT_VERBOSE");
        verbose != nullptr && std::string_view(verbose) == "2") {
      std::printf("seed %llu %s expect %d %s -> %s\n", static_cast<unsigned long long>(aSeed + i),
                  generated.Binary ? "bin" : "json", static_cast<int>(generated.Expect),
                  generated.Reasons.empty() ? "" : generated.Reasons.front().c_str(),
                  outcome.Verdict.substr(0, 160).c_str());
    } else if (verbose != nullptr && std::string_view(verbose) == "3") {
      std::printf("%s-> %s\n", DescribeCase(generated).c_str(), outcome.Verdict.c_str());
    }
    if (outcome.Finding.empty()) continue;
    ++tally.Findings;
    const TCase smallest = Shrink(generated, [&](const TCase& aCandidate) {
      return !RunCase(aCandidate, InProcessImport, folder.Path()).Finding.empty();
    });
    ADD_FAILURE() << "seed " << aSeed + i << " (classes " << aOptions.Describe() << ")\n"
                  << RunCase(smallest, InProcessImport, folder.Path()).Finding;
  }
  return tally;
}

TGenOptions OptionsFromEnvironment() {
  TGenOptions options;
  const char* classes = std::getenv("TANDEMIZE_IMPORT_CLASSES");
  options.Apply(classes != nullptr ? std::string_view(classes) : KnownOpenFaultClasses());
  return options;
}

TEST(ImportProperty, GeneratedImportsDoWhatTheOracleDoes) {
  const TGenOptions options = OptionsFromEnvironment();
  const TTally tally = RunSeeds(options, EnvNumber("TANDEMIZE_IMPORT_SEED", 20261211),
                                EnvNumber("TANDEMIZE_IMPORT_CASES", 400));
  std::printf("%zu cases (%zu binary), %zu imported, %zu not set up; classes %s\n", tally.Cases,
              tally.Binary, tally.Succeeded, tally.Skipped, options.Describe().c_str());
  // The generator must keep reaching the database: a change that made most
  // cases fail early would leave the upsert itself untested.
  if (tally.Findings == 0) {
    EXPECT_GT(tally.Succeeded * 4, tally.Cases) << "too few generated imports succeed";
    if (options.JsonForm && options.BinaryForm) {
      EXPECT_GT(tally.Binary * 5, tally.Cases) << "too few binary imports";
    }
  }
}

}  // namespace
}  // namespace tandemize::importfuzz

namespace tandemize::importfuzz {
namespace {

// The checks themselves: a service that answers success without writing,
// answers what is not a verdict, or writes and answers failure, is found
// out on a case that the real service imports.
TEST(ImportProperty, TheChecksSeeAServiceThatGetsItWrong) {
  TScratchFolder folder("import-checks");
  TGenOptions options;
  options.Apply(KnownOpenFaultClasses());
  options.BinaryForm = false;
  std::optional<TCase> writing;
  for (std::uint64_t seed = 1; seed < 500 && !writing; ++seed) {
    TSeededChoices choices(seed);
    TCase generated = GenerateCase(choices, options);
    const TOutcome outcome = RunCase(generated, InProcessImport, folder.Path());
    if (outcome.Finding.empty() && outcome.Succeeded && generated.StartRows.empty() &&
        outcome.OracleRows && !outcome.OracleRows->empty()) {
      writing = std::move(generated);
    }
  }
  ASSERT_TRUE(writing) << "no generated case writes rows into an empty table";

  const std::string success = R"({"success":true,"message":"Dados Importado com sucesso!"})";
  const std::string failure = R"({"success":false,"message":"x"})";
  struct TWrong {
    const char* What;
    TImportFn Import;
  };
  const TWrong wrongs[] = {
      {"success without writing", [&](const TRequest&) { return success; }},
      {"not a verdict", [&](const TRequest&) { return std::string(R"({"success":true})"); }},
      {"a verdict with more members",
       [&](const TRequest& aRequest) {
         InProcessImport(aRequest);
         return R"({"success":true,"message":"Dados Importado com sucesso!","x":1})";
       }},
      {"writes, answers failure",
       [&](const TRequest& aRequest) {
         InProcessImport(aRequest);
         return failure;
       }},
  };
  for (const TWrong& wrong : wrongs) {
    SCOPED_TRACE(wrong.What);
    EXPECT_FALSE(RunCase(*writing, wrong.Import, folder.Path()).Finding.empty());
  }
  EXPECT_TRUE(RunCase(*writing, InProcessImport, folder.Path()).Finding.empty());
}

}  // namespace
}  // namespace tandemize::importfuzz

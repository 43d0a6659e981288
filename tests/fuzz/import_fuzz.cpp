// Fuzz target: whole imports through the data service in process, into a
// SQLite file, checked against SQLite's own upsert of the same rows. The
// input's bytes are the generator's choices (tests/service/import_model.h):
// the table, names, types, keys, values and the form (JSON or a binary
// dataset stream from our own writer); once the bytes run out, the further
// choices come from an engine seeded with their hash.
//
// Any difference from the model aborts with the finding and its reproducer.
// TANDEMIZE_IMPORT_CLASSES chooses the generator classes (default: leave out
// the classes the service still fails on; "all" for every class).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "service/import_model.h"

namespace {

using namespace tandemize::importfuzz;

struct TFuzzSetup {
  TGenOptions Options;
  std::unique_ptr<TScratchFolder> Folder;
  // TANDEMIZE_IMPORT_VERBOSE: one line per input (form, expectation, verdict).
  bool Verbose = std::getenv("TANDEMIZE_IMPORT_VERBOSE") != nullptr;

  TFuzzSetup() {
    const char* classes = std::getenv("TANDEMIZE_IMPORT_CLASSES");
    Options.Apply(classes != nullptr ? std::string_view(classes) : KnownOpenFaultClasses());
    Folder = std::make_unique<TScratchFolder>("import-fuzz");
  }
};

TFuzzSetup& Setup() {
  static TFuzzSetup setup;
  return setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  TFuzzSetup& setup = Setup();
  TByteChoices choices(aData, aSize);
  const TCase generated = GenerateCase(choices, setup.Options);
  const TOutcome outcome = RunCase(generated, InProcessImport, setup.Folder->Path());
  if (setup.Verbose) {
    std::fprintf(stderr, "%s, %zu columns, %zu rows, expect %d: %s\n",
                 generated.Binary ? "binary" : "JSON", generated.Columns.size(),
                 generated.Rows.size(), static_cast<int>(generated.Expect),
                 outcome.Verdict.c_str());
  }
  if (!outcome.Finding.empty()) {
    std::fprintf(stderr, "classes %s\n%s\n", setup.Options.Describe().c_str(),
                 outcome.Finding.c_str());
    std::abort();
  }
  return 0;
}

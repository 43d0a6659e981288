// Binary stream load: reads a stream file (import_bench body writes one as
// <db>.adbs) into an in-memory table N times, the way the data service does
// for a binary import. Run under callgrind for instructions per row, or
// under /usr/bin/time -v for the peak memory of one load.
//
//   stream_load_bench <file.adbs> [loads]
//       LOADED <rows> rows x <loads> loads, <bytes> stream bytes

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "memtable/mem_table.h"

int main(int argc, char** argv) {
  using namespace tandemize::memtable;
  if (argc < 2) {
    std::cerr << "usage: stream_load_bench <file.adbs> [loads]\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "stream_load_bench: cannot read " << argv[1] << "\n";
    return 1;
  }
  // Read at its size, as the service holds a request body: once.
  std::string stream(static_cast<std::size_t>(in.seekg(0, std::ios::end).tellg()), '\0');
  in.seekg(0).read(stream.data(), static_cast<std::streamsize>(stream.size()));
  const int loads = argc > 2 ? std::atoi(argv[2]) : 1;
  try {
    long rows = 0;
    for (int i = 0; i < loads; ++i) {
      TMemTable table;
      table.LoadFromStream(stream, TStorageFormat::sfBinary);
      rows = table.RecordCount();
    }
    std::cout << "LOADED " << rows << " rows x " << loads << " loads, " << stream.size()
              << " stream bytes\n";
  } catch (const std::exception& e) {
    std::cerr << "stream_load_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

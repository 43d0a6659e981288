// Placeholder until the stream reader lands: every stream is refused.
#include "memtable/storage/binary_storage.h"

#include "memtable/errors.h"

namespace tandemize::memtable {

struct TBinaryStorageReader::TImpl {};

TBinaryStorageReader::TBinaryStorageReader(std::string_view) {
  throw EDALException({"Stan"}, 710, "Invalid binary storage format");
}

TBinaryStorageReader::~TBinaryStorageReader() = default;

void TBinaryStorageReader::LoadManager(TRowStoreManager&) {}

}  // namespace tandemize::memtable

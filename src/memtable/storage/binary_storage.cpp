#include "memtable/storage/binary_storage.h"

#include "memtable/row_store.h"
#include "memtable/storage/bin_storage.h"
#include "memtable/storage/binary_stream.h"

namespace tandemize::memtable {

struct TBinaryStorageReader::TImpl {
  storage::TBinStorage Storage;
};

TBinaryStorageReader::TBinaryStorageReader(std::string_view aStream)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Storage.OpenRead(aStream);
}

TBinaryStorageReader::~TBinaryStorageReader() = default;

void TBinaryStorageReader::LoadManager(TRowStoreManager& aManager) {
  aManager.Reset();
  // Rows go to the row store as they are read; a broken stream empties it
  // again, so it is never left half filled. The manager's own settings are
  // set only once the whole stream has been read.
  try {
    storage::LoadRowStore(FImpl->Storage, aManager);
  } catch (...) {
    aManager.Reset();
    throw;
  }
}

}  // namespace tandemize::memtable

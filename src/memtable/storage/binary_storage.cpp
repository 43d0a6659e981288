#include "memtable/storage/binary_storage.h"

#include "memtable/row_store.h"
#include "memtable/storage/bin_storage.h"
#include "memtable/storage/binary_stream.h"
#include "memtable/storage/stream_tree.h"

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
  // The stream is read completely before the row store receives anything,
  // so a broken stream leaves the row store empty rather than half filled.
  storage::TStreamManager tree;
  tree.LoadFromStorage(FImpl->Storage);
  storage::MoveToRowStore(tree, aManager);
}

}  // namespace tandemize::memtable

#pragma once
// Reader of the binary dataset stream ("ADBS"), the serialized row store.

#include <memory>
#include <string_view>

namespace tandemize::memtable {

class TRowStoreManager;

class TBinaryStorageReader {
 public:
  // Reads the header, version and name dictionary of `aStream`, which must
  // stay alive while the reader is in use. Throws the container's errors.
  explicit TBinaryStorageReader(std::string_view aStream);
  ~TBinaryStorageReader();
  TBinaryStorageReader(const TBinaryStorageReader&) = delete;
  TBinaryStorageReader& operator=(const TBinaryStorageReader&) = delete;

  // Resets `aManager` and reads the stream's manager object tree into it.
  void LoadManager(TRowStoreManager& aManager);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace tandemize::memtable

#pragma once
// Objects that read and write themselves through TBinStorage, and the
// process-wide registry that maps stream object names to their classes.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "memtable/storage/internal/bin_storage.h"

namespace tandemize::memtable::storage {

class TStorableObject {
 public:
  virtual ~TStorableObject() = default;

  // The object's name in the stream ("Table" for a table).
  virtual std::string_view StreamName() const = 0;

  // Properties and children, between the object's begin and end.
  virtual void LoadBody(TBinStorage& /*aStorage*/) {}
  virtual void SaveBody(TBinStorage& /*aStorage*/) const {}

  // Begin (expecting StreamName), body inside its own object level, end.
  // When the body fails the level is still left and the end byte read; the
  // error propagates.
  void LoadFromStorage(TBinStorage& aStorage);
  void SaveToStorage(TBinStorage& aStorage) const;

  // The part of LoadFromStorage after the begin has been read.
  void LoadAfterBegin(TBinStorage& aStorage);
};

// Registry of stream object classes: a name registered twice keeps the
// later registration. Shared by all loads; registration and lookup hold the
// lock, and a lookup remembers the last name found so that runs of objects
// of one class do not search.
class TStorageManager {
 public:
  using TCreateFunc = std::function<std::unique_ptr<TStorableObject>()>;
  // Optional: builds and reads the object itself (begin already read).
  using TLoadFunc = std::function<std::unique_ptr<TStorableObject>(TBinStorage&)>;

  struct TClassEntry {
    std::string Name;
    TCreateFunc Create;
    TLoadFunc Load;
  };

  static TStorageManager& Instance();

  void RegisterClass(std::string_view aName, TCreateFunc aCreate, TLoadFunc aLoad = {});
  // A copy of the entry, or none.
  bool FindClass(std::string_view aName, TClassEntry& aEntry);

  // Reads one object of any registered name: 715 for an unknown name.
  std::unique_ptr<TStorableObject> LoadObject(TBinStorage& aStorage);
  // Writes `aObject` under its class's name.
  static void SaveObject(TBinStorage& aStorage, const TStorableObject& aObject);

 private:
  TStorageManager();

  std::mutex FLock;
  std::vector<TClassEntry> FClasses;
  std::string FLastName;
  std::size_t FLastIndex = 0;
  bool FHasLast = false;
};

}  // namespace tandemize::memtable::storage

#include "memtable/storage/internal/storage_manager.h"

#include "memtable/storage/stream_tree.h"
#include "text/case_fold.h"

namespace tandemize::memtable::storage {

void TStorableObject::LoadFromStorage(TBinStorage& aStorage) {
  aStorage.ReadObjectBegin(StreamName());
  LoadAfterBegin(aStorage);
}

void TStorableObject::LoadAfterBegin(TBinStorage& aStorage) {
  aStorage.ReadObjectContent([&] { LoadBody(aStorage); });
}

void TStorableObject::SaveToStorage(TBinStorage& aStorage) const {
  aStorage.WriteObjectBegin(StreamName());
  SaveBody(aStorage);
  aStorage.WriteObjectEnd();
}

TStorageManager& TStorageManager::Instance() {
  static TStorageManager manager;
  return manager;
}

TStorageManager::TStorageManager() {
  RegisterStreamTreeClasses(*this);
}

void TStorageManager::RegisterClass(std::string_view aName, TCreateFunc aCreate, TLoadFunc aLoad) {
  std::lock_guard lock(FLock);
  FHasLast = false;
  for (TClassEntry& entry : FClasses) {
    if (text::EqualsIgnoringCase(entry.Name, aName)) {
      entry.Create = std::move(aCreate);
      entry.Load = std::move(aLoad);
      return;
    }
  }
  FClasses.push_back({std::string(aName), std::move(aCreate), std::move(aLoad)});
}

bool TStorageManager::FindClass(std::string_view aName, TClassEntry& aEntry) {
  std::lock_guard lock(FLock);
  if (FHasLast && text::EqualsIgnoringCase(FLastName, aName)) {
    aEntry = FClasses[FLastIndex];
    return true;
  }
  for (std::size_t i = 0; i < FClasses.size(); ++i) {
    if (text::EqualsIgnoringCase(FClasses[i].Name, aName)) {
      FLastName = FClasses[i].Name;
      FLastIndex = i;
      FHasLast = true;
      aEntry = FClasses[i];
      return true;
    }
  }
  return false;
}

std::unique_ptr<TStorableObject> TStorageManager::LoadObject(TBinStorage& aStorage) {
  const std::string name(aStorage.ReadObjectBegin());
  TClassEntry entry;
  if (!FindClass(name, entry)) RaiseClassNotRegistered(name);
  if (entry.Load) {
    auto object = entry.Load(aStorage);
    return object;
  }
  auto object = entry.Create();
  object->LoadAfterBegin(aStorage);
  return object;
}

void TStorageManager::SaveObject(TBinStorage& aStorage, const TStorableObject& aObject) {
  aObject.SaveToStorage(aStorage);
}

}  // namespace tandemize::memtable::storage

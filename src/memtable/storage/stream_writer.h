#pragma once
// Writing binary dataset streams: a whole stream from a row store, or from
// a description of one (stream_tree.h). The layout is described in
// docs/binary-stream.md; its constants are in stream_format.h.
//
// From a row store, any version:
//   std::string bytes = WriteBinaryStream(manager, {.Version = 9});
// From a small description:
//   TStreamManager m;
//   TStreamTable& t = m.AddTable("clients");
//   t.AddColumn("id", TColumnDataType::dtInt32);
//   t.AddColumn("name", TColumnDataType::dtWideString, 40);
//   TStreamRow& r = t.AddRow(TRowStoreRowState::rsUnchanged);
//   SetStreamValue(t, r, TRowStoreBufferKind::bkOriginal, 0, std::int32_t{1});
//   SetStreamValue(t, r, TRowStoreBufferKind::bkOriginal, 1, std::string("Ana"));
//   std::string bytes = WriteBinaryStream(m, {.Version = 4});
// TMemTable::LoadFromStream(bytes, TStorageFormat::sfBinary) reads it back.

#include <string>

#include "memtable/row_store.h"
#include "memtable/storage/stream_format.h"
#include "memtable/storage/stream_tree.h"

namespace tandemize::memtable::storage {

struct TBinaryWriteOptions {
  // 1 to 15; -1 writes the current version (15).
  int Version = -1;
  // Meta (columns, constraints, views, relations), data (all rows), delta
  // (only inserted, deleted and modified rows when data is not stored),
  // visible (leaves deleted rows out).
  TStoreItems Items = kDefaultStoreItems;
};

// The whole stream. Throws EDatabaseError for a value its column cannot
// hold, and the storage errors (stream_format.h) for what the version
// cannot carry.
std::string WriteBinaryStream(const TStreamManager& aManager,
                              const TBinaryWriteOptions& aOptions = {});
std::string WriteBinaryStream(const TRowStoreManager& aManager,
                              const TBinaryWriteOptions& aOptions = {});

// The description of a row store, as a reader of its stream would build it.
TStreamManager DescribeRowStore(const TRowStoreManager& aSource);

}  // namespace tandemize::memtable::storage

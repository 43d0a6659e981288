#pragma once
// Reading and writing whole binary dataset streams.
//
// Writing a stream of any version from a row store:
//   std::string bytes = WriteBinaryStream(manager, {.Version = 9});
// or from a small description:
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
#include <string_view>

#include "memtable/row_store.h"
#include "memtable/storage/bin_storage.h"
#include "memtable/storage/stream_format.h"
#include "memtable/storage/stream_tree.h"
#include "memtable/variant.h"

namespace tandemize::memtable::storage {

struct TBinaryWriteOptions {
  // 1 to 15; -1 writes the current version (15).
  int Version = -1;
  // Meta (columns, constraints, views, relations), data (all rows), delta
  // (only inserted, deleted and modified rows when data is not stored),
  // visible (leaves deleted rows out).
  TStoreItems Items = kDefaultStoreItems;
};

std::string WriteBinaryStream(const TStreamManager& aManager,
                              const TBinaryWriteOptions& aOptions = {});
std::string WriteBinaryStream(const TRowStoreManager& aManager,
                              const TBinaryWriteOptions& aOptions = {});

// Reads a whole stream into a description; throws the reader's errors.
TStreamManager ReadBinaryStream(std::string_view aStream, TStoreItems aItems = kDefaultStoreItems);

// Reads the stream `aStorage` is open on into `aTarget`, which must be empty:
// the rows straight from the stream's bytes, the rest through a description.
// Throws the reader's errors; `aTarget` may then hold part of the stream.
void LoadRowStore(TBinStorage& aStorage, TRowStoreManager& aTarget);

// Stores `aValue` (in the column's layout or a plain value, see EncodeValue)
// as column `aColumn` of a row version, creating the version when missing.
// A null value clears the column.
void SetStreamValue(const TStreamTable& aTable, TStreamRow& aRow, TRowStoreBufferKind aBuffer,
                    std::size_t aColumn, const TVariant& aValue);
// The value a row version holds for a column, as the row store would hold it.
TVariant GetStreamValue(const TStreamTable& aTable, const TStreamRow& aRow,
                        TRowStoreBufferKind aBuffer, std::size_t aColumn);

// The description and the row store, both ways. MoveToRowStore empties each
// description row's values as it goes, so a large stream is not held twice.
void MoveToRowStore(TStreamManager& aSource, TRowStoreManager& aTarget);
TStreamManager DescribeRowStore(const TRowStoreManager& aSource);

}  // namespace tandemize::memtable::storage

#pragma once
// Reading binary dataset streams: into a row store (what a load does), or
// into a description of one (stream_tree.h). The layout is described in
// docs/binary-stream.md; its constants are in stream_format.h.

#include <string_view>

#include "memtable/row_store.h"
#include "memtable/storage/stream_format.h"
#include "memtable/storage/stream_tree.h"

namespace tandemize::memtable::storage {

// Replaces the content of `aTarget` with the stream: the rows go straight
// from the stream's bytes into the row store, the rest through a
// description. A stream whose header is wrong fails before `aTarget`
// changes; one that fails later leaves `aTarget` empty. Throws the storage
// errors (stream_format.h).
void LoadRowStore(std::string_view aStream, TRowStoreManager& aTarget);

// Reads a whole stream into a description; throws the storage errors.
TStreamManager ReadBinaryStream(std::string_view aStream, TStoreItems aItems = kDefaultStoreItems);

// The description into the row store `aTarget`, which must be empty.
// Empties each description row's values as it goes, so a large stream is
// not held twice.
void MoveToRowStore(TStreamManager& aSource, TRowStoreManager& aTarget);

}  // namespace tandemize::memtable::storage

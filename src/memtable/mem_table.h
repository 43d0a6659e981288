#pragma once
// The in-memory table: a dataset over one row-store table, shown as fields
// and field definitions, with a cursor over its visible rows.
//
// Typical uses:
//   loaded:  TMemTable t; t.LoadFromStream(bytes, TStorageFormat::sfBinary);
//   built:   add fields (CreateField + Fields().Add) to the closed table, Open,
//            then Append / field setters / Post for each record;
//   walked:  First; while (!Eof()) { FieldByName("id").AsVariant(); Next(); }

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memtable/enum_set.h"
#include "memtable/errors.h"
#include "memtable/field_defs.h"
#include "memtable/field_type.h"
#include "memtable/fields.h"
#include "memtable/row_store.h"
#include "memtable/variant.h"

namespace tandemize::memtable {

enum class TStorageFormat : std::uint8_t { sfAuto, sfXML, sfBinary, sfJSON };

enum class TUpdateRecordType : std::uint8_t {
  rtModified,
  rtInserted,
  rtDeleted,
  rtUnmodified,
  rtHasErrors
};
using TUpdateRecordTypes = TEnumSet<TUpdateRecordType>;

enum class TDataSetState : std::uint8_t { dsInactive, dsBrowse, dsEdit, dsInsert };

struct TUpdateOptions {
  bool CheckReadOnly = true;
  std::string KeyFields;      // names separated by ";"
  std::string AutoIncFields;  // names separated by ";"
};

struct TFormatOptions {
  // Text and byte-string columns longer than this show as memo or blob fields.
  std::int32_t MaxStringSize = 32767;
};

// Nested tables: the table of a TDataSetField keeps its rows in its own row
// store table (Nested set, pointed to by the parent column's NestedTable) with
// one more, internal dtParentRowRef column holding the RowID of the parent row
// each nested row belongs to. It shows the rows of the parent's current
// record only, and goes back to its first row whenever the parent's cursor
// moves, posts or starts a new record (a new record starts with no nested rows).
// Nested rows are stored when they are posted, whatever the parent's state:
// while the parent inserts, they belong to the record being inserted, which
// keeps them when it is posted and drops them when it is cancelled; while the
// parent edits, cancelling the parent's edit does not undo them. A nested
// record still being edited is posted before the parent posts or moves, and
// cancelled when the parent cancels. Deleting a parent record removes its
// nested rows, also when cached updates only mark the parent row deleted.
// A nested row needs a parent record.
class TMemTable {
 public:
  // Closed, with an empty row store, no fields and no field definitions.
  TMemTable();
  ~TMemTable();
  TMemTable(const TMemTable&) = delete;
  TMemTable& operator=(const TMemTable&) = delete;

  std::string_view ClassName() const { return "TMemTable"; }
  const std::string& Name() const { return FName; }
  void SetName(std::string aValue) { FName = std::move(aValue); }
  // Name, or for an unnamed table "TMemTable($<address in hex>)".
  std::string DisplayName() const;

  TRowStoreManager& Manager() { return *FManager; }
  // The attached row-store table, or null.
  TRowStoreTable* Table() const { return FTable; }
  TFieldDefs& FieldDefs() { return FFieldDefs; }
  TFields& Fields() { return FFields; }
  const TFields& Fields() const { return FFields; }
  TUpdateOptions& UpdateOptions() { return FUpdateOptions; }
  TFormatOptions& FormatOptions() { return FFormatOptions; }

  // Replaces the content with a stream and opens the table. Only sfBinary is
  // read; other formats fail.
  void LoadFromStream(std::string_view aStream, TStorageFormat aFormat);
  // What a load does once the row store is read: attaches the table a load
  // picks (the table named like the dataset, else the first root table),
  // turns CachedUpdates on when the journal holds changes of it, and opens.
  // Error 206 when the row store has no such table.
  void OpenFromManager();
  // Attaches a table of Manager() (or null to detach); the table closes first.
  void AttachTable(TRowStoreTable* aTable);

  // Opens the table: builds a row-store table from fields or definitions
  // when none is attached; error 206 when there is nothing to show.
  void Open();
  // Closes the table and drops its content; added fields stay.
  void Close();
  bool Active() const { return FState != TDataSetState::dsInactive; }
  TDataSetState State() const { return FState; }

  bool CachedUpdates() const { return FCachedUpdates; }
  void SetCachedUpdates(bool aValue) { FCachedUpdates = aValue; }
  TUpdateRecordTypes FilterChanges() const { return FFilterChanges; }
  void SetFilterChanges(TUpdateRecordTypes aValue);

  // Cursor over the visible rows.
  void First();
  void Next();
  void Prior();
  void Last();
  bool Eof() const { return FEof; }
  bool Bof() const { return FBof; }
  int RecordCount() const;
  // 1-based position of the current record (0 when there is none).
  int RecNo() const;
  void SetRecNo(int aValue);
  // True exactly when the open table shows no record (the window is empty).
  bool IsEmpty() const;
  // The record buffer window: buffered records and the active one's index.
  int BufferedRecordCount() const { return FRecordCount; }
  int ActiveRecord() const { return FActiveRecord; }
  // The row of the current record, or null.
  TRowStoreRow* CurrentRow() const;

  // Editing.
  void Append();
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  // Removes every record (a nested table: those of the parent's current
  // record), with the nested records of every level below; the fields stay
  // and the table stays open. The rows go as they are, not as deletions.
  void EmptyDataSet();

  TField* FindField(std::string_view aFieldName) const;
  // "Field '%s' not found" when there is none.
  TField& FieldByName(std::string_view aFieldName) const;

  // The field whose nested table this is, or null for a top-level table.
  TDataSetField* DataSetField() const { return FDataSetField; }

 private:
  friend class TField;
  friend class TDataSetField;
  void CheckActive() const;
  void CheckBrowse();
  void BuildFieldDefsFromColumns();
  void BuildTableFromFields();
  void CreateFieldsFromDefs();
  void BindFields();
  void RebuildView();
  // Puts the cursor on a row just posted, keeping the view when it can.
  void ShowPostedRow(TRowStoreRow& aRow, bool aInserted);
  void MoveTo(int aIndex);
  bool RowVisible(const TRowStoreRow& aRow) const;
  const TVariant& RecordValue(int aColumn) const;
  void SetRecordValue(int aColumn, TVariant aValue);
  void OpenAttached();
  void UpdateWindow();
  [[noreturn]] void RaiseCannotOpen() const;
  // Nested tables, seen from the parent.
  std::optional<std::uint32_t> CurrentRowKey() const;
  void OpenNestedTables();
  void CloseNestedTables();
  void SyncNestedTables();
  void DropNestedRows(std::uint32_t aParentRowID);
  // Nested tables, seen from the nested one.
  void FollowParent();
  void RemoveRowsOf(std::uint32_t aParentRowID);
  // Every row of the table and of the nested tables below it.
  void ClearAllRows();
  void RelinkRows(std::uint32_t aFrom, std::uint32_t aTo);

  std::string FName;
  std::unique_ptr<TRowStoreManager> FManager;
  TRowStoreTable* FTable = nullptr;
  TFieldDefs FFieldDefs;
  bool FOwnTable = false;     // built from fields or definitions by Open
  bool FDerivedDefs = false;  // definitions made by the table itself
  TFields FFields;
  bool FDefaultFields = false;  // fields were created from definitions on open
  TUpdateOptions FUpdateOptions;
  TFormatOptions FFormatOptions;
  bool FCachedUpdates = false;
  TUpdateRecordTypes FFilterChanges{TUpdateRecordType::rtModified, TUpdateRecordType::rtInserted,
                                    TUpdateRecordType::rtUnmodified};
  TDataSetState FState = TDataSetState::dsInactive;
  std::vector<TRowStoreRow*> FView;
  // The table's row count when FView was last brought up to date.
  std::size_t FViewedRowCount = 0;
  int FCursor = -1;
  bool FEof = true;
  bool FBof = true;
  int FRecordCount = 0;
  int FActiveRecord = 0;
  int FWindowStart = 0;
  TRowStoreRowBuffer FEditBuffer;
  TRowStoreRow* FEditRow = nullptr;  // the row being edited (dsEdit)
  std::uint32_t FPendingRowID = 0;   // the RowID the record being inserted gets (dsInsert)
  // Nested tables: the open table's nested-table fields, and for a nested
  // table its field, its parent-link column and the parent RowID it shows.
  std::vector<TDataSetField*> FNestedFields;
  TDataSetField* FDataSetField = nullptr;
  int FParentLinkColumn = -1;
  std::optional<std::uint32_t> FParentRowID;
};

}  // namespace tandemize::memtable

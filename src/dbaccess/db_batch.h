#pragma once
// Runs of several queries of one connection sent together, their answers
// read together: one wait on the server for the whole batch instead of one
// per run. Also rows streamed into a table with the server's bulk load.
// Offered by the kinds whose client can do it (PG, with a client of version
// 14 or later); Available() tells.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dbaccess/db_connection.h"

namespace tandemize::dbaccess {

namespace phys {
class TPhysBatching;
}  // namespace phys

// The first run of a batch that failed: its place in the batch, and as
// what() the message its own run would have raised.
class EBatchRunFailed : public memtable::EDatabaseError {
 public:
  EBatchRunFailed(std::size_t aIndex, const std::string& aMessage)
      : memtable::EDatabaseError(aMessage), FIndex(aIndex) {}
  std::size_t Index() const { return FIndex; }

 private:
  std::size_t FIndex;
};

// Texts of which two key values share at least one whenever a server may
// find them equal (`k = :k`, with the parameter converted to the column's
// type, under whatever collation the column has): numbers by value,
// date/times by their day, and text by its letters and digits alone, folded
// as a case- and accent-insensitive collation may fold them (compatibility
// forms, letter case, accents and other marks, blanks, punctuation and
// symbols, invisible characters, the script of a digit, katakana and
// hiragana); text that reads as a number or a day has that key too. Values
// that share no text are never equal; some that share one are not equal
// either. None for NULL, which equals nothing.
std::vector<std::string> ComparableKeys(const TVariant& aValue);

class TDbBatch {
 public:
  // The connection must outlive the batch.
  explicit TDbBatch(TDbConnection& aConnection) : FConnection(aConnection) {}

  // True when the connection (connected now if it is not) can send runs
  // together.
  bool Available();

  // Adds a run of aQuery with the values its parameters hold now (copied).
  // Fails as the query's own run fails before it reaches the server (an
  // untyped parameter: 335).
  void Add(TDbQuery& aQuery);
  std::size_t Size() const { return FRuns.size(); }

  // Sends the runs added since the last Run, in order, and reads their
  // answers: for each run, the rows it returned, or changed when it returns
  // none. The first run that fails raises EBatchRunFailed; the ones after it
  // are not carried out, and the open transaction is aborted. The batch is
  // empty afterwards either way.
  const std::vector<std::int64_t>& Run();

  // Loads rows into a table with the server's bulk load: aSql is
  // "COPY <table> (<columns>) FROM STDIN". Each row is its values in column
  // order, then EndCopyRow. The rows go to the server while more are added;
  // FinishCopy sends the rest and returns the rows loaded. A failure raises
  // the server's message and leaves the transaction aborted; a batch
  // destroyed in the middle of a load ends it as failed.
  void StartCopy(const std::string& aSql);
  void CopyValue(const memtable::TField& aField);
  void CopyValue(std::int64_t aValue);
  void EndCopyRow();
  std::int64_t FinishCopy();

  ~TDbBatch();
  TDbBatch(const TDbBatch&) = delete;
  TDbBatch& operator=(const TDbBatch&) = delete;

 private:
  struct TRun {
    phys::TPhysStatement* Statement;
    std::size_t First;  // into FValues
    std::size_t Count;
  };
  TDbConnection& FConnection;
  std::vector<TRun> FRuns;
  std::vector<std::string> FNames;
  std::vector<TFieldType> FTypes;
  std::vector<TVariant> FValues;
  std::vector<std::int64_t> FCounts;
  // The load under way: rows written and not yet sent, whether a value of
  // the row is written (a tab goes before the next), a value being converted.
  bool FCopying = false;
  phys::TPhysBatching* FCopyTarget = nullptr;
  bool FRowStarted = false;
  std::string FCopyData;
  TDbParam FCopyValue{"value"};
};

}  // namespace tandemize::dbaccess

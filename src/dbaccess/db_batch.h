#pragma once
// Runs of several queries of one connection sent together, their answers
// read together: one wait on the server for the whole batch instead of one
// per run. Also one run of a query whose parameters are arrays, one element
// per row. Offered by the kinds whose client can do it (PG, with a client of
// version 14 or later); Available() tells.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dbaccess/db_connection.h"

namespace tandemize::dbaccess {

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

// A text that two key values share whenever a server may find them equal
// (`k = :k`, with the parameter converted to the column's type): numbers by
// value, date/times by their day, text without letter case or surrounding
// blanks, and as a number or a day when it reads as one. Values that share
// no text are never equal; some that share one are not equal either. None
// for NULL, which equals nothing.
std::optional<std::string> ComparableKey(const TVariant& aValue);

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

  // One array parameter: one value per row, each with the data type it is
  // sent as (a parameter's DataType, as TDbParam::AssignFieldValue sets it).
  struct TArray {
    std::vector<TFieldType> Types;
    std::vector<TVariant> Values;
  };
  // Runs aQuery once, its i-th parameter (TDbQuery::Params order) bound to
  // aArrays[i] as an array; returns the rows it changed.
  std::int64_t RunWithArrays(TDbQuery& aQuery, const std::vector<TArray>& aArrays);

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
};

}  // namespace tandemize::dbaccess

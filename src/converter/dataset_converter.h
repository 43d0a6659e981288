#pragma once
// TDataSetConverter: table -> JSON, the converter IConverter::ForDataSet
// returns. Its contract is IDataSetConverter's (converter.h).

#include <memory>

#include "converter/converter.h"
#include "json/json.h"
#include "memtable/mem_table.h"

namespace tandemize::converter {

class TDataSetConverter final : public IDataSetConverter,
                                public std::enable_shared_from_this<TDataSetConverter> {
 public:
  static std::shared_ptr<IDataSetConverter> New();

  std::shared_ptr<IDataSetConverter> UseDataSet(memtable::TMemTable& aDataSet) override;
  json::TJsonObject& CurrentRecordToJsonObject() override;
  json::TJsonArray& RecordsToJsonArray() override;
  json::TJsonArray& StructureToJsonArray() override;

 private:
  struct TPrivateTag {};

 public:
  explicit TDataSetConverter(TPrivateTag) {}

 private:
  memtable::TMemTable& CheckDataSet() const;

  memtable::TMemTable* FDataSet = nullptr;  // bound, not owned
  json::TJsonObject FJsonObject;
  json::TJsonArray FJsonArray;
};

}  // namespace tandemize::converter

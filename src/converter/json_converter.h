#pragma once
// TJsonConverter: JSON -> table, the converter IConverter::ForJson returns.
// Its contract is IJsonConverter's (converter.h).

#include <memory>
#include <string_view>

#include "converter/converter.h"
#include "json/json.h"
#include "memtable/mem_table.h"

namespace tandemize::converter {

class TJsonConverter final : public IJsonConverter,
                             public std::enable_shared_from_this<TJsonConverter> {
 public:
  static std::shared_ptr<IJsonConverter> New();
  ~TJsonConverter() override;

  std::shared_ptr<IJsonConverter> UseJson(json::TJsonObject& aJsonObject) override;
  std::shared_ptr<IJsonConverter> UseJson(json::TJsonArray& aJsonArray) override;
  std::shared_ptr<IJsonConverter> UseJson(std::string_view aJsonString) override;
  void LoadRecords(memtable::TMemTable& aDataSet) override;
  void TakeRecords(memtable::TMemTable& aDataSet) override;
  void LoadCurrentRecord(memtable::TMemTable& aDataSet) override;
  void LoadStructure(memtable::TMemTable& aDataSet) override;

 private:
  struct TPrivateTag {};

 public:
  explicit TJsonConverter(TPrivateTag) {}

 private:
  void LoadDataSet(memtable::TMemTable& aDataSet, bool aTake);

  std::unique_ptr<json::TJson> FJson;        // a document parsed from text, owned
  json::TJsonObject* FJsonObject = nullptr;  // bound, not owned
  json::TJsonArray* FJsonArray = nullptr;    // bound, not owned
  bool FIsRecord = false;                    // edit records instead of appending
};

}  // namespace tandemize::converter

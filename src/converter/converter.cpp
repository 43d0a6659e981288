// The converter facade: each ForJson / ForDataSet makes a new converter.

#include "converter/converter.h"

#include "converter/dataset_converter.h"
#include "converter/json_converter.h"

namespace tandemize::converter {

using json::TJsonArray;
using json::TJsonObject;
using memtable::TMemTable;

std::shared_ptr<IConverter> TConverter::New() {
  return std::make_shared<TConverter>();
}

std::shared_ptr<IDataSetConverter> TConverter::ForDataSet() {
  return TDataSetConverter::New();
}

std::shared_ptr<IDataSetConverter> TConverter::ForDataSet(TMemTable& aDataSet) {
  return TDataSetConverter::New()->UseDataSet(aDataSet);
}

std::shared_ptr<IJsonConverter> TConverter::ForJson() {
  return TJsonConverter::New();
}

std::shared_ptr<IJsonConverter> TConverter::ForJson(TJsonObject& aJsonObject) {
  return TJsonConverter::New()->UseJson(aJsonObject);
}

std::shared_ptr<IJsonConverter> TConverter::ForJson(TJsonArray& aJsonArray) {
  return TJsonConverter::New()->UseJson(aJsonArray);
}

std::shared_ptr<IJsonConverter> TConverter::ForJson(std::string_view aJsonString) {
  return TJsonConverter::New()->UseJson(aJsonString);
}

}  // namespace tandemize::converter

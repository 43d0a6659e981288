#pragma once
// The dataset/JSON converter: builds an in-memory table from a JSON column
// description ("structure") and JSON rows ("data"), and writes a table back
// as JSON in the same shapes.
//
// Import, as the data service does it (TakeRecords frees each row's JSON
// once the row is a record):
//   TConverter::New()->ForJson(structureArray)->LoadStructure(table);
//   TConverter::New()->ForJson(dataArray)->TakeRecords(table);
//
// Converters are reference-counted (std::shared_ptr) and used through their
// interfaces; each ForJson / ForDataSet call makes a new one. A JSON
// converter refers to the caller's JSON nodes without owning them (only a
// document it parsed from text is its own): the caller keeps them alive
// while the converter is used. Loading looks every field up in each row
// object, so rows gain the members they lacked (as unset values).
//
// Failures: the converter's own checks raise EDataSetConverterException
// (converter_util.h); JSON, date reading, field and table errors pass through
// unchanged.

#include <memory>
#include <string_view>

#include "converter/converter_util.h"
#include "json/json.h"
#include "memtable/mem_table.h"

namespace tandemize::converter {

class IJsonConverter;
class IDataSetConverter;

class IConverter {
 public:
  virtual ~IConverter() = default;
  virtual std::shared_ptr<IDataSetConverter> ForDataSet() = 0;
  virtual std::shared_ptr<IDataSetConverter> ForDataSet(memtable::TMemTable& aDataSet) = 0;
  virtual std::shared_ptr<IJsonConverter> ForJson() = 0;
  virtual std::shared_ptr<IJsonConverter> ForJson(json::TJsonObject& aJsonObject) = 0;
  virtual std::shared_ptr<IJsonConverter> ForJson(json::TJsonArray& aJsonArray) = 0;
  // Parses the text (see IJsonConverter::UseJson).
  virtual std::shared_ptr<IJsonConverter> ForJson(std::string_view aJsonString) = 0;
};

// JSON -> table.
class IJsonConverter {
 public:
  virtual ~IJsonConverter() = default;
  // Bind the JSON to load; each returns this converter so calls chain.
  virtual std::shared_ptr<IJsonConverter> UseJson(json::TJsonObject& aJsonObject) = 0;
  virtual std::shared_ptr<IJsonConverter> UseJson(json::TJsonArray& aJsonArray) = 0;
  // Parses the text into a document of the converter's own and binds its
  // object or array. Empty text fails with std::runtime_error "JSON string
  // Uninformed."; parse errors pass through.
  virtual std::shared_ptr<IJsonConverter> UseJson(std::string_view aJsonString) = 0;

  // Opens the table (building it from its fields) and appends one record per
  // row object: a bound object is one row; a bound array holds row objects
  // or nested arrays of them. Members are matched to fields ignoring ASCII
  // case; a JSON null clears the field.
  virtual void LoadRecords(memtable::TMemTable& aDataSet) = 0;
  // As LoadRecords, but each element of a bound array leaves the array, and
  // is freed, once its rows are records: a large array is never held whole
  // both as JSON and as records. Elements are read in place, so failures
  // name them as LoadRecords' do; the failing element and those after it
  // stay in the array. A bound object is loaded as by LoadRecords.
  virtual void TakeRecords(memtable::TMemTable& aDataSet) = 0;
  // As LoadRecords, but each row edits the existing record at its position
  // instead of appending.
  virtual void LoadCurrentRecord(memtable::TMemTable& aDataSet) = 0;
  // Closes the table, removes its fields and definitions and adds one field
  // per element {"fieldName":..,"dataType":"ftInteger",..,"size":..} of the
  // bound array. Fields made before a failing element stay.
  virtual void LoadStructure(memtable::TMemTable& aDataSet) = 0;
};

// Table -> JSON. Results belong to the converter: each stays valid until the
// next conversion on the same converter or until the converter is released.
class IDataSetConverter {
 public:
  virtual ~IDataSetConverter() = default;
  virtual std::shared_ptr<IDataSetConverter> UseDataSet(memtable::TMemTable& aDataSet) = 0;
  // The current record as {"<lower-cased field name>":value,...}; {} when the
  // table holds no record.
  virtual json::TJsonObject& CurrentRecordToJsonObject() = 0;
  // Every record, first to last; the current record is restored afterwards.
  virtual json::TJsonArray& RecordsToJsonArray() = 0;
  // [{"fieldName":..,"dataType":..,"size":..},...] as LoadStructure reads it.
  virtual json::TJsonArray& StructureToJsonArray() = 0;
};

class TConverter final : public IConverter {
 public:
  static std::shared_ptr<IConverter> New();

  std::shared_ptr<IDataSetConverter> ForDataSet() override;
  std::shared_ptr<IDataSetConverter> ForDataSet(memtable::TMemTable& aDataSet) override;
  std::shared_ptr<IJsonConverter> ForJson() override;
  std::shared_ptr<IJsonConverter> ForJson(json::TJsonObject& aJsonObject) override;
  std::shared_ptr<IJsonConverter> ForJson(json::TJsonArray& aJsonArray) override;
  std::shared_ptr<IJsonConverter> ForJson(std::string_view aJsonString) override;
};

}  // namespace tandemize::converter

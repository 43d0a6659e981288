#pragma once
// TBinStorage: the binary dataset stream's container, both sides. Reading
// works over a caller-owned byte range and checks every read against it;
// writing builds the stream in memory and returns it from Close.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "memtable/storage/stream_format.h"

namespace tandemize::memtable::storage {

static_assert(std::endian::native == std::endian::little,
              "stream numbers are read in the host's byte order");

enum class TStorageMode : std::uint8_t { smRead, smWrite };

// A value as ReadValue returns it: the payload bytes in their memory layout
// (an 80-bit float already narrowed to 8 bytes, a packed decimal always 34
// bytes) and its length in characters for UTF-16 types, in bytes otherwise.
// The bytes stay valid until the next ReadValue.
struct TStorageValue {
  std::string_view Bytes;
  std::size_t Length = 0;
};

// How a stream before version 4 names a row's values: by their column's
// name, matched ignoring case like every other name of the stream, or
// exactly where two of the table's columns differ only in case.
enum class TValueNaming { NameIgnoringCase, ExactName };

class TBinStorage {
 public:
  using TDeferredAction = std::function<void(const std::string& aName, const std::string& aValue)>;

  TBinStorage() = default;
  TBinStorage(const TBinStorage&) = delete;
  TBinStorage& operator=(const TBinStorage&) = delete;

  // ---- Mode, version and lifecycle ----

  // Reads the header and the name dictionary of `aStream` (which must stay
  // alive while the storage is open) and positions at the manager object.
  void OpenRead(std::string_view aStream, TStoreItems aItems = kDefaultStoreItems);
  // Starts a stream of `aVersion` (-1: the current version).
  void OpenWrite(int aVersion = -1, TStoreItems aItems = kDefaultStoreItems);
  // Reading: forgets the stream. Writing: appends the dictionary, fills in
  // the header and returns the finished stream.
  std::string Close();

  bool IsOpen() const { return FOpen; }
  TStorageMode Mode() const { return FMode; }
  int StreamVersion() const { return FVersion; }
  bool IsStored(TStoreItem aItem) const { return FItems.Contains(aItem); }

  // ---- Reading objects ----

  // Reads an object begin; with a non-empty `aExpected` the name must match
  // (ignoring case). Returns the name read.
  std::string_view ReadObjectBegin(std::string_view aExpected = {});
  void ReadObjectEnd();
  bool IsObjectEnd();
  bool TestObject(std::string_view aName);
  bool TestAndReadObjectBegin(std::string_view aName);

  // ---- Reading properties; an absent or out-of-order one reads as the default ----

  bool ReadBoolean(std::string_view aName, bool aDefault);
  double ReadDate(std::string_view aName, double aDefault);
  double ReadFloat(std::string_view aName, double aDefault);
  std::int32_t ReadInteger(std::string_view aName, std::int32_t aDefault);
  std::uint32_t ReadLongWord(std::string_view aName, std::uint32_t aDefault);
  std::int64_t ReadInt64(std::string_view aName, std::int64_t aDefault);
  std::string ReadAnsiString(std::string_view aName, std::string_view aDefault);
  // UTF-16LE on the wire, UTF-8 here.
  std::string ReadString(std::string_view aName, std::string_view aDefault);
  // Returns the ordinal; a value name the enumeration lacks fails with 710.
  int ReadEnum(std::string_view aName, const TEnumTypeInfo& aType, int aDefault);
  bool TestProperty(std::string_view aName);
  bool TestAndReadProperty(std::string_view aName);

  // True when a value for this column follows; then `aValue` holds it.
  // Read for every value of every row: the column prefix is checked inline.
  bool ReadValue(std::string_view aColumnName, TValueNaming aNaming, std::uint16_t aColumnIndex,
                 TColumnDataType aType, TStorageValue& aValue) {
    CheckMode(TStorageMode::smRead);
    if (FVersion >= 4) {
      if (FPos > FDataEnd || FDataEnd - FPos < 2) return false;
      if (LoadLe<std::uint16_t>(FIn.data() + FPos) != aColumnIndex) return false;
      FPos += 2;
    } else if (!ReadPropertyId(aColumnName, aNaming)) {
      return false;
    }
    ReadPayload(aType, aValue);
    return true;
  }

  // ---- Writing ----

  void WriteObjectBegin(std::string_view aName);
  void WriteObjectEnd();
  void WriteBoolean(std::string_view aName, bool aValue, bool aDefault);
  void WriteDate(std::string_view aName, double aValue, double aDefault);
  void WriteFloat(std::string_view aName, double aValue, double aDefault);
  void WriteInteger(std::string_view aName, std::int32_t aValue, std::int32_t aDefault);
  void WriteLongWord(std::string_view aName, std::uint32_t aValue, std::uint32_t aDefault);
  void WriteInt64(std::string_view aName, std::int64_t aValue, std::int64_t aDefault);
  void WriteAnsiString(std::string_view aName, std::string_view aValue, std::string_view aDefault);
  void WriteString(std::string_view aName, std::string_view aValue, std::string_view aDefault);
  void WriteEnum(std::string_view aName, const TEnumTypeInfo& aType, int aValue, int aDefault);
  // `aBytes` in the layout ReadValue gives (8-byte double for dtExtended,
  // 34-byte packed decimal, UTF-16LE for wide text).
  void WriteValue(std::string_view aColumnName, std::uint16_t aColumnIndex, TColumnDataType aType,
                  std::string_view aBytes);

  // ---- Object levels and deferred actions ----

  // Entering the outermost level forgets pending actions; leaving it runs
  // them in registration order and forgets them, also when one fails.
  // A load that failed leaves its levels with `aRunActions` false: the
  // pending actions are dropped, since the objects they would act on may
  // already be gone.
  void EnterObjectLevel();
  void LeaveObjectLevel(bool aRunActions = true);
  // Reads an object's content with `aBody` inside a level of its own, then
  // the object's end. When `aBody` fails, its failure is what the caller
  // sees, not the end byte failing on the way out.
  template <class F>
  void ReadObjectContent(F&& aBody) {
    EnterObjectLevel();
    try {
      aBody();
    } catch (...) {
      LeaveObjectLevel(false);
      try {
        ReadObjectEnd();
      } catch (...) {
      }
      throw;
    }
    LeaveObjectLevel();
    ReadObjectEnd();
  }
  int ObjectLevel() const { return FLevel; }
  void DeferAction(std::string aName, std::string aValue, TDeferredAction aAction);

  // ---- Bookmarks ----

  std::size_t GetBookmark() const { return FPos; }
  void GotoBookmark(std::size_t aBookmark);

 private:
  // Reading primitives; each fails with 710 when the bytes are not there.
  // Every value and property passes through them: they are inline.
  void Need(std::size_t aCount) const {
    if (FPos > FDataEnd || aCount > FDataEnd - FPos) RaiseInvalidFormat();
  }
  std::string_view Take(std::size_t aCount) {
    Need(aCount);
    const std::string_view bytes(FIn.data() + FPos, aCount);
    FPos += aCount;
    return bytes;
  }
  std::uint8_t ReadU8() { return static_cast<std::uint8_t>(Take(1)[0]); }
  std::uint16_t ReadU16() { return LoadLe<std::uint16_t>(Take(2).data()); }
  std::uint32_t ReadU32() { return LoadLe<std::uint32_t>(Take(4).data()); }
  std::uint64_t ReadU64() { return LoadLe<std::uint64_t>(Take(8).data()); }
  // The little-endian number at `aBytes` (the host's order, see below).
  template <class T>
  static T LoadLe(const char* aBytes) {
    T value;
    std::memcpy(&value, aBytes, sizeof value);
    return value;
  }
  std::string_view ReadCountedBytes();
  // The payload of a value whose column prefix has been read.
  void ReadPayload(TColumnDataType aType, TStorageValue& aValue);
  std::string_view DictionaryName(std::uint32_t aNumber) const;
  // Consumes the property id when it names `aName`.
  bool ReadPropertyId(std::string_view aName,
                      TValueNaming aNaming = TValueNaming::NameIgnoringCase);

  // Writing primitives.
  void Put(std::string_view aBytes) { FOut.append(aBytes); }
  void PutU8(std::uint8_t aValue) { FOut.push_back(static_cast<char>(aValue)); }
  void PutU16(std::uint16_t aValue);
  void PutU32(std::uint32_t aValue);
  void PutU64(std::uint64_t aValue);
  std::uint16_t NameNumber(std::string_view aName);
  void PutPropertyId(std::string_view aName) { PutU16(NameNumber(aName)); }
  void PutUtf16(std::string_view aUtf8);

  void CheckMode(TStorageMode aMode) const {
    if (!FOpen || FMode != aMode) RaiseWrongMode();
  }
  [[noreturn]] static void RaiseWrongMode();
  void Reset();

  bool FOpen = false;
  TStorageMode FMode = TStorageMode::smRead;
  int FVersion = kCurrentStreamVersion;
  TStoreItems FItems = kDefaultStoreItems;

  // Reading: the stream, the end of the object data and the position.
  std::string_view FIn;
  std::size_t FDataEnd = 0;
  std::size_t FPos = 0;
  std::vector<std::string> FDictionary;
  std::string FValueBuffer;

  // Writing.
  std::string FOut;
  std::unordered_map<std::string, std::uint16_t> FNameNumbers;
  std::vector<std::string> FNames;

  struct TPendingAction {
    std::string Name, Value;
    TDeferredAction Action;
  };
  int FLevel = 0;
  std::vector<TPendingAction> FPending;
};

}  // namespace tandemize::memtable::storage

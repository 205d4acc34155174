#pragma once
// The record store: column descriptions, fixed-size row images kept in blocks of items, the string
// heap for out-of-line texts, and the block fetch that a provider record set drives.
//
// Record-set contract (how a provider plugs in). A provider record set (TCRRecordSet and the
// MySQL record set below it) derives from TMemData and:
//   1. in InternalOpen executes its command, describes the columns — AddField() of TFieldDesc
//      objects made by CreateFieldDesc(), with SetDataType()/SetLength() (which set the buffer
//      size) and a 1-based FFieldNo — calls InitRecordSize(), then fetches (Fetch()/FetchAll());
//   2. overrides FetchBlock(): write up to FetchRows() row images into the block's items
//      (BlockRecord(block, i)) with the bounds-checked writers PutInteger/PutFloat/PutString/
//      PutWideString/PutFixed/SetNull, and return the number of rows written;
//   3. overrides, when it needs them, the other fetch hooks (protected section below):
//      StartFetching (cursor state to fetching), FetchingAccessible (false once the cursor is
//      fully fetched: a data set may ask for one more block at the end), AllocFetchBuffer,
//      FreeFetchBuffer, InitBlock, ProcessFetchedBlock, ProcessNoResult, ProcessFetchedException,
//      CanFetchBack, IsFetchFinished (cursor inactive or fetched);
//   4. sets FFetchRows / FUniDirectional / FTrimFixedChar / FTrimVarChar from its properties.
// InternalFetch (one block) and FetchAll are implemented here once for every provider.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"

namespace rivalon {

// Data types: the 16-bit codes of the store and of parameter descriptions.
inline constexpr uint16_t dtUnknown = 0;
inline constexpr uint16_t dtString = 1;
inline constexpr uint16_t dtExtString = 2;
inline constexpr uint16_t dtWideString = 3;
inline constexpr uint16_t dtExtWideString = 4;
inline constexpr uint16_t dtFixedChar = 5;
inline constexpr uint16_t dtFixedWideChar = 6;
inline constexpr uint16_t dtInt8 = 7;
inline constexpr uint16_t dtInt16 = 8;
inline constexpr uint16_t dtSmallint = dtInt16;
inline constexpr uint16_t dtInt32 = 9;
inline constexpr uint16_t dtInteger = dtInt32;
inline constexpr uint16_t dtInt64 = 10;
inline constexpr uint16_t dtLargeint = dtInt64;
inline constexpr uint16_t dtUInt8 = 11;
inline constexpr uint16_t dtByte = dtUInt8;
inline constexpr uint16_t dtUInt16 = 12;
inline constexpr uint16_t dtWord = dtUInt16;
inline constexpr uint16_t dtUInt32 = 13;
inline constexpr uint16_t dtLongWord = dtUInt32;
inline constexpr uint16_t dtUInt64 = 14;
inline constexpr uint16_t dtSingle = 15;
inline constexpr uint16_t dtFloat = 16;
inline constexpr uint16_t dtExtended = 17;
inline constexpr uint16_t dtCurrency = 18;
inline constexpr uint16_t dtBCD = 19;
inline constexpr uint16_t dtFMTBCD = 20;
inline constexpr uint16_t dtDate = 21;
inline constexpr uint16_t dtTime = 22;
inline constexpr uint16_t dtDateTime = 23;
inline constexpr uint16_t dtSQLTimeStamp = 24;
inline constexpr uint16_t dtSQLTimeStampOffset = 25;
inline constexpr uint16_t dtBoolean = 26;
inline constexpr uint16_t dtBytes = 27;
inline constexpr uint16_t dtVarBytes = 28;
inline constexpr uint16_t dtExtBytes = 29;
inline constexpr uint16_t dtExtVarBytes = 30;
inline constexpr uint16_t dtBlob = 31;
inline constexpr uint16_t dtMemo = 32;
inline constexpr uint16_t dtWideMemo = 33;
inline constexpr uint16_t dtVariant = 34;
inline constexpr uint16_t dtObject = 35;
inline constexpr uint16_t dtReference = 36;
inline constexpr uint16_t dtArray = 37;
inline constexpr uint16_t dtTable = 38;
inline constexpr uint16_t dtGuid = 39;
inline constexpr uint16_t dtCursor = 40;
inline constexpr uint16_t dtXML = 41;

enum TFieldDescKind : uint8_t { fdkData = 0, fdkCached = 1, fdkCalculated = 2 };
enum TItemStatus : uint8_t { isUnmodified = 0, isUpdated = 1, isAppended = 2, isDeleted = 3 };
enum TUpdateRecAction : uint8_t {
    urFail = 0, urAbort = 1, urSkip = 2, urRetry = 3, urApplied = 4, urNone = 5, urSuspended = 6
};
enum TItemFilterState : uint8_t { fsNotChecked = 0, fsNotOmitted = 1, fsOmitted = 2 };

// Item flags: an item is either linked into the row list (in use) or on the free list.
inline constexpr uint8_t flUsed = 238;
inline constexpr uint8_t flFree = 221;

// Internal inconsistency of the store (a corrupt reference, a record of the wrong size). Reached
// only through a programming error or corrupted memory, never through server data.
class EStoreError : public Exception {
public:
    using Exception::Exception;
};

// Lower-cased form under which column and field names are compared (ASCII and the Latin-1 /
// Latin Extended-A letters of Portuguese names).
std::u16string LowerCaseName(std::u16string_view name);
bool SameName(std::u16string_view a, std::u16string_view b);

using TRecord = std::span<uint8_t>;
using TConstRecord = std::span<const uint8_t>;

// ---------------------------------------------------------------------------------------------
// String heap: out-of-line texts of the Ext types. Requests are rounded to 8 bytes; up to 2000
// bytes they come from per-size free lists or are carved from 16 384-byte blocks, larger ones
// from the general allocator. Each buffer is preceded by its rounded size and a reference word
// (101 = one reference, 100 = free). Rows hold a 32-bit reference (THeapRef, 0 = none) instead
// of an address, so a row slot stays 4 bytes and every access is range-checked.
using THeapRef = uint32_t;

class TStringHeap {
public:
    static constexpr size_t Align = 8;
    static constexpr size_t SmallSize = 2000;
    static constexpr size_t SizeClasses = SmallSize / Align; // 250
    static constexpr size_t BlockSize = 16384;
    static constexpr size_t HeaderSize = 8; // 4-byte size, 2-byte reference word, 2-byte tag
    static constexpr uint16_t RefFree = 100;
    static constexpr uint16_t RefOne = 101;

    TStringHeap() = default;
    TStringHeap(const TStringHeap&) = delete;
    TStringHeap& operator=(const TStringHeap&) = delete;
    ~TStringHeap() = default;

    // A buffer of at least `size` bytes, contents zeroed, with one reference.
    THeapRef NewBuf(size_t size);
    // The bytes followed by a zero byte.
    THeapRef AllocStr(std::string_view bytes);
    // The code units followed by a zero code unit.
    THeapRef AllocWideStr(std::u16string_view text);
    void AddRef(THeapRef ref);
    // Drops one reference; the last returns the buffer to its free list (or the allocator).
    void DisposeBuf(THeapRef ref);
    // Frees every block and large buffer and empties the free lists.
    void Clear();

    // The buffer's whole area: its rounded size, or for a buffer above 2000 bytes exactly the
    // size asked for (the value and its terminator for AllocStr/AllocWideStr).
    std::span<uint8_t> Buffer(THeapRef ref);
    std::span<const uint8_t> Buffer(THeapRef ref) const;
    uint16_t RefCount(THeapRef ref) const;
    static size_t RoundSize(size_t size) { return size == 0 ? Align : (size + Align - 1) & ~(Align - 1); }

    bool Empty() const { return FBlocks.empty() && FLargeCount == 0; }
    size_t BlockCount() const { return FBlocks.size(); }
    size_t LargeCount() const { return FLargeCount; }
    // Buffers waiting on the free list of the class of `roundedSize` (for checks and tests).
    size_t FreeListLength(size_t roundedSize) const;

    void SetThreadSafety(bool on) { FThreadSafety = on; }

private:
    struct Header {
        uint32_t Size;
        uint16_t Ref;
        uint16_t Tag;
    };
    static_assert(sizeof(Header) == HeaderSize);
    static constexpr uint16_t TagSmall = 0x5348; // "HS"
    static constexpr uint16_t TagLarge = 0x4C48; // "HL"
    static constexpr uint32_t LargeBit = 0x80000000u;
    static constexpr unsigned OffsetBits = 11; // 16 384 / 8 chunk positions per block

    std::unique_lock<std::mutex> Lock() const;
    THeapRef AllocSmall(size_t rounded);
    THeapRef AllocLarge(size_t size);
    void PushFree(THeapRef ref, size_t rounded);
    uint8_t* Chunk(THeapRef ref) const; // header address, range-checked
    Header& HeaderOf(THeapRef ref) const;

    std::vector<std::unique_ptr<uint8_t[]>> FBlocks;
    size_t FUsed = BlockSize; // bytes taken in the newest block
    THeapRef FFreeLists[SizeClasses] = {};
    std::vector<std::unique_ptr<uint8_t[]>> FLarge;
    std::vector<uint32_t> FLargeFreeSlots;
    size_t FLargeCount = 0;
    bool FThreadSafety = false;
    mutable std::mutex FLock;
};

// ---------------------------------------------------------------------------------------------
// Items and blocks.
struct TBlockHeader;

struct TItemHeader {
    TBlockHeader* Block;
    TItemHeader* Prev;
    TItemHeader* Next;
    TItemHeader* Rollback;
    TItemStatus Status;
    TUpdateRecAction UpdateResult;
    int32_t Order;
    int32_t SavedOrder;
    uint8_t Flag;
    TItemFilterState FilterResult;
};

struct TBlockHeader {
    uint16_t ItemCount;
    uint16_t UsedItems;
    TBlockHeader* Prev;
    TBlockHeader* Next;
};

// One allocation per block: the header, then ItemCount items of (item header, row image).
// Blocks are listed newest first; unused items wait on a doubly linked free list.
class TBlockManager {
public:
    static constexpr int DefaultItemCount = 25;

    TBlockManager() = default;
    TBlockManager(const TBlockManager&) = delete;
    TBlockManager& operator=(const TBlockManager&) = delete;
    ~TBlockManager() { FreeAllBlocks(); }

    // Row image size; only while no block exists.
    void SetRecordSize(int size);
    int RecordSize() const { return FRecordSize; }

    // A zeroed block whose items are all marked free but not on the free list. Unless
    // stand-alone, it is linked at the head of the block list.
    TBlockHeader* AllocBlock(int itemCount, bool standAlone = false);
    // Unlinks the block (and its free items) and releases it.
    void FreeBlock(TBlockHeader* block, bool standAlone = false);
    void FreeAllBlocks();
    // Marks every item of the block free and off the free list, zeroes the row images.
    void ResetBlock(TBlockHeader* block);

    // An item from the free list (a new block of DefaultItemCount when it is empty), in use.
    TItemHeader* AllocItem();
    // Returns an item in use to the free list; the block goes when its last item does.
    void FreeItem(TItemHeader* item);
    // Puts an unused slot of a fetched block onto the free list.
    void AddFreeItem(TItemHeader* item);
    void MarkUsed(TItemHeader* item);

    TItemHeader* ItemAt(TBlockHeader* block, int index) const;
    TRecord GetRecordPtr(TItemHeader* item) const;
    TConstRecord GetRecordPtr(const TItemHeader* item) const;

    TBlockHeader* FirstBlock() const { return FFirstBlock; }
    TItemHeader* FirstFree() const { return FFirstFree; }
    int BlockCount() const;
    int FreeCount() const;

private:
    size_t ItemStride() const;
    static size_t BlockHeaderSize();
    void UnlinkFree(TItemHeader* item);

    int FRecordSize = 0;
    TItemHeader* FFirstFree = nullptr;
    TBlockHeader* FFirstBlock = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Column descriptions.

// The type questions a record-set class answers; a description keeps the one of the record set
// that made it.
class TRecordSetTypes {
public:
    virtual ~TRecordSetTypes() = default;
    virtual int GetBufferSize(uint16_t dataType, int length) const;
    virtual bool HasValueLen(uint16_t dataType) const;
    virtual bool IsBlobDataType(uint16_t dataType) const;
    virtual bool IsObjectDataType(uint16_t dataType) const;
    virtual bool IsSharedObjectDataType(uint16_t dataType) const;
    virtual bool IsComplexDataType(uint16_t dataType) const;
    static const TRecordSetTypes& Default();
};

class TFieldDesc {
public:
    explicit TFieldDesc(const TRecordSetTypes& recordSetClass = TRecordSetTypes::Default());
    virtual ~TFieldDesc() = default;
    TFieldDesc(const TFieldDesc&) = delete;
    TFieldDesc& operator=(const TFieldDesc&) = delete;

    uint16_t DataType() const { return FDataType; }
    // Sets the type, the flags derived from it and the buffer size.
    void SetDataType(uint16_t dataType);
    uint16_t Length() const { return FLength; }
    void SetLength(uint16_t length);
    int Size() const { return FSize; }
    // A provider may widen the image slot of a type it stores differently.
    void SetSize(int size) { FSize = size; }
    int Offset() const { return FOffset; }
    int DataOffset() const { return FDataOffset; }
    void SetOffset(int offset);

    bool IsBlob() const { return FIsBlob; }
    bool IsObject() const { return FIsObject; }
    bool IsSharedObject() const { return FIsSharedObject; }
    bool IsComplex() const { return FIsComplex; }
    bool HasValueLen() const { return FHasValueLen; }
    bool HasParent() const { return FParentField != nullptr; }
    // 8-bit or wide text kept in the row or in the heap.
    bool IsText() const;
    bool IsWide() const;
    // Characters or bytes kept outside the row image.
    bool IsExternal() const;

    const TRecordSetTypes* FRecordSetClass;
    uint16_t FSubDataType = dtUnknown;
    const void* FObjectType = nullptr;
    TFieldDesc* FParentField = nullptr;
    bool FUpdateable = true;
    std::u16string FCustomConstraint;
    std::u16string FName;
    std::u16string FActualName;
    uint16_t FScale = 0;
    uint16_t FFieldNo = 0;
    int32_t FActualFieldNo = -1;
    bool FRequired = false;
    bool FReadOnly = false;
    bool FIsKey = false;
    bool FFixed = false;
    bool FHidden = false;
    bool FHiddenObject = false;
    void* FHandle = nullptr;
    bool FReserved = false;
    TFieldDescKind FFieldDescKind = fdkData;
    bool FIsAutoIncrement = false;

private:
    uint16_t FDataType = dtUnknown;
    uint16_t FLength = 0;
    int32_t FSize = 0;
    int32_t FOffset = 0;
    int32_t FDataOffset = 0;
    bool FIsBlob = false;
    bool FIsObject = false;
    bool FIsSharedObject = false;
    bool FIsComplex = false;
    bool FHasValueLen = false;
};

// A provider's column: the server's own type and length beside the internal ones.
class TCRFieldDesc : public TFieldDesc {
public:
    using TFieldDesc::TFieldDesc;

    uint16_t FDBType = 0;
    int32_t FDBLength = 0;
    int32_t FDBScale = 0;
    const void* FMapRule = nullptr;   // no mapping rule applies on this road
    uint16_t FMapDataType = dtUnknown;
    int32_t FMapLength = -1;
    int32_t FMapScale = -1;
    bool FEncrypted = false;
    bool FNational = false;
    const void* FTableInfo = nullptr;
    std::u16string FDefaultExpr;
};

using TFieldDescs = std::vector<std::unique_ptr<TFieldDesc>>;

// ---------------------------------------------------------------------------------------------
// TData: columns, row image layout, value access, open/close.
class TData {
public:
    TData();
    virtual ~TData();
    TData(const TData&) = delete;
    TData& operator=(const TData&) = delete;

    // Opening runs InternalOpen once; a failure frees the data and propagates.
    virtual void Open();
    virtual void Close();
    bool Active() const { return FActive; }

    // Columns. FFieldNo of each is its 1-based position.
    const TFieldDescs& Fields() const { return FFields; }
    int FieldCount() const { return static_cast<int>(FFields.size()); }
    TFieldDesc& Field(int index) const;
    TFieldDesc* FindField(std::u16string_view name) const;
    TFieldDesc& AddField(std::unique_ptr<TFieldDesc> field);
    virtual std::unique_ptr<TFieldDesc> CreateFieldDesc() const;
    void ClearFields();
    // Offsets, the null-flag area and the record size from the columns.
    virtual void InitRecordSize();

    int DataSize() const { return FDataSize; }
    int RecordSize() const { return FRecordSize; }
    virtual int GetRecordCount() const { return FRecordCount; }
    TStringHeap& StringHeap() { return *FStringHeap; }
    const TStringHeap& StringHeap() const { return *FStringHeap; }
    bool Bof() const { return FBOF; }
    bool Eof() const { return FEOF; }

    // Reading. GetField copies the value as a field reads it — texts without their terminator,
    // trimmed by the trimming rules; dtBytes padded to the length; dtVarBytes and dtExtVarBytes
    // as a 16-bit length (65 535 for a longer value) and all the bytes; other types their FSize
    // bytes — and returns false for NULL (dest is then empty).
    bool GetField(const TFieldDesc& field, TConstRecord record, std::string& dest) const;
    bool GetNull(const TFieldDesc& field, TConstRecord record) const;
    // Integer types (and dtBoolean as 0/-1) as a 64-bit value; false when NULL.
    bool GetInteger(const TFieldDesc& field, TConstRecord record, int64_t& value) const;

    // Writing (providers). SetNull(true) on an Ext column also releases its heap buffer and
    // clears its slot. Each writer clears the null flag; they check the type, the record
    // size and the field's room and never write outside the field's slot.
    void SetNull(const TFieldDesc& field, TRecord record, bool isNull);
    void PutInteger(const TFieldDesc& field, TRecord record, int64_t value);
    void PutFloat(const TFieldDesc& field, TRecord record, double value);
    // 8-bit text and bytes: dtString/dtFixedChar/dtGuid/dtBytes/dtVarBytes keep at most FLength
    // bytes in the row; the Ext types take a heap buffer holding the whole value. A value longer
    // than the 16-bit length word can count keeps 65 535 there, and the heap buffer (then one of
    // exactly the value's size) gives its length.
    void PutString(const TFieldDesc& field, TRecord record, std::string_view bytes);
    void PutWideString(const TFieldDesc& field, TRecord record, std::u16string_view text);
    // Raw bytes for the other fixed-size types, at most FSize of them.
    void PutFixed(const TFieldDesc& field, TRecord record, std::span<const uint8_t> bytes);
    // Releases the heap buffers a record refers to and clears their slots.
    void FreeComplexFields(TRecord record);
    // The heap reference held by an Ext column (0 when none).
    THeapRef GetHeapRef(const TFieldDesc& field, TConstRecord record) const;

    // Trimming rules of GetField.
    bool FTrimFixedChar = true;
    bool FTrimVarChar = false;

protected:
    virtual void InternalOpen() {}
    virtual void InternalClose() {}
    // Empties the row storage; the columns stay.
    virtual void InitData();
    virtual void FreeData();
    void CheckRecord(const TFieldDesc& field, TConstRecord record, int bytes, int at) const;

    TFieldDescs FFields;
    int32_t FRecordCount = 0;
    int32_t FDataSize = 0;
    int32_t FRecordSize = 0;
    bool FBOF = true;
    bool FEOF = true;
    bool FActive = false;
    std::unique_ptr<TStringHeap> FStringHeap;
};

// ---------------------------------------------------------------------------------------------
// TMemData: the row list in blocks and the block fetch.
class TMemData : public TData {
public:
    TMemData() = default;
    ~TMemData() override;

    // One block; false when nothing was fetched.
    virtual bool Fetch(bool fetchBack = false);
    // Blocks until a fetch reports nothing.
    virtual void FetchAll();

    TItemHeader* FirstItem() const { return FFirstItem; }
    TItemHeader* LastItem() const { return FLastItem; }
    TItemHeader* CurrentItem() const { return FCurrentItem; }
    static TItemHeader* NextItem(const TItemHeader* item) { return item ? item->Next : nullptr; }
    static TItemHeader* PriorItem(const TItemHeader* item) { return item ? item->Prev : nullptr; }
    TConstRecord RecordOf(const TItemHeader* item) const { return FBlockMan.GetRecordPtr(item); }
    TRecord RecordOf(TItemHeader* item) { return FBlockMan.GetRecordPtr(item); }
    // Current-row navigation of the store itself.
    void SetToBegin();
    void SetToEnd();
    TItemHeader* GetNextRecord();
    TItemHeader* GetPriorRecord();

    const TBlockManager& BlockManager() const { return FBlockMan; }
    int RowsFetched() const { return FRowsFetched; }
    int FetchRows() const { return FFetchRows; }
    bool UniDirectional() const { return FUniDirectional; }
    // The provider reported the end of its rows (a block without rows, or a finished cursor)
    // since the store was opened; a data set then asks for no more blocks.
    bool FetchEnded() const { return FFetchEnded; }
    void InitRecordSize() override;

protected:
    void InitData() override;
    void FreeData() override;

    // The block fetch and its hooks.
    virtual bool InternalFetch(bool fetchBack);
    virtual void StartFetching() {}
    virtual bool FetchingAccessible(bool /*fetchBack*/) { return true; }
    virtual bool CanFetchBack() const { return false; }
    virtual void AllocFetchBuffer() {}
    virtual void FreeFetchBuffer() {}
    virtual void InitBlock(TBlockHeader* /*block*/) {}
    // Fills up to FetchRows() items of the block; returns the number of rows obtained.
    virtual int FetchBlock(TBlockHeader* /*block*/, bool /*fetchBack*/) { return 0; }
    virtual void ProcessFetchedBlock(TBlockHeader* /*block*/, bool /*fetchBack*/) {}
    virtual void ProcessNoResult(bool /*fetchBack*/) {}
    // True swallows an exception raised while a block was fetched.
    virtual bool ProcessFetchedException(std::exception_ptr /*error*/) { return false; }
    // True when the cursor has nothing more to give (the fetch buffer can go).
    virtual bool IsFetchFinished() const { return false; }

    // The record of the i-th item of a block being filled.
    TRecord BlockRecord(TBlockHeader* block, int index);
    void ClearBlock(TBlockHeader* block);

    TItemHeader* FFirstItem = nullptr;
    TItemHeader* FLastItem = nullptr;
    TItemHeader* FCurrentItem = nullptr;
    TBlockManager FBlockMan;
    int32_t FRowsFetched = 0;
    int32_t FFetchRows = 25;
    bool FUniDirectional = false;
    bool FFetchEnded = false;
};

} // namespace rivalon

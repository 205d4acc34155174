#include "dac/common/MemData.h"

#include <cassert>
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace rivalon {

namespace {

// Row images are not aligned per column: every multi-byte value goes through memcpy.
template <typename T>
T LoadAt(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

template <typename T>
void StoreAt(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof(T));
}

constexpr size_t RoundUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

constexpr size_t MaxValueLen = std::numeric_limits<uint16_t>::max();

// An out-of-line value's slot: the length word and the reference of its heap buffer. The old
// buffer goes only once the new one is held, so a failed allocation leaves the slot valid.
void StoreHeapValue(TStringHeap& heap, uint8_t* slot, size_t length, THeapRef ref) {
    heap.DisposeBuf(LoadAt<THeapRef>(slot + 2));
    StoreAt<uint16_t>(slot, uint16_t(std::min(length, MaxValueLen)));
    StoreAt<THeapRef>(slot + 2, ref);
}

} // namespace

static char16_t LowerCaseChar(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return char16_t(c + 32);
    if (c < 0x100 || c > 0x17F) return c;
    if (c < 0x138) return (c % 2 == 0 && c != 0x130) ? char16_t(c + 1) : c;
    if (c < 0x149) return (c % 2 == 1) ? char16_t(c + 1) : c;
    if (c < 0x178) return (c >= 0x14A && c % 2 == 0) ? char16_t(c + 1) : c;
    if (c == 0x178) return 0xFF;
    return (c % 2 == 1 && c < 0x17F) ? char16_t(c + 1) : c;
}

std::u16string LowerCaseName(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out) c = LowerCaseChar(c);
    return out;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerCaseChar(a[i]) != LowerCaseChar(b[i])) return false;
    return true;
}

// =============================================================================================
// TStringHeap

std::unique_lock<std::mutex> TStringHeap::Lock() const {
    return FThreadSafety ? std::unique_lock<std::mutex>(FLock) : std::unique_lock<std::mutex>();
}

THeapRef TStringHeap::NewBuf(size_t size) {
    auto lock = Lock();
    const size_t rounded = RoundSize(size);
    const THeapRef ref = rounded > SmallSize ? AllocLarge(size) : AllocSmall(rounded);
    const auto area = Buffer(ref);
    std::memset(area.data(), 0, area.size());
    return ref;
}

THeapRef TStringHeap::AllocStr(std::string_view bytes) {
    auto lock = Lock();
    const size_t rounded = RoundSize(bytes.size() + 1);
    const THeapRef ref = rounded > SmallSize ? AllocLarge(bytes.size() + 1) : AllocSmall(rounded);
    uint8_t* data = Chunk(ref) + HeaderSize;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    data[bytes.size()] = 0;
    return ref;
}

THeapRef TStringHeap::AllocWideStr(std::u16string_view text) {
    auto lock = Lock();
    const size_t bytes = text.size() * 2;
    const size_t rounded = RoundSize(bytes + 2);
    const THeapRef ref = rounded > SmallSize ? AllocLarge(bytes + 2) : AllocSmall(rounded);
    uint8_t* data = Chunk(ref) + HeaderSize;
    if (bytes) std::memcpy(data, text.data(), bytes);
    data[bytes] = 0;
    data[bytes + 1] = 0;
    return ref;
}

THeapRef TStringHeap::AllocSmall(size_t rounded) {
    const size_t cls = rounded / Align - 1;
    if (const THeapRef head = FFreeLists[cls]) {
        Header& h = HeaderOf(head);
        // A buffer on a free list must carry the free mark and its own size.
        assert(h.Ref == RefFree && h.Size == rounded);
        FFreeLists[cls] = LoadAt<uint32_t>(Chunk(head) + HeaderSize);
        h.Ref = RefOne;
        return head;
    }
    const size_t need = HeaderSize + rounded;
    if (FBlocks.empty() || FUsed + need > BlockSize) {
        if (!FBlocks.empty()) {
            // The tail of the full block becomes a free buffer of its own size class.
            const size_t rest = BlockSize - FUsed;
            if (rest >= HeaderSize + Align) {
                const size_t restSize = rest - HeaderSize;
                uint8_t* chunk = FBlocks.back().get() + FUsed;
                StoreAt(chunk, Header{uint32_t(restSize), RefFree, TagSmall});
                const THeapRef restRef =
                    THeapRef((FBlocks.size()) << OffsetBits) | THeapRef(FUsed / Align);
                PushFree(restRef, restSize);
            }
            FUsed = BlockSize;
        }
        if (FBlocks.size() + 1 >= (size_t(1) << (31 - OffsetBits)))
            throw EStoreError("String heap exhausted");
        FBlocks.push_back(std::make_unique_for_overwrite<uint8_t[]>(BlockSize));
        FUsed = 0;
    }
    uint8_t* chunk = FBlocks.back().get() + FUsed;
    StoreAt(chunk, Header{uint32_t(rounded), RefOne, TagSmall});
    const THeapRef ref = THeapRef(FBlocks.size() << OffsetBits) | THeapRef(FUsed / Align);
    FUsed += need;
    return ref;
}

THeapRef TStringHeap::AllocLarge(size_t size) {
    if (size > std::numeric_limits<uint32_t>::max() - HeaderSize)
        throw EStoreError("String heap buffer too large");
    // Never recycled by size class, so it records the exact size: the length of a value too
    // long for a row's length word.
    auto mem = std::make_unique_for_overwrite<uint8_t[]>(HeaderSize + size);
    StoreAt(mem.get(), Header{uint32_t(size), RefOne, TagLarge});
    uint32_t slot;
    if (!FLargeFreeSlots.empty()) {
        slot = FLargeFreeSlots.back();
        FLargeFreeSlots.pop_back();
        FLarge[slot] = std::move(mem);
    } else {
        if (FLarge.size() >= LargeBit - 1) throw EStoreError("String heap exhausted");
        slot = uint32_t(FLarge.size());
        FLarge.push_back(std::move(mem));
    }
    ++FLargeCount;
    return LargeBit | (slot + 1);
}

void TStringHeap::PushFree(THeapRef ref, size_t rounded) {
    const size_t cls = rounded / Align - 1;
    StoreAt<uint32_t>(Chunk(ref) + HeaderSize, FFreeLists[cls]);
    FFreeLists[cls] = ref;
}

uint8_t* TStringHeap::Chunk(THeapRef ref) const {
    if (ref == 0) throw EStoreError("Invalid string heap reference");
    if (ref & LargeBit) {
        const uint32_t slot = (ref & ~LargeBit) - 1;
        if (slot >= FLarge.size() || !FLarge[slot]) throw EStoreError("Invalid string heap reference");
        uint8_t* chunk = FLarge[slot].get();
        if (LoadAt<Header>(chunk).Tag != TagLarge) throw EStoreError("Corrupt string heap buffer");
        return chunk;
    }
    const size_t block = (ref >> OffsetBits) - 1;
    const size_t offset = size_t(ref & ((1u << OffsetBits) - 1)) * Align;
    if (block >= FBlocks.size() || offset + HeaderSize > BlockSize)
        throw EStoreError("Invalid string heap reference");
    uint8_t* chunk = FBlocks[block].get() + offset;
    const Header h = LoadAt<Header>(chunk);
    if (h.Tag != TagSmall || h.Size == 0 || h.Size > SmallSize ||
        offset + HeaderSize + h.Size > BlockSize)
        throw EStoreError("Corrupt string heap buffer");
    return chunk;
}

TStringHeap::Header& TStringHeap::HeaderOf(THeapRef ref) const {
    // Chunks start on 8-byte boundaries of 8-aligned allocations, so the header is aligned.
    return *std::launder(reinterpret_cast<Header*>(Chunk(ref)));
}

void TStringHeap::AddRef(THeapRef ref) {
    auto lock = Lock();
    Header& h = HeaderOf(ref);
    assert(h.Ref > RefFree);
    if (h.Ref <= RefFree || h.Ref == std::numeric_limits<uint16_t>::max())
        throw EStoreError("Invalid string heap reference count");
    ++h.Ref;
}

void TStringHeap::DisposeBuf(THeapRef ref) {
    if (ref == 0) return;
    auto lock = Lock();
    Header& h = HeaderOf(ref);
    // Releasing a buffer that is already free would link it twice into its free list.
    assert(h.Ref > RefFree);
    if (h.Ref <= RefFree) return;
    if (h.Ref > RefOne) {
        --h.Ref;
        return;
    }
    if (ref & LargeBit) {
        const uint32_t slot = (ref & ~LargeBit) - 1;
        FLarge[slot].reset();
        FLargeFreeSlots.push_back(slot);
        --FLargeCount;
        return;
    }
    h.Ref = RefFree;
    PushFree(ref, h.Size);
}

void TStringHeap::Clear() {
    auto lock = Lock();
    FBlocks.clear();
    FUsed = BlockSize;
    for (auto& head : FFreeLists) head = 0;
    FLarge.clear();
    FLargeFreeSlots.clear();
    FLargeCount = 0;
}

std::span<uint8_t> TStringHeap::Buffer(THeapRef ref) {
    uint8_t* chunk = Chunk(ref);
    return {chunk + HeaderSize, LoadAt<Header>(chunk).Size};
}

std::span<const uint8_t> TStringHeap::Buffer(THeapRef ref) const {
    const uint8_t* chunk = Chunk(ref);
    return {chunk + HeaderSize, LoadAt<Header>(chunk).Size};
}

uint16_t TStringHeap::RefCount(THeapRef ref) const {
    return LoadAt<Header>(Chunk(ref)).Ref;
}

size_t TStringHeap::FreeListLength(size_t roundedSize) const {
    if (roundedSize == 0 || roundedSize > SmallSize || roundedSize % Align) return 0;
    size_t n = 0;
    for (THeapRef r = FFreeLists[roundedSize / Align - 1]; r; r = LoadAt<uint32_t>(Chunk(r) + HeaderSize)) {
        if (++n > BlockSize * FBlocks.size()) throw EStoreError("Corrupt string heap free list");
    }
    return n;
}

// =============================================================================================
// TBlockManager

size_t TBlockManager::BlockHeaderSize() { return RoundUp(sizeof(TBlockHeader), alignof(TItemHeader)); }

size_t TBlockManager::ItemStride() const {
    return sizeof(TItemHeader) + RoundUp(size_t(FRecordSize), alignof(TItemHeader));
}

void TBlockManager::SetRecordSize(int size) {
    if (FFirstBlock) throw EStoreError("Record size changed while rows are held");
    if (size < 0) throw EStoreError("Invalid record size");
    FRecordSize = size;
}

TBlockHeader* TBlockManager::AllocBlock(int itemCount, bool standAlone) {
    if (itemCount <= 0 || itemCount > std::numeric_limits<uint16_t>::max())
        throw EStoreError("Invalid block item count");
    const size_t stride = ItemStride();
    const size_t bytes = BlockHeaderSize() + size_t(itemCount) * stride;
    auto* mem = static_cast<uint8_t*>(::operator new(bytes));
    std::memset(mem, 0, bytes);
    auto* block = reinterpret_cast<TBlockHeader*>(mem);
    block->ItemCount = uint16_t(itemCount);
    block->UsedItems = 0;
    block->Prev = nullptr;
    block->Next = nullptr;
    for (int i = 0; i < itemCount; ++i) {
        auto* item = reinterpret_cast<TItemHeader*>(mem + BlockHeaderSize() + size_t(i) * stride);
        item->Block = block;
        item->Flag = flFree;
        item->Status = isUnmodified;
        item->UpdateResult = urNone;
        item->FilterResult = fsNotChecked;
    }
    if (!standAlone) {
        block->Next = FFirstBlock;
        if (FFirstBlock) FFirstBlock->Prev = block;
        FFirstBlock = block;
    }
    return block;
}

void TBlockManager::UnlinkFree(TItemHeader* item) {
    if (item->Prev)
        item->Prev->Next = item->Next;
    else if (FFirstFree == item)
        FFirstFree = item->Next;
    else
        return; // not on the free list
    if (item->Next) item->Next->Prev = item->Prev;
    item->Prev = item->Next = nullptr;
}

void TBlockManager::FreeBlock(TBlockHeader* block, bool standAlone) {
    if (!block) return;
    for (int i = 0; i < block->ItemCount; ++i) {
        TItemHeader* item = ItemAt(block, i);
        if (item->Flag == flFree) UnlinkFree(item);
    }
    if (!standAlone) {
        if (block->Prev)
            block->Prev->Next = block->Next;
        else if (FFirstBlock == block)
            FFirstBlock = block->Next;
        if (block->Next) block->Next->Prev = block->Prev;
    }
    ::operator delete(static_cast<void*>(block));
}

void TBlockManager::FreeAllBlocks() {
    while (FFirstBlock) {
        TBlockHeader* next = FFirstBlock->Next;
        ::operator delete(static_cast<void*>(FFirstBlock));
        FFirstBlock = next;
    }
    FFirstFree = nullptr;
}

void TBlockManager::ResetBlock(TBlockHeader* block) {
    for (int i = 0; i < block->ItemCount; ++i) {
        TItemHeader* item = ItemAt(block, i);
        if (item->Flag == flFree) UnlinkFree(item);
        std::memset(static_cast<void*>(item), 0, ItemStride());
        item->Block = block;
        item->Flag = flFree;
        item->UpdateResult = urNone;
    }
    block->UsedItems = 0;
}

TItemHeader* TBlockManager::AllocItem() {
    if (!FFirstFree) {
        TBlockHeader* block = AllocBlock(DefaultItemCount);
        for (int i = block->ItemCount - 1; i >= 0; --i) AddFreeItem(ItemAt(block, i));
    }
    TItemHeader* item = FFirstFree;
    // Everything on the free list must be marked free.
    assert(item->Flag == flFree);
    if (item->Flag != flFree) throw EStoreError("Corrupt free list");
    UnlinkFree(item);
    MarkUsed(item);
    return item;
}

void TBlockManager::MarkUsed(TItemHeader* item) {
    assert(item->Flag == flFree);
    item->Flag = flUsed;
    ++item->Block->UsedItems;
}

void TBlockManager::AddFreeItem(TItemHeader* item) {
    item->Flag = flFree;
    item->Status = isUnmodified;
    item->UpdateResult = urNone;
    item->Prev = nullptr;
    item->Next = FFirstFree;
    if (FFirstFree) FFirstFree->Prev = item;
    FFirstFree = item;
}

void TBlockManager::FreeItem(TItemHeader* item) {
    assert(item->Flag == flUsed);
    if (item->Flag != flUsed) throw EStoreError("Item freed twice");
    TBlockHeader* block = item->Block;
    const TRecord rec = GetRecordPtr(item);
    std::memset(rec.data(), 0, rec.size());
    item->Flag = flFree;
    item->Prev = item->Next = nullptr;
    if (--block->UsedItems == 0)
        FreeBlock(block);
    else
        AddFreeItem(item);
}

TItemHeader* TBlockManager::ItemAt(TBlockHeader* block, int index) const {
    if (!block || index < 0 || index >= block->ItemCount) throw EStoreError("Item index out of range");
    auto* mem = reinterpret_cast<uint8_t*>(block);
    return reinterpret_cast<TItemHeader*>(mem + BlockHeaderSize() + size_t(index) * ItemStride());
}

TRecord TBlockManager::GetRecordPtr(TItemHeader* item) const {
    return {reinterpret_cast<uint8_t*>(item) + sizeof(TItemHeader), size_t(FRecordSize)};
}

TConstRecord TBlockManager::GetRecordPtr(const TItemHeader* item) const {
    return {reinterpret_cast<const uint8_t*>(item) + sizeof(TItemHeader), size_t(FRecordSize)};
}

int TBlockManager::BlockCount() const {
    int n = 0;
    for (auto* b = FFirstBlock; b; b = b->Next) ++n;
    return n;
}

int TBlockManager::FreeCount() const {
    int n = 0;
    for (auto* i = FFirstFree; i; i = i->Next) ++n;
    return n;
}

// =============================================================================================
// TRecordSetTypes, TFieldDesc

int TRecordSetTypes::GetBufferSize(uint16_t dataType, int length) const {
    switch (dataType) {
    case dtString:
    case dtFixedChar: return length + 3;
    case dtWideString:
    case dtFixedWideChar: return 2 * length + 4;
    case dtExtString:
    case dtExtWideString:
    case dtExtVarBytes: return 6;
    case dtBytes:
    case dtVarBytes: return length + 2;
    case dtInt8:
    case dtInt16:
    case dtUInt8:
    case dtUInt16:
    case dtBoolean: return 2;
    case dtInt64:
    case dtUInt64:
    case dtFloat:
    case dtCurrency:
    case dtBCD:
    case dtDate:
    case dtTime:
    case dtDateTime: return 8;
    case dtExtended: return 10;
    case dtSQLTimeStamp: return 16;
    case dtSQLTimeStampOffset: return 20;
    case dtFMTBCD: return 34;
    case dtGuid: return 41;
    default: return 4;
    }
}

bool TRecordSetTypes::HasValueLen(uint16_t dataType) const {
    switch (dataType) {
    case dtString:
    case dtExtString:
    case dtWideString:
    case dtExtWideString:
    case dtFixedChar:
    case dtFixedWideChar:
    case dtBytes:
    case dtVarBytes:
    case dtExtVarBytes:
    case dtGuid: return true;
    default: return false;
    }
}

bool TRecordSetTypes::IsBlobDataType(uint16_t dataType) const {
    return dataType == dtBlob || dataType == dtMemo || dataType == dtWideMemo;
}

bool TRecordSetTypes::IsObjectDataType(uint16_t dataType) const {
    switch (dataType) {
    case dtObject:
    case dtReference:
    case dtArray:
    case dtTable:
    case dtCursor:
    case dtXML: return true;
    default: return false;
    }
}

bool TRecordSetTypes::IsSharedObjectDataType(uint16_t dataType) const {
    return IsBlobDataType(dataType) || IsObjectDataType(dataType);
}

bool TRecordSetTypes::IsComplexDataType(uint16_t dataType) const {
    return IsSharedObjectDataType(dataType) || dataType == dtVariant;
}

const TRecordSetTypes& TRecordSetTypes::Default() {
    static const TRecordSetTypes types;
    return types;
}

TFieldDesc::TFieldDesc(const TRecordSetTypes& recordSetClass) : FRecordSetClass(&recordSetClass) {
    SetDataType(dtUnknown);
}

void TFieldDesc::SetDataType(uint16_t dataType) {
    FDataType = dataType;
    FIsBlob = FRecordSetClass->IsBlobDataType(dataType);
    FIsObject = FRecordSetClass->IsObjectDataType(dataType);
    FIsSharedObject = FRecordSetClass->IsSharedObjectDataType(dataType);
    FIsComplex = FRecordSetClass->IsComplexDataType(dataType);
    FHasValueLen = FRecordSetClass->HasValueLen(dataType);
    FSize = FRecordSetClass->GetBufferSize(dataType, FLength);
    FDataOffset = FOffset + (FHasValueLen ? 2 : 0);
}

void TFieldDesc::SetLength(uint16_t length) {
    FLength = length;
    FSize = FRecordSetClass->GetBufferSize(FDataType, FLength);
}

void TFieldDesc::SetOffset(int offset) {
    FOffset = offset;
    FDataOffset = offset + (FHasValueLen ? 2 : 0);
}

bool TFieldDesc::IsText() const {
    switch (FDataType) {
    case dtString:
    case dtExtString:
    case dtFixedChar:
    case dtWideString:
    case dtExtWideString:
    case dtFixedWideChar: return true;
    default: return false;
    }
}

bool TFieldDesc::IsWide() const {
    return FDataType == dtWideString || FDataType == dtExtWideString || FDataType == dtFixedWideChar;
}

bool TFieldDesc::IsExternal() const {
    return FDataType == dtExtString || FDataType == dtExtWideString || FDataType == dtExtVarBytes;
}

// =============================================================================================
// TData

TData::TData() : FStringHeap(std::make_unique<TStringHeap>()) {}

TData::~TData() = default;

void TData::Open() {
    if (FActive) return;
    InitData();
    try {
        InternalOpen();
    } catch (...) {
        FreeData();
        throw;
    }
    FActive = true;
}

void TData::Close() {
    struct Release {
        TData* d;
        ~Release() {
            d->FreeData();
            d->FActive = false;
        }
    } release{this};
    InternalClose();
}

void TData::InitData() {
    FRecordCount = 0;
    FBOF = true;
    FEOF = true;
    FStringHeap->Clear();
}

void TData::FreeData() {
    FRecordCount = 0;
    FBOF = true;
    FEOF = true;
    FStringHeap->Clear();
}

TFieldDesc& TData::Field(int index) const {
    if (index < 0 || index >= FieldCount()) throw EStoreError("Column index out of range");
    return *FFields[size_t(index)];
}

TFieldDesc* TData::FindField(std::u16string_view name) const {
    for (const auto& f : FFields)
        if (SameName(f->FName, name)) return f.get();
    return nullptr;
}

TFieldDesc& TData::AddField(std::unique_ptr<TFieldDesc> field) {
    if (!field) throw EStoreError("No column description");
    FFields.push_back(std::move(field));
    return *FFields.back();
}

std::unique_ptr<TFieldDesc> TData::CreateFieldDesc() const { return std::make_unique<TFieldDesc>(); }

void TData::ClearFields() {
    FFields.clear();
    FDataSize = FRecordSize = 0;
}

void TData::InitRecordSize() {
    int64_t running = 0;
    const int count = FieldCount();
    for (const auto& f : FFields) {
        if (f->FFieldNo < 1 || f->FFieldNo > count) throw EStoreError("Invalid column number");
        if (f->FFieldDescKind == fdkCalculated || f->HasParent()) continue;
        // 16-bit characters stay on even offsets.
        if ((f->DataType() == dtWideString || f->DataType() == dtFixedWideChar) && (running & 1))
            ++running;
        if (f->Size() < 0) throw EStoreError("Invalid column size");
        f->SetOffset(int(running));
        running += f->Size();
    }
    // One null byte per column follows the data area.
    const int64_t total = int64_t(RoundUp(size_t(running) + size_t(count), 2));
    if (total > std::numeric_limits<int32_t>::max() / 2) throw EStoreError("Record too large");
    FDataSize = int32_t(running);
    FRecordSize = int32_t(total);
}

void TData::CheckRecord(const TFieldDesc& field, TConstRecord record, int bytes, int at) const {
    if (at < 0 || bytes < 0 || size_t(at) + size_t(bytes) > record.size() || at + bytes > FDataSize ||
        at < field.Offset() || at + bytes > field.Offset() + field.Size())
        throw EStoreError("Column value outside its record slot");
}

bool TData::GetNull(const TFieldDesc& field, TConstRecord record) const {
    const size_t at = size_t(FDataSize) + field.FFieldNo - 1;
    if (field.FFieldNo < 1 || at >= record.size()) throw EStoreError("Column outside the record");
    return record[at] != 0;
}

void TData::SetNull(const TFieldDesc& field, TRecord record, bool isNull) {
    const size_t at = size_t(FDataSize) + field.FFieldNo - 1;
    if (field.FFieldNo < 1 || at >= record.size()) throw EStoreError("Column outside the record");
    if (isNull && field.IsExternal()) {
        // A NULL keeps no text: its slot refers to nothing.
        CheckRecord(field, record, 6, field.Offset());
        uint8_t* slot = record.data() + field.Offset();
        FStringHeap->DisposeBuf(LoadAt<THeapRef>(slot + 2));
        std::memset(slot, 0, 6);
    }
    record[at] = isNull ? 1 : 0;
}

THeapRef TData::GetHeapRef(const TFieldDesc& field, TConstRecord record) const {
    if (!field.IsExternal()) return 0;
    CheckRecord(field, record, 4, field.DataOffset());
    return LoadAt<THeapRef>(record.data() + field.DataOffset());
}

bool TData::GetField(const TFieldDesc& field, TConstRecord record, std::string& dest) const {
    dest.clear();
    if (GetNull(field, record)) return false;
    const uint16_t dt = field.DataType();
    const uint8_t* base = record.data();
    uint16_t len = 0;
    if (field.HasValueLen()) {
        CheckRecord(field, record, 2, field.Offset());
        len = LoadAt<uint16_t>(base + field.Offset());
    }
    auto inlineBytes = [&](int bytes, int room) {
        if (bytes > room) throw EStoreError("Corrupt value length");
        CheckRecord(field, record, bytes, field.DataOffset());
        dest.assign(reinterpret_cast<const char*>(base + field.DataOffset()), size_t(bytes));
    };
    // unit: bytes per character, also the size of the buffer's terminator.
    auto heapBytes = [&](size_t unit) {
        const THeapRef ref = GetHeapRef(field, record);
        if (!ref) return; // a NULL value's slot, or an empty value
        const auto buf = FStringHeap->Buffer(ref);
        // A full length word: the value may be longer, and its buffer has its exact size.
        const size_t bytes = len == MaxValueLen && buf.size() >= unit ? buf.size() - unit : len * unit;
        if (bytes > buf.size()) throw EStoreError("Corrupt value length");
        dest.assign(reinterpret_cast<const char*>(buf.data()), bytes);
    };
    switch (dt) {
    case dtString:
    case dtFixedChar:
    case dtGuid: inlineBytes(len, field.Size() - 3); break;
    case dtExtString: heapBytes(1); break;
    case dtWideString:
    case dtFixedWideChar: inlineBytes(2 * len, field.Size() - 4); break;
    case dtExtWideString: heapBytes(2); break;
    case dtBytes:
        inlineBytes(len, field.Size() - 2);
        if (dest.size() < field.Length()) dest.resize(field.Length(), '\0');
        break;
    case dtVarBytes:
        inlineBytes(len, field.Size() - 2);
        dest.insert(0, reinterpret_cast<const char*>(&len), 2);
        break;
    case dtExtVarBytes:
        heapBytes(1);
        dest.insert(0, reinterpret_cast<const char*>(&len), 2);
        break;
    default:
        CheckRecord(field, record, field.Size(), field.DataOffset());
        dest.assign(reinterpret_cast<const char*>(base + field.DataOffset()), size_t(field.Size()));
        return true;
    }
    if (field.IsText() && dt != dtGuid) {
        const bool fixed = field.FFixed || dt == dtFixedChar || dt == dtFixedWideChar;
        if ((fixed && FTrimFixedChar) || (!fixed && FTrimVarChar)) {
            if (field.IsWide()) {
                size_t n = dest.size() / 2;
                while (n > 0 && dest[2 * n - 2] == ' ' && dest[2 * n - 1] == 0) --n;
                dest.resize(2 * n);
            } else {
                size_t n = dest.size();
                while (n > 0 && dest[n - 1] == ' ') --n;
                dest.resize(n);
            }
        }
    }
    return true;
}

bool TData::GetInteger(const TFieldDesc& field, TConstRecord record, int64_t& value) const {
    value = 0;
    if (GetNull(field, record)) return false;
    const int at = field.DataOffset();
    const uint8_t* p = record.data() + at;
    switch (field.DataType()) {
    case dtInt8: CheckRecord(field, record, 1, at); value = LoadAt<int8_t>(p); break;
    case dtUInt8: CheckRecord(field, record, 1, at); value = LoadAt<uint8_t>(p); break;
    case dtInt16:
    case dtBoolean: CheckRecord(field, record, 2, at); value = LoadAt<int16_t>(p); break;
    case dtUInt16: CheckRecord(field, record, 2, at); value = LoadAt<uint16_t>(p); break;
    case dtInt32: CheckRecord(field, record, 4, at); value = LoadAt<int32_t>(p); break;
    case dtUInt32: CheckRecord(field, record, 4, at); value = LoadAt<uint32_t>(p); break;
    case dtInt64:
    case dtUInt64: CheckRecord(field, record, 8, at); value = LoadAt<int64_t>(p); break;
    default: throw EStoreError("Column is not an integer");
    }
    return true;
}

void TData::PutInteger(const TFieldDesc& field, TRecord record, int64_t value) {
    const int at = field.DataOffset();
    uint8_t* p = record.data() + at;
    switch (field.DataType()) {
    case dtInt8:
    case dtUInt8:
        CheckRecord(field, record, 2, at);
        StoreAt<uint16_t>(p, 0);
        StoreAt<uint8_t>(p, uint8_t(value));
        break;
    case dtInt16:
    case dtUInt16: CheckRecord(field, record, 2, at); StoreAt<uint16_t>(p, uint16_t(value)); break;
    case dtBoolean: CheckRecord(field, record, 2, at); StoreAt<int16_t>(p, value ? -1 : 0); break;
    case dtInt32:
    case dtUInt32: CheckRecord(field, record, 4, at); StoreAt<uint32_t>(p, uint32_t(value)); break;
    case dtInt64:
    case dtUInt64: CheckRecord(field, record, 8, at); StoreAt<int64_t>(p, value); break;
    default: throw EStoreError("Column is not an integer");
    }
    SetNull(field, record, false);
}

void TData::PutFloat(const TFieldDesc& field, TRecord record, double value) {
    const int at = field.DataOffset();
    uint8_t* p = record.data() + at;
    switch (field.DataType()) {
    case dtSingle: CheckRecord(field, record, 4, at); StoreAt<float>(p, float(value)); break;
    case dtFloat:
    case dtDate:
    case dtTime:
    case dtDateTime: CheckRecord(field, record, 8, at); StoreAt<double>(p, value); break;
    case dtCurrency: {
        // Currency is a 64-bit count of ten-thousandths.
        CheckRecord(field, record, 8, at);
        const double scaled = value * 10000.0;
        if (!(scaled >= -9.2233720368547758e18 && scaled <= 9.2233720368547748e18))
            throw EStoreError("Currency value out of range");
        StoreAt<int64_t>(p, int64_t(scaled < 0 ? scaled - 0.5 : scaled + 0.5));
        break;
    }
    default: throw EStoreError("Column is not a floating-point number");
    }
    SetNull(field, record, false);
}

void TData::PutString(const TFieldDesc& field, TRecord record, std::string_view bytes) {
    uint8_t* base = record.data();
    switch (field.DataType()) {
    case dtString:
    case dtFixedChar:
    case dtGuid:
    case dtBytes:
    case dtVarBytes: {
        const bool text = field.DataType() != dtBytes && field.DataType() != dtVarBytes;
        const int room = field.Size() - (text ? 3 : 2);
        if (room < 0) throw EStoreError("Invalid column size");
        const size_t n = std::min(bytes.size(), size_t(room));
        CheckRecord(field, record, int(n) + 2 + (text ? 1 : 0), field.Offset());
        StoreAt<uint16_t>(base + field.Offset(), uint16_t(n));
        if (n) std::memcpy(base + field.DataOffset(), bytes.data(), n);
        if (text) base[field.DataOffset() + n] = 0;
        break;
    }
    case dtExtString:
    case dtExtVarBytes: {
        CheckRecord(field, record, 6, field.Offset());
        StoreHeapValue(*FStringHeap, base + field.Offset(), bytes.size(), FStringHeap->AllocStr(bytes));
        break;
    }
    default: throw EStoreError("Column is not an 8-bit text or bytes column");
    }
    SetNull(field, record, false);
}

void TData::PutWideString(const TFieldDesc& field, TRecord record, std::u16string_view text) {
    uint8_t* base = record.data();
    switch (field.DataType()) {
    case dtWideString:
    case dtFixedWideChar: {
        const int room = (field.Size() - 4) / 2;
        if (room < 0) throw EStoreError("Invalid column size");
        const size_t n = std::min(text.size(), size_t(room));
        CheckRecord(field, record, int(2 * n) + 4, field.Offset());
        StoreAt<uint16_t>(base + field.Offset(), uint16_t(n));
        if (n) std::memcpy(base + field.DataOffset(), text.data(), 2 * n);
        StoreAt<uint16_t>(base + field.DataOffset() + 2 * n, 0);
        break;
    }
    case dtExtWideString: {
        CheckRecord(field, record, 6, field.Offset());
        StoreHeapValue(*FStringHeap, base + field.Offset(), text.size(), FStringHeap->AllocWideStr(text));
        break;
    }
    default: throw EStoreError("Column is not a wide text column");
    }
    SetNull(field, record, false);
}

void TData::PutFixed(const TFieldDesc& field, TRecord record, std::span<const uint8_t> bytes) {
    if (field.HasValueLen() || field.IsExternal()) throw EStoreError("Column has a value length");
    if (bytes.size() > size_t(field.Size())) throw EStoreError("Value larger than its column");
    CheckRecord(field, record, field.Size(), field.DataOffset());
    uint8_t* p = record.data() + field.DataOffset();
    std::memset(p, 0, size_t(field.Size()));
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    SetNull(field, record, false);
}

void TData::FreeComplexFields(TRecord record) {
    for (const auto& f : FFields) {
        if (!f->IsExternal() || f->FFieldDescKind == fdkCalculated || f->HasParent()) continue;
        CheckRecord(*f, record, 4, f->DataOffset());
        uint8_t* slot = record.data() + f->DataOffset();
        FStringHeap->DisposeBuf(LoadAt<THeapRef>(slot));
        StoreAt<THeapRef>(slot, 0);
    }
}

// =============================================================================================
// TMemData

TMemData::~TMemData() = default;

void TMemData::InitData() {
    FBlockMan.FreeAllBlocks();
    FFirstItem = FLastItem = FCurrentItem = nullptr;
    FRowsFetched = 0;
    FFetchEnded = false;
    TData::InitData();
}

void TMemData::FreeData() {
    FBlockMan.FreeAllBlocks();
    FFirstItem = FLastItem = FCurrentItem = nullptr;
    FRowsFetched = 0;
    FFetchEnded = false;
    TData::FreeData();
}

void TMemData::InitRecordSize() {
    // Rows laid out for other columns cannot be kept.
    FreeData();
    TData::InitRecordSize();
    FBlockMan.SetRecordSize(FRecordSize);
}

TRecord TMemData::BlockRecord(TBlockHeader* block, int index) {
    return FBlockMan.GetRecordPtr(FBlockMan.ItemAt(block, index));
}

void TMemData::ClearBlock(TBlockHeader* block) {
    for (int i = 0; i < block->ItemCount; ++i) {
        TItemHeader* item = FBlockMan.ItemAt(block, i);
        FreeComplexFields(FBlockMan.GetRecordPtr(item));
        if (item->Flag != flUsed) continue;
        // Take the row out of the row list.
        if (item->Prev) item->Prev->Next = item->Next; else FFirstItem = item->Next;
        if (item->Next) item->Next->Prev = item->Prev; else FLastItem = item->Prev;
        if (FCurrentItem == item) FCurrentItem = nullptr;
        item->Prev = item->Next = nullptr;
    }
    FBlockMan.ResetBlock(block);
}

bool TMemData::Fetch(bool fetchBack) { return InternalFetch(fetchBack); }

void TMemData::FetchAll() {
    while (Fetch(false)) {
    }
}

bool TMemData::InternalFetch(bool fetchBack) {
    StartFetching();
    if (!FetchingAccessible(fetchBack)) return false;
    if (FFetchRows <= 0) throw EStoreError("Invalid fetch row count");

    int32_t lastOrder = FLastItem ? FLastItem->Order : 0;
    TBlockHeader* block;
    if ((FUniDirectional || CanFetchBack()) && FBlockMan.FirstBlock()) {
        block = FBlockMan.FirstBlock();
        ClearBlock(block);
        if (block->ItemCount != FFetchRows) {
            // The row count changed between fetches: a block of the new size replaces it.
            FBlockMan.FreeBlock(block);
            block = FBlockMan.AllocBlock(FFetchRows);
        }
    } else {
        block = FBlockMan.AllocBlock(FFetchRows);
    }
    int added = 0, fetched = 0;
    try {
        AllocFetchBuffer();
        InitBlock(block);
        const int rows = FetchBlock(block, fetchBack);
        if (rows < 0 || rows > block->ItemCount) throw EStoreError("Invalid count of fetched rows");
        if (rows == 0) {
            ClearBlock(block);
            FBlockMan.FreeBlock(block);
            block = nullptr;
            FreeFetchBuffer();
            ProcessNoResult(fetchBack);
            if (!FBlockMan.FirstBlock()) {
                // Nothing held any more; a forward-only store still counts what it has read.
                const int32_t count = FRecordCount, fetched = FRowsFetched;
                InitData();
                FRecordCount = count;
                FRowsFetched = fetched;
            }
            FFetchEnded = true;
            return false;
        }
        for (int i = 0; i < block->ItemCount; ++i) {
            TItemHeader* item = FBlockMan.ItemAt(block, i);
            if (i >= rows) {
                FBlockMan.AddFreeItem(item);
                continue;
            }
            FBlockMan.MarkUsed(item);
            item->Status = isUnmodified;
            item->UpdateResult = urNone;
            item->FilterResult = fsNotChecked;
            item->Order = ++lastOrder;
            item->Prev = FLastItem;
            item->Next = nullptr;
            if (FLastItem) FLastItem->Next = item; else FFirstItem = item;
            FLastItem = item;
        }
        if (!fetchBack) {
            FRecordCount += rows;
            added = rows;
        }
        FRowsFetched += rows;
        fetched = rows;
        ProcessFetchedBlock(block, fetchBack);
        if (IsFetchFinished()) {
            FreeFetchBuffer();
            FFetchEnded = true;
        }
        return true;
    } catch (...) {
        if (block) {
            ClearBlock(block); // also unlinks the rows of this block
            FBlockMan.FreeBlock(block);
            FRecordCount -= added;
            FRowsFetched -= fetched;
        }
        if (ProcessFetchedException(std::current_exception())) return false;
        throw;
    }
}

void TMemData::SetToBegin() {
    FCurrentItem = nullptr;
    FBOF = true;
    FEOF = false;
}

void TMemData::SetToEnd() {
    FCurrentItem = nullptr;
    FBOF = false;
    FEOF = true;
}

TItemHeader* TMemData::GetNextRecord() {
    TItemHeader* next = FCurrentItem ? FCurrentItem->Next : (FBOF ? FFirstItem : nullptr);
    if (next) {
        FCurrentItem = next;
        FBOF = FEOF = false;
    } else {
        FCurrentItem = nullptr;
        FEOF = true;
    }
    return next;
}

TItemHeader* TMemData::GetPriorRecord() {
    TItemHeader* prior = FCurrentItem ? FCurrentItem->Prev : (FEOF ? FLastItem : nullptr);
    if (prior) {
        FCurrentItem = prior;
        FBOF = FEOF = false;
    } else {
        FCurrentItem = nullptr;
        FBOF = true;
    }
    return prior;
}

} // namespace rivalon

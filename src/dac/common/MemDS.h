#pragma once
// The small data-set framework the components stand on — field types, field definitions, typed
// fields, a data set with one active record buffer — and TMemDataSet, which maps it onto the
// record store: field definitions from the store's columns, fields bound by case-insensitive name,
// values read from a copy of the current row image.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dac/common/DatabaseError.h"
#include "dac/common/MemData.h"

namespace rivalon {

// Field types of the data-set framework.
enum TFieldType : uint8_t {
    ftUnknown = 0, ftString = 1, ftSmallint = 2, ftInteger = 3, ftWord = 4, ftBoolean = 5,
    ftFloat = 6, ftCurrency = 7, ftBCD = 8, ftDate = 9, ftTime = 10, ftDateTime = 11,
    ftBytes = 12, ftVarBytes = 13, ftAutoInc = 14, ftBlob = 15, ftMemo = 16, ftGraphic = 17,
    ftFmtMemo = 18, ftParadoxOle = 19, ftDBaseOle = 20, ftTypedBinary = 21, ftCursor = 22,
    ftFixedChar = 23, ftWideString = 24, ftLargeint = 25, ftADT = 26, ftArray = 27,
    ftReference = 28, ftDataSet = 29, ftOraBlob = 30, ftOraClob = 31, ftVariant = 32,
    ftInterface = 33, ftIDispatch = 34, ftGuid = 35, ftTimeStamp = 36, ftFMTBcd = 37,
    ftFixedWideChar = 38, ftWideMemo = 39, ftOraTimeStamp = 40, ftOraInterval = 41,
    ftLongWord = 42, ftShortint = 43, ftByte = 44, ftExtended = 45, ftConnection = 46,
    ftParams = 47, ftStream = 48, ftTimeStampOffset = 49, ftObject = 50, ftSingle = 51,
    // The data-access layer's own type for timestamps with a zone offset.
    ftDATimeStampOffset = 99,
};

// The name used in binding messages: "Unknown", "String", "SmallInt", "Integer", ...
std::u16string_view FieldTypeName(TFieldType type);

// Whether a field of type `fieldType` may be bound to a definition of type `defType`.
bool FieldTypesCompatible(TFieldType fieldType, TFieldType defType);

// Data type <-> field type. A provider may supply its own map.
class TFieldTypeMap {
public:
    virtual ~TFieldTypeMap() = default;
    // None when the data type has no field type.
    virtual std::optional<TFieldType> GetFieldType(uint16_t dataType) const;
    // The data type a parameter of this field type is described with.
    virtual uint16_t GetDataType(TFieldType fieldType) const;
    static const TFieldTypeMap& Default();
};

// ---------------------------------------------------------------------------------------------
// Field definitions.
class TFieldDef {
public:
    std::u16string Name;
    TFieldType DataType = ftUnknown;
    int Size = 0;
    int FieldNo = 0;
    bool Required = false;
    bool ReadOnly = false;
    bool Hidden = false;
    bool Fixed = false;
    int Precision = 0;
    int Scale = 0;
};

class TFieldDefs {
public:
    TFieldDef& Add(std::u16string name, TFieldType dataType, int size = 0, bool required = false);
    TFieldDef* Find(std::u16string_view name) const;
    int Count() const { return static_cast<int>(FItems.size()); }
    TFieldDef& operator[](int index) const;
    void Clear();
    // False once the definitions no longer describe the current statement.
    bool Updated = false;

private:
    std::vector<std::unique_ptr<TFieldDef>> FItems;
};

// ---------------------------------------------------------------------------------------------
// Fields.
class TMemDataSet;

enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };

class TField {
public:
    explicit TField(TFieldType dataType, int size = 0);
    virtual ~TField();
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;

    const std::u16string& FieldName() const { return FFieldName; }
    void SetFieldName(std::u16string name) { FFieldName = std::move(name); }
    const std::u16string& DisplayLabel() const { return FDisplayLabel; }
    void SetDisplayLabel(std::u16string label) { FDisplayLabel = std::move(label); }
    const std::u16string& DisplayName() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
    TFieldType DataType() const { return FDataType; }
    int Size() const { return FSize; }
    void SetSize(int size) { FSize = size; }
    int FieldNo() const { return FFieldNo; }
    TFieldKind FieldKind() const { return FFieldKind; }
    void SetFieldKind(TFieldKind kind) { FFieldKind = kind; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool on) { FReadOnly = on; }
    bool Required() const { return FRequired; }
    void SetRequired(bool on) { FRequired = on; }
    bool Visible() const { return FVisible; }
    void SetVisible(bool on) { FVisible = on; }
    TMemDataSet* DataSet() const { return FDataSet; }
    // The store column the field reads (none while the data set is closed).
    const TFieldDesc* FieldDesc() const { return FDesc; }
    bool IsText() const;

    // No value: a NULL, or no current row.
    bool IsNull() const;
    virtual std::u16string AsString() const;
    virtual int32_t AsInteger() const;
    virtual int64_t AsLargeInt() const;
    virtual double AsFloat() const;
    virtual bool AsBoolean() const;

protected:
    // The value's bytes as the store gives them; false when it has none.
    bool GetData(std::string& buffer) const;
    bool GetInteger(int64_t& value) const;
    [[noreturn]] void AccessError(std::u16string_view typeName) const;

private:
    friend class TMemDataSet;
    std::u16string FFieldName;
    std::u16string FDisplayLabel;
    TFieldType FDataType;
    int FSize;
    int FFieldNo = 0;
    TFieldKind FFieldKind = fkData;
    bool FReadOnly = false;
    bool FRequired = false;
    bool FVisible = true;
    TMemDataSet* FDataSet = nullptr;
    const TFieldDesc* FDesc = nullptr;
};

// 8-bit text, decoded with the process code page.
class TStringField : public TField {
public:
    explicit TStringField(int size = 20, TFieldType dataType = ftString) : TField(dataType, size) {}
    // The value's bytes up to the first zero byte.
    std::string AsAnsiString() const;
    std::u16string AsString() const override;
    int32_t AsInteger() const override;
    int64_t AsLargeInt() const override;
    double AsFloat() const override;
    bool AsBoolean() const override;
};

class TGuidField : public TStringField {
public:
    TGuidField() : TStringField(38, ftGuid) {}
};

class TWideStringField : public TField {
public:
    explicit TWideStringField(int size = 20, TFieldType dataType = ftWideString) : TField(dataType, size) {}
    std::u16string AsString() const override;
    int32_t AsInteger() const override;
    int64_t AsLargeInt() const override;
    double AsFloat() const override;
};

class TNumericField : public TField {
public:
    using TField::TField;
};

// Integers of up to 32 bits; reads any integer column of the store by its own width.
class TIntegerField : public TNumericField {
public:
    explicit TIntegerField(TFieldType dataType = ftInteger) : TNumericField(dataType) {}
    std::u16string AsString() const override;
    int32_t AsInteger() const override;
    int64_t AsLargeInt() const override;
    double AsFloat() const override;
    bool AsBoolean() const override;
};

class TSmallintField : public TIntegerField {
public:
    TSmallintField() : TIntegerField(ftSmallint) {}
};
class TShortintField : public TIntegerField {
public:
    TShortintField() : TIntegerField(ftShortint) {}
};
class TByteField : public TIntegerField {
public:
    TByteField() : TIntegerField(ftByte) {}
};
class TWordField : public TIntegerField {
public:
    TWordField() : TIntegerField(ftWord) {}
};
class TAutoIncField : public TIntegerField {
public:
    TAutoIncField() : TIntegerField(ftAutoInc) {}
};

class TLongWordField : public TNumericField {
public:
    TLongWordField() : TNumericField(ftLongWord) {}
    std::u16string AsString() const override;
    int32_t AsInteger() const override;
    int64_t AsLargeInt() const override;
    double AsFloat() const override;
};

class TLargeintField : public TNumericField {
public:
    TLargeintField() : TNumericField(ftLargeint) {}
    std::u16string AsString() const override;
    int32_t AsInteger() const override;
    int64_t AsLargeInt() const override;
    double AsFloat() const override;
};

// Floating point, read by the column's own format (single, double, extended, currency).
class TFloatField : public TNumericField {
public:
    explicit TFloatField(TFieldType dataType = ftFloat) : TNumericField(dataType) {}
    std::u16string AsString() const override;
    int32_t AsInteger() const override;
    int64_t AsLargeInt() const override;
    double AsFloat() const override;
};
class TCurrencyField : public TFloatField {
public:
    TCurrencyField() : TFloatField(ftCurrency) {}
};
class TSingleField : public TFloatField {
public:
    TSingleField() : TFloatField(ftSingle) {}
};
class TExtendedField : public TFloatField {
public:
    TExtendedField() : TFloatField(ftExtended) {}
};

class TBooleanField : public TField {
public:
    TBooleanField() : TField(ftBoolean) {}
    std::u16string AsString() const override; // "True" / "False"
    int32_t AsInteger() const override;
    bool AsBoolean() const override;
};

// Date and time as days since 1899-12-30 with the time of day as the fraction.
class TDateTimeField : public TField {
public:
    explicit TDateTimeField(TFieldType dataType = ftDateTime) : TField(dataType) {}
    double AsFloat() const override;
    // "yyyy-mm-dd hh:nn:ss" (the date or the time alone for the date and time fields).
    std::u16string AsString() const override;
};
class TDateField : public TDateTimeField {
public:
    TDateField() : TDateTimeField(ftDate) {}
};
class TTimeField : public TDateTimeField {
public:
    TTimeField() : TDateTimeField(ftTime) {}
};

class TBytesField : public TField {
public:
    explicit TBytesField(int size = 16, TFieldType dataType = ftBytes) : TField(dataType, size) {}
    std::vector<uint8_t> AsBytes() const;
    // The bytes as 8-bit text of the process code page.
    std::u16string AsString() const override;
};
class TVarBytesField : public TBytesField {
public:
    explicit TVarBytesField(int size = 16) : TBytesField(size, ftVarBytes) {}
};

// The field class for a field type; empty when the framework has none (blobs, objects, BCD).
using TFieldFactory = std::unique_ptr<TField> (*)(int size);
TFieldFactory GetFieldClass(TFieldType type);

// ---------------------------------------------------------------------------------------------
// The data set over the record store.

enum TDataSetState : uint8_t { dsInactive, dsBrowse };
enum TDataEvent : uint8_t { deActiveChanged, deDataSetChanged, deDataSetScroll };

// Follows the row image in each record buffer.
struct TRecInfo {
    int32_t RecordNumber;
    uint8_t UpdateStatus;
    uint8_t BookmarkFlag;
    uint8_t RefComplexFields;
    uint8_t KeyExclusive;
};

struct TRecBookmark {
    int32_t RefreshIteration;
    const TItemHeader* Item;
    int32_t Order;
};

class TMemDataSet {
public:
    TMemDataSet();
    virtual ~TMemDataSet();
    TMemDataSet(const TMemDataSet&) = delete;
    TMemDataSet& operator=(const TMemDataSet&) = delete;

    const std::u16string& Name() const { return FName; }
    void SetName(std::u16string name) { FName = std::move(name); }

    // The store the data set reads (owned by whoever derives: the query owns its record set).
    TMemData* Data() const { return FData; }
    void SetData(TMemData* data);

    void Open();
    void Close();
    bool Active() const { return FState != dsInactive; }
    void SetActive(bool active) { active ? Open() : Close(); }
    TDataSetState State() const { return FState; }

    // Definitions and fields. Persistent fields are added while closed and then are the only
    // fields; otherwise one field per definition exists while the data set is open.
    TFieldDefs& FieldDefs() { return FFieldDefs; }
    const TFieldDefs& FieldDefs() const { return FFieldDefs; }
    TField& AddField(std::unique_ptr<TField> field);
    template <typename T, typename... Args>
    T& AddField(std::u16string fieldName, Args&&... args) {
        auto field = std::make_unique<T>(std::forward<Args>(args)...);
        field->SetFieldName(std::move(fieldName));
        T& ref = *field;
        AddField(std::move(field));
        return ref;
    }
    int FieldCount() const { return static_cast<int>(FFields.size()); }
    TField& Fields(int index) const;
    TField* FindField(std::u16string_view name) const;
    // Raises "Field '%s' not found" with the data set's name in front.
    TField& FieldByName(std::u16string_view name) const;

    // Navigation.
    void First();
    void Last();
    void Next();
    void Prior();
    int MoveBy(int distance);
    bool Eof() const { return FEof; }
    bool Bof() const { return FBof; }
    bool IsEmpty() const { return !FCurrent; }
    int RecNo() const;
    virtual int RecordCount() const;
    TRecBookmark GetBookmark() const;
    // False when the bookmark is not of the current open.
    bool GotoBookmark(const TRecBookmark& bookmark);

    // What fields read.
    bool GetFieldData(const TField& field, std::string& buffer) const;
    bool GetFieldInteger(const TField& field, int64_t& value) const;
    bool FieldIsNull(const TField& field) const;

    // Views attached to the data set (a grid's data source).
    using TDataSetListener = std::function<void(TDataEvent)>;
    int AddListener(TDataSetListener listener);
    void RemoveListener(int id);

    bool FLocalConstraints = true;

protected:
    virtual void OpenCursor();
    virtual void CloseCursor();
    // Opens the store, builds definitions and fields and binds them.
    virtual void InternalOpen();
    virtual void InternalClose();
    virtual void CreateFieldDefs();
    virtual int GetFieldDefSize(const TFieldDesc& desc, TFieldType fieldType) const;
    virtual const TFieldTypeMap& GetFieldTypeMap() const { return TFieldTypeMap::Default(); }
    virtual void CreateFields();
    virtual void BindFields();
    void DataEvent(TDataEvent event);
    [[noreturn]] void Error(std::u16string_view message) const { DatabaseError(message, FName); }

    TMemData* FData = nullptr;

private:
    void UnbindFields();
    void DestroyDefaultFields();
    void RebuildIndex();
    void LoadCurrent();
    TConstRecord ActiveRecord() const;

    std::u16string FName;
    TDataSetState FState = dsInactive;
    TFieldDefs FFieldDefs;
    std::vector<std::unique_ptr<TField>> FFields;
    bool FDefaultFields = false;
    std::unordered_map<std::u16string, TField*> FFieldIndex;
    const TItemHeader* FCurrent = nullptr;
    bool FBof = true;
    bool FEof = true;
    bool FFetchedAll = false;
    int32_t FRefreshIteration = 0;
    std::vector<uint8_t> FBuffer; // row image, record information, bookmark
    std::vector<std::pair<int, TDataSetListener>> FListeners;
    int FNextListener = 1;
};

} // namespace rivalon

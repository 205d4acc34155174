#include "dac/common/MemDS.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/CodePage.h"

namespace rivalon {

// =============================================================================================
// Field types and maps

std::u16string_view FieldTypeName(TFieldType type) {
    static constexpr std::u16string_view names[] = {
        u"Unknown", u"String", u"SmallInt", u"Integer", u"Word", u"Boolean", u"Float",
        u"Currency", u"BCD", u"Date", u"Time", u"DateTime", u"Bytes", u"VarBytes", u"AutoInc",
        u"Blob", u"Memo", u"Graphic", u"FmtMemo", u"ParadoxOle", u"dBaseOle", u"TypedBinary",
        u"Cursor", u"FixedChar", u"WideString", u"LargeInt", u"ADT", u"Array", u"Reference",
        u"DataSet", u"OraBlob", u"OraClob", u"Variant", u"Interface", u"IDispatch", u"Guid",
        u"TimeStamp", u"FMTBcd", u"FixedWideChar", u"WideMemo", u"OraTimeStamp",
        u"OraInterval", u"LongWord", u"Shortint", u"Byte", u"Extended", u"Connection",
        u"Params", u"Stream", u"TimeStampOffset", u"Object", u"Single"};
    if (type == ftDATimeStampOffset) return u"TimeStampOffset";
    if (size_t(type) < std::size(names)) return names[type];
    return u"Unknown";
}

namespace {

// Groups of mutually bindable types; a type outside every group binds only to itself.
int CompatGroup(TFieldType t) {
    switch (t) {
    case ftString:
    case ftFixedChar:
    case ftGuid: return 1;
    case ftWideString:
    case ftFixedWideChar: return 2;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftShortint:
    case ftByte: return 3;
    default: return 1000 + int(t);
    }
}

} // namespace

bool FieldTypesCompatible(TFieldType fieldType, TFieldType defType) {
    if (fieldType == defType) return true;
    if ((fieldType == ftFloat && defType == ftCurrency) || (fieldType == ftCurrency && defType == ftFloat))
        return true;
    auto exact = [](TFieldType t) { return t == ftBCD || t == ftFMTBcd || t == ftSingle; };
    if (exact(fieldType) || exact(defType)) return false;
    return CompatGroup(fieldType) == CompatGroup(defType);
}

std::optional<TFieldType> TFieldTypeMap::GetFieldType(uint16_t dataType) const {
    switch (dataType) {
    case dtUnknown: return ftUnknown;
    case dtString:
    case dtExtString: return ftString;
    case dtWideString:
    case dtExtWideString: return ftWideString;
    case dtInt8: return ftShortint;
    case dtInt16: return ftSmallint;
    case dtInt32: return ftInteger;
    case dtInt64:
    case dtUInt64: return ftLargeint;
    case dtUInt8: return ftByte;
    case dtUInt16: return ftWord;
    case dtUInt32: return ftLongWord;
    case dtSingle: return ftSingle;
    case dtFloat: return ftFloat;
    case dtExtended: return ftExtended;
    case dtCurrency: return ftCurrency;
    case dtBCD: return ftBCD;
    case dtFMTBCD: return ftFMTBcd;
    case dtDate: return ftDate;
    case dtTime: return ftTime;
    case dtDateTime: return ftDateTime;
    case dtSQLTimeStamp: return ftTimeStamp;
    case dtSQLTimeStampOffset: return ftDATimeStampOffset;
    case dtBoolean: return ftBoolean;
    case dtBytes: return ftBytes;
    case dtVarBytes:
    case dtExtVarBytes: return ftVarBytes;
    case dtBlob: return ftBlob;
    case dtMemo: return ftMemo;
    case dtWideMemo: return ftWideMemo;
    case dtVariant: return ftVariant;
    case dtObject: return ftADT;
    case dtReference: return ftReference;
    case dtArray: return ftArray;
    case dtTable: return ftDataSet;
    case dtGuid: return ftGuid;
    case dtCursor: return ftCursor;
    default: return std::nullopt;
    }
}

uint16_t TFieldTypeMap::GetDataType(TFieldType fieldType) const {
    switch (fieldType) {
    case ftString:
    case ftFixedChar: return dtString;
    case ftWideString:
    case ftFixedWideChar: return dtWideString;
    case ftShortint: return dtInt8;
    case ftSmallint: return dtInt16;
    case ftInteger:
    case ftAutoInc: return dtInt32;
    case ftLargeint: return dtInt64;
    case ftByte: return dtUInt8;
    case ftWord: return dtUInt16;
    case ftLongWord: return dtUInt32;
    case ftSingle: return dtSingle;
    case ftFloat: return dtFloat;
    case ftExtended: return dtExtended;
    case ftCurrency: return dtCurrency;
    case ftBCD: return dtBCD;
    case ftFMTBcd: return dtFMTBCD;
    case ftDate: return dtDate;
    case ftTime: return dtTime;
    case ftDateTime: return dtDateTime;
    case ftTimeStamp: return dtSQLTimeStamp;
    case ftDATimeStampOffset: return dtSQLTimeStampOffset;
    case ftBoolean: return dtBoolean;
    case ftBytes: return dtBytes;
    case ftVarBytes: return dtVarBytes;
    case ftBlob: return dtBlob;
    case ftMemo: return dtMemo;
    case ftWideMemo: return dtWideMemo;
    case ftVariant: return dtVariant;
    case ftADT: return dtObject;
    case ftReference: return dtReference;
    case ftArray: return dtArray;
    case ftDataSet: return dtTable;
    case ftGuid: return dtGuid;
    case ftCursor: return dtCursor;
    default: return dtUnknown;
    }
}

const TFieldTypeMap& TFieldTypeMap::Default() {
    static const TFieldTypeMap map;
    return map;
}

// =============================================================================================
// Field definitions

TFieldDef& TFieldDefs::Add(std::u16string name, TFieldType dataType, int size, bool required) {
    auto def = std::make_unique<TFieldDef>();
    def->Name = std::move(name);
    def->DataType = dataType;
    def->Size = size;
    def->Required = required;
    def->FieldNo = Count() + 1;
    FItems.push_back(std::move(def));
    return *FItems.back();
}

TFieldDef* TFieldDefs::Find(std::u16string_view name) const {
    for (const auto& d : FItems)
        if (SameName(d->Name, name)) return d.get();
    return nullptr;
}

TFieldDef& TFieldDefs::operator[](int index) const {
    if (index < 0 || index >= Count()) throw EDatabaseError(u"List index out of bounds");
    return *FItems[size_t(index)];
}

void TFieldDefs::Clear() {
    FItems.clear();
    Updated = false;
}

// =============================================================================================
// Conversions shared by the fields

namespace {

std::u16string Ascii(std::string_view s) { return std::u16string(s.begin(), s.end()); }

template <typename T>
std::u16string IntText(T v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return Ascii(std::string_view(buf, size_t(r.ptr - buf)));
}

std::u16string FloatText(double v) {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return Ascii(std::string_view(buf, size_t(r.ptr - buf)));
}

std::string TrimAscii(std::u16string_view text, bool& ascii) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == u' ' || text[b] == u'\t')) ++b;
    while (e > b && (text[e - 1] == u' ' || text[e - 1] == u'\t')) --e;
    std::string out;
    ascii = true;
    for (size_t i = b; i < e; ++i) {
        if (text[i] >= 0x80) ascii = false;
        out.push_back(char(text[i]));
    }
    return out;
}

// Decimal text with blanks around it and at most one sign; from_chars takes a "-" but no "+".
template <typename T>
T ParseNumber(std::u16string_view text, std::u16string_view kind) {
    bool ascii;
    const std::string s = TrimAscii(text, ascii);
    T v{};
    const char* b = s.data();
    const char* e = b + s.size();
    if (b != e && *b == '+' && (e - b == 1 || b[1] != '-')) ++b;
    auto r = std::from_chars(b, e, v);
    if (!ascii || s.empty() || r.ec != std::errc() || r.ptr != e)
        throw Exception(u"'" + std::u16string(text) + u"' is not a valid " + std::u16string(kind) + u" value");
    return v;
}

int64_t ParseInteger(std::u16string_view text) { return ParseNumber<int64_t>(text, u"integer"); }

double ParseFloat(std::u16string_view text) { return ParseNumber<double>(text, u"floating point"); }

int32_t NarrowInteger(int64_t v, const std::u16string& fieldName) {
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        throw EDatabaseError(u"Value of field '" + fieldName + u"' is out of the Integer range");
    return int32_t(v);
}

// An 80-bit extended value (sign, 15-bit exponent, 64-bit mantissa with explicit integer bit).
double ExtendedToDouble(const uint8_t* p) {
    uint64_t mantissa;
    uint16_t se;
    std::memcpy(&mantissa, p, 8);
    std::memcpy(&se, p + 8, 2);
    const bool negative = se & 0x8000;
    const int exponent = se & 0x7FFF;
    double v;
    if (exponent == 0x7FFF)
        v = (mantissa << 1) ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    else
        v = std::ldexp(double(mantissa), (exponent ? exponent : 1) - 16383 - 63);
    return negative ? -v : v;
}

// Days since 1970-01-01 to a civil date.
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

std::u16string Pad(int64_t v, int width) {
    std::u16string s = IntText(v < 0 ? -v : v);
    while (int(s.size()) < width) s.insert(s.begin(), u'0');
    return v < 0 ? u"-" + s : s;
}

} // namespace

// =============================================================================================
// TField

TField::TField(TFieldType dataType, int size) : FDataType(dataType), FSize(size) {}

TField::~TField() = default;

bool TField::IsText() const {
    return FDataType == ftString || FDataType == ftFixedChar || FDataType == ftWideString ||
           FDataType == ftFixedWideChar || FDataType == ftGuid;
}

bool TField::IsNull() const { return !FDataSet || FDataSet->FieldIsNull(*this); }

bool TField::GetData(std::string& buffer) const {
    if (!FDataSet) {
        buffer.clear();
        return false;
    }
    return FDataSet->GetFieldData(*this, buffer);
}

bool TField::GetInteger(int64_t& value) const {
    value = 0;
    return FDataSet && FDataSet->GetFieldInteger(*this, value);
}

void TField::AccessError(std::u16string_view typeName) const {
    throw EDatabaseError(u"Cannot access field '" + DisplayName() + u"' as type " + std::u16string(typeName));
}

std::u16string TField::AsString() const { AccessError(u"String"); }
int32_t TField::AsInteger() const { AccessError(u"Integer"); }
int64_t TField::AsLargeInt() const { AccessError(u"LargeInt"); }
double TField::AsFloat() const { AccessError(u"Float"); }
bool TField::AsBoolean() const { AccessError(u"Boolean"); }

// ---------------------------------------------------------------------------------------------

std::string TStringField::AsAnsiString() const {
    std::string buf;
    if (!GetData(buf)) return {};
    const size_t zero = buf.find('\0');
    if (zero != std::string::npos) buf.resize(zero);
    return buf;
}

std::u16string TStringField::AsString() const { return AnsiToUtf16(AsAnsiString()); }

int32_t TStringField::AsInteger() const {
    const std::u16string s = AsString();
    return s.empty() ? 0 : NarrowInteger(ParseInteger(s), DisplayName());
}

int64_t TStringField::AsLargeInt() const {
    const std::u16string s = AsString();
    return s.empty() ? 0 : ParseInteger(s);
}

double TStringField::AsFloat() const {
    const std::u16string s = AsString();
    return s.empty() ? 0.0 : ParseFloat(s);
}

bool TStringField::AsBoolean() const {
    const std::string s = AsAnsiString();
    return !s.empty() && (s[0] == 'Y' || s[0] == 'y' || s[0] == 'T' || s[0] == 't' || s[0] == '1');
}

std::u16string TWideStringField::AsString() const {
    std::string buf;
    if (!GetData(buf)) return {};
    std::u16string text(buf.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), buf.data(), text.size() * 2);
    const size_t zero = text.find(u'\0');
    if (zero != std::u16string::npos) text.resize(zero);
    return text;
}

int32_t TWideStringField::AsInteger() const {
    const std::u16string s = AsString();
    return s.empty() ? 0 : NarrowInteger(ParseInteger(s), DisplayName());
}

int64_t TWideStringField::AsLargeInt() const {
    const std::u16string s = AsString();
    return s.empty() ? 0 : ParseInteger(s);
}

double TWideStringField::AsFloat() const {
    const std::u16string s = AsString();
    return s.empty() ? 0.0 : ParseFloat(s);
}

// ---------------------------------------------------------------------------------------------

std::u16string TIntegerField::AsString() const {
    int64_t v;
    return GetInteger(v) ? IntText(v) : std::u16string();
}

int32_t TIntegerField::AsInteger() const {
    int64_t v;
    GetInteger(v);
    return NarrowInteger(v, DisplayName());
}

int64_t TIntegerField::AsLargeInt() const {
    int64_t v;
    GetInteger(v);
    return v;
}

double TIntegerField::AsFloat() const { return double(AsLargeInt()); }
bool TIntegerField::AsBoolean() const { return AsLargeInt() != 0; }

std::u16string TLongWordField::AsString() const {
    int64_t v;
    return GetInteger(v) ? IntText(v) : std::u16string();
}

int32_t TLongWordField::AsInteger() const { return NarrowInteger(AsLargeInt(), DisplayName()); }

int64_t TLongWordField::AsLargeInt() const {
    int64_t v;
    GetInteger(v);
    return v;
}

double TLongWordField::AsFloat() const { return double(AsLargeInt()); }

std::u16string TLargeintField::AsString() const {
    int64_t v;
    if (!GetInteger(v)) return {};
    // BIGINT UNSIGNED shares this field type; its text is the unsigned value.
    if (FieldDesc() && FieldDesc()->DataType() == dtUInt64) return IntText(uint64_t(v));
    return IntText(v);
}

int32_t TLargeintField::AsInteger() const { return NarrowInteger(AsLargeInt(), DisplayName()); }

int64_t TLargeintField::AsLargeInt() const {
    int64_t v;
    GetInteger(v);
    return v;
}

double TLargeintField::AsFloat() const { return double(AsLargeInt()); }

// ---------------------------------------------------------------------------------------------

double TFloatField::AsFloat() const {
    std::string buf;
    if (!GetData(buf) || !FieldDesc()) return 0.0;
    const auto* p = reinterpret_cast<const uint8_t*>(buf.data());
    switch (FieldDesc()->DataType()) {
    case dtSingle:
        if (buf.size() >= 4) {
            float f;
            std::memcpy(&f, p, 4);
            return f;
        }
        break;
    case dtCurrency:
        if (buf.size() >= 8) {
            int64_t c;
            std::memcpy(&c, p, 8);
            return double(c) / 10000.0;
        }
        break;
    case dtExtended:
        if (buf.size() >= 10) return ExtendedToDouble(p);
        break;
    default:
        if (buf.size() >= 8) {
            double d;
            std::memcpy(&d, p, 8);
            return d;
        }
        break;
    }
    throw EStoreError("Floating-point value of the wrong size");
}

std::u16string TFloatField::AsString() const { return IsNull() ? std::u16string() : FloatText(AsFloat()); }

int64_t TFloatField::AsLargeInt() const {
    const double v = std::nearbyint(AsFloat());
    if (!(v >= -9.2233720368547758e18 && v < 9.2233720368547758e18))
        throw EDatabaseError(u"Value of field '" + DisplayName() + u"' is out of the LargeInt range");
    return int64_t(v);
}

int32_t TFloatField::AsInteger() const { return NarrowInteger(AsLargeInt(), DisplayName()); }

std::u16string TBooleanField::AsString() const {
    if (IsNull()) return {};
    return AsBoolean() ? u"True" : u"False";
}

int32_t TBooleanField::AsInteger() const { return AsBoolean() ? 1 : 0; }

bool TBooleanField::AsBoolean() const {
    int64_t v;
    return GetInteger(v) && v != 0;
}

double TDateTimeField::AsFloat() const {
    std::string buf;
    if (!GetData(buf)) return 0.0;
    if (buf.size() < 8) throw EStoreError("Date value of the wrong size");
    double d;
    std::memcpy(&d, buf.data(), 8);
    return d;
}

std::u16string TDateTimeField::AsString() const {
    if (IsNull()) return {};
    const double v = AsFloat();
    if (!std::isfinite(v) || std::fabs(v) > 3.0e6) return FloatText(v);
    double days = std::floor(v);
    int64_t secs = std::llround((v - days) * 86400.0);
    if (secs >= 86400) {
        secs -= 86400;
        days += 1;
    }
    int64_t y;
    unsigned m, d;
    CivilFromDays(int64_t(days) - 25569, y, m, d);
    const std::u16string date = Pad(y, 4) + u"-" + Pad(m, 2) + u"-" + Pad(d, 2);
    const std::u16string time = Pad(secs / 3600, 2) + u":" + Pad(secs / 60 % 60, 2) + u":" + Pad(secs % 60, 2);
    if (DataType() == ftDate) return date;
    if (DataType() == ftTime) return time;
    return date + u" " + time;
}

std::vector<uint8_t> TBytesField::AsBytes() const {
    std::string buf;
    if (!GetData(buf)) return {};
    size_t from = 0;
    if (const TFieldDesc* d = FieldDesc(); d && (d->DataType() == dtVarBytes || d->DataType() == dtExtVarBytes))
        from = buf.size() >= 2 ? 2 : buf.size();
    return std::vector<uint8_t>(buf.begin() + std::ptrdiff_t(from), buf.end());
}

std::u16string TBytesField::AsString() const {
    const auto bytes = AsBytes();
    return AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// ---------------------------------------------------------------------------------------------

namespace {

template <typename T>
std::unique_ptr<TField> MakeField(int) { return std::make_unique<T>(); }

template <typename T, TFieldType Type>
std::unique_ptr<TField> MakeSized(int size) { return std::make_unique<T>(size, Type); }

} // namespace

TFieldFactory GetFieldClass(TFieldType type) {
    switch (type) {
    case ftString: return &MakeSized<TStringField, ftString>;
    case ftFixedChar: return &MakeSized<TStringField, ftFixedChar>;
    case ftGuid: return &MakeField<TGuidField>;
    case ftWideString: return &MakeSized<TWideStringField, ftWideString>;
    case ftFixedWideChar: return &MakeSized<TWideStringField, ftFixedWideChar>;
    case ftShortint: return &MakeField<TShortintField>;
    case ftSmallint: return &MakeField<TSmallintField>;
    case ftInteger: return &MakeField<TIntegerField>;
    case ftByte: return &MakeField<TByteField>;
    case ftWord: return &MakeField<TWordField>;
    case ftAutoInc: return &MakeField<TAutoIncField>;
    case ftLongWord: return &MakeField<TLongWordField>;
    case ftLargeint: return &MakeField<TLargeintField>;
    case ftFloat: return &MakeField<TFloatField>;
    case ftCurrency: return &MakeField<TCurrencyField>;
    case ftSingle: return &MakeField<TSingleField>;
    case ftExtended: return &MakeField<TExtendedField>;
    case ftBoolean: return &MakeField<TBooleanField>;
    case ftDate: return &MakeField<TDateField>;
    case ftTime: return &MakeField<TTimeField>;
    case ftDateTime: return &MakeField<TDateTimeField>;
    case ftBytes: return &MakeSized<TBytesField, ftBytes>;
    case ftVarBytes: return [](int size) -> std::unique_ptr<TField> { return std::make_unique<TVarBytesField>(size); };
    default: return nullptr;
    }
}

// =============================================================================================
// TMemDataSet

TMemDataSet::TMemDataSet() = default;

TMemDataSet::~TMemDataSet() {
    // Fields refer to the store's columns; they must not outlive an open store.
    UnbindFields();
}

void TMemDataSet::SetData(TMemData* data) {
    if (Active()) Error(u"Cannot perform this operation on an open dataset");
    FData = data;
}

TField& TMemDataSet::AddField(std::unique_ptr<TField> field) {
    if (!field) Error(u"No field given");
    if (Active()) Error(u"Cannot perform this operation on an open dataset");
    if (FDefaultFields) DestroyDefaultFields();
    field->FDataSet = this;
    FFields.push_back(std::move(field));
    RebuildIndex();
    return *FFields.back();
}

TField& TMemDataSet::Fields(int index) const {
    if (index < 0 || index >= FieldCount()) Error(u"List index out of bounds");
    return *FFields[size_t(index)];
}

TField* TMemDataSet::FindField(std::u16string_view name) const {
    auto it = FFieldIndex.find(LowerCaseName(name));
    return it == FFieldIndex.end() ? nullptr : it->second;
}

TField& TMemDataSet::FieldByName(std::u16string_view name) const {
    if (TField* f = FindField(name)) return *f;
    Error(u"Field '" + std::u16string(name) + u"' not found");
}

void TMemDataSet::RebuildIndex() {
    FFieldIndex.clear();
    for (const auto& f : FFields) FFieldIndex.emplace(LowerCaseName(f->FieldName()), f.get());
}

void TMemDataSet::Open() {
    if (Active()) return;
    try {
        OpenCursor();
    } catch (...) {
        UnbindFields();
        DestroyDefaultFields();
        FBuffer.clear();
        FCurrent = nullptr;
        FState = dsInactive;
        throw;
    }
    FState = dsBrowse;
    First();
    DataEvent(deActiveChanged);
}

void TMemDataSet::Close() {
    if (!Active()) return;
    struct Finish {
        TMemDataSet* ds;
        ~Finish() {
            ds->FState = dsInactive;
            ds->FCurrent = nullptr;
            ds->FBof = ds->FEof = true;
            ds->FBuffer.clear();
        }
    };
    {
        Finish finish{this};
        CloseCursor();
    }
    DataEvent(deActiveChanged);
}

void TMemDataSet::OpenCursor() { InternalOpen(); }

void TMemDataSet::CloseCursor() { InternalClose(); }

void TMemDataSet::InternalOpen() {
    if (!FData) Error(u"No record store is assigned");
    FData->Open();
    try {
        CreateFieldDefs();
        if (FFields.empty()) CreateFields();
        BindFields();
    } catch (...) {
        UnbindFields();
        DestroyDefaultFields();
        FData->Close();
        throw;
    }
    FBuffer.assign(size_t(FData->RecordSize()) + sizeof(TRecInfo) + sizeof(TRecBookmark), 0);
    FFetchedAll = false;
    ++FRefreshIteration;
}

void TMemDataSet::InternalClose() {
    UnbindFields();
    DestroyDefaultFields();
    FFieldDefs.Updated = false;
    if (FData) FData->Close();
}

int TMemDataSet::GetFieldDefSize(const TFieldDesc& desc, TFieldType fieldType) const {
    switch (fieldType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftGuid: return desc.Length() ? desc.Length() : 1;
    case ftBytes:
    case ftVarBytes: return desc.Length();
    default: return 0;
    }
}

void TMemDataSet::CreateFieldDefs() {
    FFieldDefs.Clear();
    const TFieldTypeMap& map = GetFieldTypeMap();
    for (const auto& desc : FData->Fields()) {
        if (desc->FFieldDescKind != fdkData || desc->FHidden || desc->HasParent()) continue;
        const auto type = map.GetFieldType(desc->DataType());
        if (!type) Error(u"Data type is not supported");
        // A result may repeat a column name ("SELECT a, a"); the second becomes "a_1" so that
        // each definition binds its own column.
        std::u16string name = desc->FName;
        for (int n = 1; FFieldDefs.Find(name); ++n) name = desc->FName + u"_" + IntText(n);
        TFieldDef& def = FFieldDefs.Add(std::move(name), *type, GetFieldDefSize(*desc, *type),
                                        desc->FRequired && FLocalConstraints);
        def.FieldNo = desc->FFieldNo;
        def.ReadOnly = desc->FReadOnly;
        def.Hidden = desc->FHidden;
        def.Fixed = desc->FFixed;
        if (*type == ftBCD || *type == ftFMTBcd) {
            def.Precision = desc->Length();
            def.Scale = desc->FScale;
        }
    }
    FFieldDefs.Updated = true;
}

void TMemDataSet::CreateFields() {
    // Set first: a definition without a field class stops the loop, and the fields made before
    // it must go with the failed open instead of staying as persistent ones.
    FDefaultFields = true;
    for (int i = 0; i < FFieldDefs.Count(); ++i) {
        const TFieldDef& def = FFieldDefs[i];
        const TFieldFactory make = GetFieldClass(def.DataType);
        if (!make) Error(u"Data type is not supported");
        std::unique_ptr<TField> field = make(def.Size);
        field->SetFieldName(def.Name);
        field->SetRequired(def.Required);
        field->SetReadOnly(def.ReadOnly);
        field->SetVisible(!def.Hidden);
        field->FDataSet = this;
        FFields.push_back(std::move(field));
    }
    RebuildIndex();
}

void TMemDataSet::BindFields() {
    for (const auto& f : FFields) {
        if (f->FieldKind() != fkData) continue;
        const TFieldDef* def = FFieldDefs.Find(f->FieldName());
        if (!def) Error(u"Field '" + f->DisplayName() + u"' not found");
        if (!FieldTypesCompatible(f->DataType(), def->DataType))
            Error(u"Type mismatch for field '" + f->DisplayName() + u"', expecting: " +
                  std::u16string(FieldTypeName(f->DataType())) + u" actual: " +
                  std::u16string(FieldTypeName(def->DataType)));
        switch (f->DataType()) {
        case ftBCD:
        case ftBytes:
        case ftVarBytes:
        case ftReference:
            if (f->Size() != def->Size)
                Error(u"Size mismatch for field '" + f->DisplayName() + u"', expecting: " +
                      IntText(f->Size()) + u" actual: " + IntText(def->Size));
            break;
        default: break;
        }
        // A persistent text field takes the length the provider reports.
        if (!FDefaultFields && def->DataType == ftString) f->SetSize(def->Size);
        if (f->IsText() && f->Size() > def->Size && !f->ReadOnly()) f->SetSize(def->Size);
        const TFieldDesc* desc = nullptr;
        for (const auto& d : FData->Fields())
            if (d->FFieldNo == def->FieldNo) {
                desc = d.get();
                break;
            }
        if (!desc) Error(u"Field '" + f->DisplayName() + u"' not found");
        f->FFieldNo = def->FieldNo;
        f->FDesc = desc;
    }
}

void TMemDataSet::UnbindFields() {
    for (const auto& f : FFields) {
        f->FDesc = nullptr;
        f->FFieldNo = 0;
    }
}

void TMemDataSet::DestroyDefaultFields() {
    if (!FDefaultFields) return;
    FFields.clear();
    FFieldIndex.clear();
    FDefaultFields = false;
}

TConstRecord TMemDataSet::ActiveRecord() const {
    if (!FCurrent || !FData) return {};
    return TConstRecord(FBuffer.data(), std::min(FBuffer.size(), size_t(FData->RecordSize())));
}

void TMemDataSet::LoadCurrent() {
    if (!FCurrent || FBuffer.empty()) return;
    const TConstRecord row = FData->RecordOf(FCurrent);
    if (row.size() + sizeof(TRecInfo) + sizeof(TRecBookmark) > FBuffer.size())
        throw EStoreError("Record buffer too small");
    std::memcpy(FBuffer.data(), row.data(), row.size());
    const TRecInfo info{FCurrent->Order, FCurrent->Status, 0, 0, 0};
    std::memcpy(FBuffer.data() + row.size(), &info, sizeof info);
    const TRecBookmark bookmark{FRefreshIteration, FCurrent, FCurrent->Order};
    std::memcpy(FBuffer.data() + row.size() + sizeof info, &bookmark, sizeof bookmark);
}

void TMemDataSet::First() {
    if (!Active()) return;
    FCurrent = FData->FirstItem();
    FBof = true;
    FEof = FCurrent == nullptr;
    LoadCurrent();
    DataEvent(deDataSetScroll);
}

void TMemDataSet::Last() {
    if (!Active()) return;
    if (!FFetchedAll && !FData->FetchEnded()) {
        FCurrent = nullptr; // a forward-only store may reuse the current row's block
        FData->FetchAll();
        FFetchedAll = true;
    }
    FCurrent = FData->LastItem();
    FEof = true;
    FBof = FCurrent == nullptr;
    LoadCurrent();
    DataEvent(deDataSetScroll);
}

void TMemDataSet::Next() {
    if (!Active() || FEof) return;
    const TItemHeader* next = FCurrent ? FCurrent->Next : nullptr;
    if (!next && FCurrent && !FFetchedAll && !FData->FetchEnded()) {
        if (FData->UniDirectional()) {
            // The next block may replace the current row's: its item is not touched again
            // unless the store still holds it as its last row.
            const int32_t order = FCurrent->Order;
            FCurrent = nullptr;
            if (FData->Fetch()) {
                next = FData->FirstItem();
            } else {
                FFetchedAll = true;
                if (FData->LastItem() && FData->LastItem()->Order == order) FCurrent = FData->LastItem();
            }
        } else if (FData->Fetch()) {
            next = FCurrent->Next;
        } else {
            FFetchedAll = true;
        }
    }
    if (next) {
        FCurrent = next;
        FBof = false;
        LoadCurrent();
    } else {
        FEof = true;
    }
    DataEvent(deDataSetScroll);
}

void TMemDataSet::Prior() {
    if (!Active() || FBof) return;
    const TItemHeader* prior = FCurrent ? FCurrent->Prev : nullptr;
    if (prior) {
        FCurrent = prior;
        FEof = false;
        LoadCurrent();
    } else {
        FBof = true;
    }
    DataEvent(deDataSetScroll);
}

int TMemDataSet::MoveBy(int distance) {
    int moved = 0;
    while (distance > 0 && !FEof) {
        const TItemHeader* before = FCurrent;
        Next();
        if (FCurrent == before || FEof) break;
        ++moved;
        --distance;
    }
    while (distance < 0 && !FBof) {
        const TItemHeader* before = FCurrent;
        Prior();
        if (FCurrent == before || FBof) break;
        --moved;
        ++distance;
    }
    return moved;
}

int TMemDataSet::RecNo() const { return FCurrent ? FCurrent->Order : 0; }

int TMemDataSet::RecordCount() const { return Active() && FData ? FData->GetRecordCount() : 0; }

TRecBookmark TMemDataSet::GetBookmark() const {
    return {FRefreshIteration, FCurrent, FCurrent ? FCurrent->Order : 0};
}

bool TMemDataSet::GotoBookmark(const TRecBookmark& bookmark) {
    if (!Active() || bookmark.RefreshIteration != FRefreshIteration || !bookmark.Item) return false;
    // Only an item still in the row list is dereferenced.
    for (const TItemHeader* i = FData->FirstItem(); i; i = i->Next) {
        if (i == bookmark.Item && i->Order == bookmark.Order) {
            FCurrent = i;
            FBof = FEof = false;
            LoadCurrent();
            DataEvent(deDataSetScroll);
            return true;
        }
    }
    return false;
}

bool TMemDataSet::GetFieldData(const TField& field, std::string& buffer) const {
    buffer.clear();
    if (!Active() || !FCurrent || !field.FDesc) return false;
    return FData->GetField(*field.FDesc, ActiveRecord(), buffer);
}

bool TMemDataSet::GetFieldInteger(const TField& field, int64_t& value) const {
    value = 0;
    if (!Active() || !FCurrent || !field.FDesc) return false;
    return FData->GetInteger(*field.FDesc, ActiveRecord(), value);
}

bool TMemDataSet::FieldIsNull(const TField& field) const {
    if (!Active() || !FCurrent || !field.FDesc) return true;
    return FData->GetNull(*field.FDesc, ActiveRecord());
}

int TMemDataSet::AddListener(TDataSetListener listener) {
    const int id = FNextListener++;
    FListeners.emplace_back(id, std::move(listener));
    return id;
}

void TMemDataSet::RemoveListener(int id) {
    std::erase_if(FListeners, [id](const auto& l) { return l.first == id; });
}

void TMemDataSet::DataEvent(TDataEvent event) {
    const auto listeners = FListeners; // a listener may detach itself
    for (const auto& l : listeners) l.second(event);
}

} // namespace rivalon

#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rivalon {

class TMySqlSession;

// MySQL column types (the type byte of a column definition).
enum : std::uint8_t {
    MYSQL_TYPE_DECIMAL = 0,
    MYSQL_TYPE_TINY = 1,
    MYSQL_TYPE_SHORT = 2,
    MYSQL_TYPE_LONG = 3,
    MYSQL_TYPE_FLOAT = 4,
    MYSQL_TYPE_DOUBLE = 5,
    MYSQL_TYPE_NULL = 6,
    MYSQL_TYPE_TIMESTAMP = 7,
    MYSQL_TYPE_LONGLONG = 8,
    MYSQL_TYPE_INT24 = 9,
    MYSQL_TYPE_DATE = 10,
    MYSQL_TYPE_TIME = 11,
    MYSQL_TYPE_DATETIME = 12,
    MYSQL_TYPE_YEAR = 13,
    MYSQL_TYPE_NEWDATE = 14,
    MYSQL_TYPE_VARCHAR = 15,
    MYSQL_TYPE_BIT = 16,
    MYSQL_TYPE_JSON = 245,
    MYSQL_TYPE_NEWDECIMAL = 246,
    MYSQL_TYPE_ENUM = 247,
    MYSQL_TYPE_SET = 248,
    MYSQL_TYPE_TINY_BLOB = 249,
    MYSQL_TYPE_MEDIUM_BLOB = 250,
    MYSQL_TYPE_LONG_BLOB = 251,
    MYSQL_TYPE_BLOB = 252,
    MYSQL_TYPE_VAR_STRING = 253,
    MYSQL_TYPE_STRING = 254,
    MYSQL_TYPE_GEOMETRY = 255,
};

// Column flags the client adds or tests.
constexpr std::uint32_t NOT_NULL_FLAG = 1;
constexpr std::uint32_t PRI_KEY_FLAG = 2;
constexpr std::uint32_t UNIQUE_KEY_FLAG = 4;
constexpr std::uint32_t MULTIPLE_KEY_FLAG = 8;
constexpr std::uint32_t BLOB_FLAG = 16;
constexpr std::uint32_t UNSIGNED_FLAG = 32;
constexpr std::uint32_t ZEROFILL_FLAG = 64;
constexpr std::uint32_t BINARY_FLAG = 128;
constexpr std::uint32_t ENUM_FLAG = 256;
constexpr std::uint32_t AUTO_INCREMENT_FLAG = 512;
constexpr std::uint32_t TIMESTAMP_FLAG = 1024;
constexpr std::uint32_t SET_FLAG = 2048;
constexpr std::uint32_t NUM_FLAG = 32768;

// One column definition as the server sent it.
struct TMySqlFieldInfo {
    std::string Name;
    std::string OrgName;
    std::string Table;
    std::string OrgTable;
    std::string Database;
    std::string DefaultValue;
    std::uint32_t Length = 0;
    std::int32_t Scale = 0;
    std::int32_t MaxLength = 0;
    std::uint32_t Flags = 0;
    std::int32_t CharsetNr = 0;
    std::uint8_t MyType = 0;
};

// True for the columns the client marks with NUM_FLAG.
bool IsNumField(std::uint8_t myType, std::uint32_t length) noexcept;

// Parses one column-definition payload: the 4.1 layout (catalog, schema, table, org_table, name,
// org_name, fixed block) or the older one (table, name, length, type, flags and decimals, the last
// with a 2-byte flags field when the server has CLIENT_LONG_FLAG). Raises 2027 when the payload is
// shorter than its fields.
TMySqlFieldInfo MySqlFieldInfo(const std::uint8_t* payload, std::size_t length, bool protocol41,
                               bool longFlag);

// Where one value lies in a row buffer.
struct TMySqlBind {
    bool IsNull = false;
    std::uint32_t Offset = 0; // from the start of the row buffer; 0 for NULL
    std::uint32_t Length = 0;
};

// The values of the current row: offsets into a buffer that stays valid until the next fetch.
class TMySqlBinds {
public:
    explicit TMySqlBinds(std::size_t count) : Items(count) {}

    std::vector<TMySqlBind> Items;
    const std::uint8_t* Buffer = nullptr;
    std::size_t BufferLength = 0;
};

// Locates the values of a text-protocol row in `binds` (nothing is copied). Raises 2028 without a
// binds object and 2027 for a row that does not hold exactly one value per column.
void FetchFields(const std::uint8_t* row, std::size_t length, TMySqlBinds* binds);

// Locates the values of a binary-protocol row (prepared statements): NULL bitmap from offset 1
// with the column bits from bit 2, then fixed-size or length-encoded values by column type.
void FetchPreparedFields(const std::uint8_t* row, std::size_t length,
                         const std::vector<TMySqlFieldInfo>& fields, TMySqlBinds* binds);

// Streams the rows of one result from the session's packet layer. Each row is pointed into, never
// copied; the binds are valid until the next Fetch.
class TMySqlResultSet {
public:
    // Takes over the session's pending column definitions.
    explicit TMySqlResultSet(TMySqlSession* session, bool isPrepared = false);
    TMySqlResultSet(const TMySqlResultSet&) = delete;
    TMySqlResultSet& operator=(const TMySqlResultSet&) = delete;
    ~TMySqlResultSet();

    // False at the end of the rows; otherwise `binds` refers to the next row.
    bool Fetch(TMySqlBinds*& binds);
    // Re-locates the values of the packet kept in row buffer `index`.
    void ReadRow(TMySqlBinds*& binds, std::uint32_t index);
    // Drops the row and the definitions, discards unread rows and releases the session.
    void ClearBuffer();

    std::uint32_t FieldCount() const noexcept { return ffieldCount; }
    const std::vector<TMySqlFieldInfo>& Fields() const noexcept { return ffields; }
    TMySqlSession* Session() const noexcept { return fsession; }
    // Cuts the link to the session without touching it (the session is going away).
    void ReleaseSession() noexcept { fsession = nullptr; }
    bool Eof() const noexcept { return feof; }
    TMySqlBinds& Binds() noexcept { return FBinds; }
    // Whether the session spoke the 4.1 protocol when the result arrived.
    bool Protocol41() const noexcept { return FProtocol41; }

private:
    std::uint32_t ffieldCount = 0;
    const std::uint8_t* frowBuffer = nullptr;
    std::vector<TMySqlFieldInfo> ffields;
    TMySqlSession* fsession = nullptr;
    bool feof = false;
    TMySqlBinds FBinds;
    bool FIsPrepared = false;
    bool FProtocol41 = true;
};

} // namespace rivalon

#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Exception.h"

namespace rivalon {

// Opaque handles of the operation set. What they point at belongs to the implementation (in direct
// mode a session, a row reader, a row); the provider only passes them back.
struct MYSQL_CON;
struct MYSQL_RES;
struct MYSQL_ROW;
struct MYSQL_STMT;
struct MYSQL_BIND;
using PMYSQL_CON = MYSQL_CON*;
using PMYSQL_RES = MYSQL_RES*;
using PMYSQL_ROW = MYSQL_ROW*;
using PMYSQL_STMT = MYSQL_STMT*;
using PMYSQL_BIND = MYSQL_BIND*;

// Option numbers of mysql_options.
enum TMySqlOption : int {
    MYSQL_OPT_CONNECT_TIMEOUT = 0,
    MYSQL_OPT_COMPRESS = 1,
    MYSQL_OPT_NAMED_PIPE = 2,
    MYSQL_INIT_COMMAND = 3,
    MYSQL_READ_DEFAULT_FILE = 4,
    MYSQL_READ_DEFAULT_GROUP = 5,
    MYSQL_SET_CHARSET_DIR = 6,
    MYSQL_SET_CHARSET_NAME = 7,
    MYSQL_OPT_LOCAL_INFILE = 8,
    MYSQL_OPT_PROTOCOL = 9,
    MYSQL_SHARED_MEMORY_BASE_NAME = 10,
    MYSQL_OPT_READ_TIMEOUT = 11,
    MYSQL_OPT_WRITE_TIMEOUT = 12,
    MYSQL_OPT_USE_RESULT = 13,
    MYSQL_OPT_USE_REMOTE_CONNECTION = 14,
    MYSQL_OPT_USE_EMBEDDED_CONNECTION = 15,
    MYSQL_OPT_GUESS_CONNECTION = 16,
    MYSQL_SET_CLIENT_IP = 17,
    MYSQL_SECURE_AUTH = 18,
};

// Which kind of client structures the loaded implementation speaks.
enum TClientStructVer : int { cvDirect = 0, cv3, cv4, cv410, cv411 };

// Options of _mysql_fetch_options.
enum TMySqlFetchOption : int { foKeepRowCount = 0 };

// A command time-out of 0 means "wait as long as a year".
constexpr std::uint32_t CLIENT_NET_READ_TIMEOUT = 31536000;

// The client version text of direct mode.
inline constexpr std::u16string_view DirectClientVersion = u"8.0.0 Direct";

// The column description handed to the provider.
struct TMYSQL_FIELD {
    std::string Name;
    std::string OrgName;
    std::string Table;
    std::string OrgTable;
    std::uint32_t Flags = 0;
    std::uint8_t MyType = 0;
    std::uint32_t LengthInBytes = 0;
    std::int32_t CharsetNr = 0;
    std::uint32_t Decimals = 0;
};

// A call that an implementation does not offer ("Abstract Error"); not a MySQL error, so it
// reaches the provider unchanged.
class EAbstractError : public Exception {
public:
    EAbstractError() : Exception(std::u16string(u"Abstract Error")) {}
};

// A feature the implementation does not support.
class ENotSupported : public Exception {
public:
    explicit ENotSupported(std::u16string message) : Exception(std::move(message)) {}
};

// A programming error of the caller: a call that must not happen in this mode, or a missing handle.
class EAssertionFailed : public Exception {
public:
    explicit EAssertionFailed(std::u16string_view unit, std::u16string_view what);
};

// The client operation set. Operations mirror the MySQL client library's functions and do not
// raise for MySQL errors: they record them on the handle and return a status. The slot order is
// the interface's contract and must not change.
class TMySQLAPI {
public:
    virtual ~TMySQLAPI() = default;

    /* 0 */ virtual std::uint32_t mysql_num_fields(PMYSQL_RES result) = 0;
    /* 1 */ virtual TMYSQL_FIELD mysql_fetch_field_direct(PMYSQL_RES result, std::uint32_t fieldnr) = 0;
    /* 2 */ virtual std::uint32_t mysql_field_count(PMYSQL_CON mysql) = 0;
    /* 3 */ virtual std::int64_t mysql_affected_rows(PMYSQL_CON mysql) = 0;
    /* 4 */ virtual std::int64_t mysql_insert_id(PMYSQL_CON mysql) = 0;
    /* 5 */ virtual std::uint32_t mysql_warning_count(PMYSQL_CON mysql) = 0;
    /* 6 */ virtual std::uint32_t mysql_errno(PMYSQL_CON mysql) = 0;
    /* 7 */ virtual std::u16string mysql_error(PMYSQL_CON mysql) = 0;
    /* 8 */ virtual bool mysql_isservererror(PMYSQL_CON mysql) = 0;
    /* 9 */ virtual std::u16string mysql_info(PMYSQL_CON mysql) = 0;
    /* 10 */ virtual std::uint32_t mysql_thread_id(PMYSQL_CON mysql) = 0;
    /* 11 */ virtual std::u16string mysql_character_set_name(PMYSQL_CON mysql) = 0;
    /* 12 */ virtual PMYSQL_CON mysql_init(PMYSQL_CON mysql) = 0;
    /* 13 */ virtual int mysql_ssl_set(PMYSQL_CON mysql, std::u16string_view key,
                                       std::u16string_view cert, std::u16string_view ca,
                                       std::u16string_view capath, std::u16string_view cipher) = 0;
    /* 14 */ virtual PMYSQL_CON mysql_real_connect(PMYSQL_CON mysql, std::u16string_view host,
                                                   std::u16string_view user,
                                                   std::u16string_view passwd,
                                                   std::u16string_view db, std::uint32_t port,
                                                   std::u16string_view unix_socket,
                                                   std::uint32_t clientflag) = 0;
    /* 15 */ virtual void mysql_close(PMYSQL_CON sock) = 0;
    /* 16 */ virtual int mysql_select_db(PMYSQL_CON mysql, std::u16string_view db) = 0;
    /* 17 */ virtual int mysql_real_query(PMYSQL_CON mysql, const char* query, std::size_t length) = 0;
    /* 18 */ virtual int mysql_kill(PMYSQL_CON mysql, std::uint32_t pid) = 0;
    /* 19 */ virtual int mysql_ping(PMYSQL_CON mysql) = 0;
    /* 20 */ virtual std::u16string mysql_get_server_info(PMYSQL_CON mysql) = 0;
    /* 21 */ virtual std::u16string mysql_get_client_info() = 0;
    /* 22 */ virtual std::u16string mysql_get_host_info(PMYSQL_CON mysql) = 0;
    /* 23 */ virtual PMYSQL_RES mysql_use_result(PMYSQL_CON mysql) = 0;
    /* 24 */ virtual int mysql_options(PMYSQL_CON mysql, TMySqlOption option, int value) = 0;
    /* 25 */ virtual int mysql_options(PMYSQL_CON mysql, TMySqlOption option,
                                       std::u16string_view value) = 0;
    /* 26 */ virtual void mysql_free_result(PMYSQL_RES result) = 0;
    /* 27 */ virtual PMYSQL_ROW mysql_fetch_row(PMYSQL_RES result) = 0;
    /* 28 */ virtual const unsigned long* mysql_fetch_lengths(PMYSQL_RES result) = 0;
    /* 29 */ virtual int mysql_server_init(int argc, char** argv, char** groups) = 0;
    /* 30 */ virtual void mysql_server_end() = 0;
    /* 31 */ virtual PMYSQL_STMT mysql_stmt_init(PMYSQL_CON mysql) = 0;
    /* 32 */ virtual int mysql_stmt_prepare(PMYSQL_STMT stmt, const char* query, std::size_t length) = 0;
    /* 33 */ virtual int mysql_stmt_execute(PMYSQL_STMT stmt) = 0;
    /* 34 */ virtual std::uint32_t mysql_stmt_param_count(PMYSQL_STMT stmt) = 0;
    /* 35 */ virtual bool mysql_stmt_bind_param(PMYSQL_STMT stmt, PMYSQL_BIND bnd) = 0;
    /* 36 */ virtual bool mysql_stmt_bind_result(PMYSQL_STMT stmt, PMYSQL_BIND bnd) = 0;
    /* 37 */ virtual std::uint32_t mysql_stmt_field_count(PMYSQL_STMT stmt) = 0;
    /* 38 */ virtual bool mysql_stmt_close(PMYSQL_STMT stmt) = 0;
    /* 39 */ virtual bool mysql_stmt_free_result(PMYSQL_STMT stmt) = 0;
    /* 40 */ virtual std::uint32_t mysql_stmt_errno(PMYSQL_STMT stmt) = 0;
    /* 41 */ virtual std::u16string mysql_stmt_error(PMYSQL_STMT stmt) = 0;
    /* 42 */ virtual bool mysql_stmt_isservererror(PMYSQL_STMT stmt) = 0;
    /* 43 */ virtual int mysql_stmt_fetch(PMYSQL_STMT stmt) = 0;
    /* 44 */ virtual int mysql_stmt_fetch_column(PMYSQL_STMT stmt, PMYSQL_BIND bind,
                                                 std::uint32_t column, std::uint32_t offset) = 0;
    /* 45 */ virtual bool mysql_stmt_send_long_data(PMYSQL_STMT stmt, std::uint32_t param_number,
                                                    const char* data, std::size_t length) = 0;
    /* 46 */ virtual PMYSQL_RES mysql_stmt_result_metadata(PMYSQL_STMT stmt) = 0;
    /* 47 */ virtual PMYSQL_RES mysql_stmt_param_metadata(PMYSQL_STMT stmt) = 0;
    /* 48 */ virtual std::int64_t mysql_stmt_affected_rows(PMYSQL_STMT stmt) = 0;
    /* 49 */ virtual bool mysql_more_results(PMYSQL_CON mysql) = 0;
    /* 50 */ virtual int mysql_next_result(PMYSQL_CON mysql) = 0;
    /* 51 */ virtual bool LoadedMySQLLib() = 0;
    /* 52 */ virtual void LoadMySQLLib() = 0;
    /* 53 */ virtual void FreeMySQLLib() = 0;
    /* 54 */ virtual void CheckMySQLLib() = 0;
    /* 55 */ virtual PMYSQL_ROW _mysql_read_row(PMYSQL_RES result, std::uint32_t index) = 0;
    /* 56 */ virtual int _mysql_fetch_options(PMYSQL_RES result, TMySqlFetchOption option,
                                              int value) = 0;
    /* 57 */ virtual void _mysql_fetch_field_direct(PMYSQL_RES result, std::uint32_t index,
                                                    TMYSQL_FIELD& field, bool unicode) = 0;
    /* 58 */ virtual void _mysql_fetch_lengths(PMYSQL_RES result,
                                               std::span<std::uint32_t> lengths) = 0;
    /* 59 */ virtual bool _mysql_fetch_value_is_null(PMYSQL_ROW row, std::uint32_t index) = 0;
    /* 60 */ virtual const char* _mysql_fetch_value_ptr(PMYSQL_RES result, PMYSQL_ROW row,
                                                         std::uint32_t index) = 0;
    /* 61 */ virtual void _mysql_fetch_value_to_buff(PMYSQL_ROW row, std::uint32_t index,
                                                     std::uint32_t length,
                                                     std::size_t targetOffset, void* target) = 0;
    /* 62 */ virtual void _mysql_fetch_value_to_buff(PMYSQL_ROW row, std::uint32_t index,
                                                     std::uint32_t length, void* target) = 0;
    /* 63 */ virtual void _mysql_fetch_value_to_str(PMYSQL_ROW row, std::uint32_t index,
                                                    std::uint32_t length, char* target) = 0;
    /* 64 */ virtual const char* _mysql_fetch_value_arr(PMYSQL_ROW row, std::uint32_t index,
                                                         std::uint32_t length,
                                                         std::uint32_t& offset) = 0;
    /* 65 */ virtual std::string _mysql_fetch_value_str(PMYSQL_ROW row, std::uint32_t index) = 0;
    /* 66 */ virtual int _mysql_stmt_fetch(PMYSQL_STMT stmt, PMYSQL_ROW& row) = 0;
    /* 67 */ virtual int _mysql_stmt_execute(PMYSQL_STMT stmt, std::uint32_t iters) = 0;
    /* 68 */ virtual bool _mysql_stmt_bind_param(PMYSQL_STMT stmt, PMYSQL_BIND bnd) = 0;
    /* 69 */ virtual bool _mysql_stmt_bind_result(PMYSQL_STMT stmt, PMYSQL_BIND bnd) = 0;
    /* 70 */ virtual int _mysql_stmt_fetch_column(PMYSQL_STMT stmt, std::uint32_t column,
                                                  PMYSQL_BIND bind) = 0;
    /* 71 */ virtual void _mysql_stmt_fetch_lengths(PMYSQL_STMT stmt,
                                                    std::span<std::uint32_t> lengths) = 0;
    /* 72 */ virtual const char* _mysql_stmt_fetch_value_ptr(PMYSQL_STMT stmt, PMYSQL_ROW row,
                                                              std::uint32_t index) = 0;

    // Sets the command time-out (read and write) of a handle; 0 becomes CLIENT_NET_READ_TIMEOUT.
    // Used before commands and pings.
    void SetTimeout(PMYSQL_CON mysql, std::uint32_t seconds);

    TClientStructVer ClientStructVer() const noexcept { return FClientStructVer; }
    const std::u16string& ClientVer() const noexcept { return FClientVer; }

    std::u16string FClientVer;
    TClientStructVer FClientStructVer = cvDirect;
    // Parameter-binding work areas of the prepared-statement operations; unused in direct mode.
    void* Fbnds = nullptr;
    void* Fbnds503 = nullptr;
};

} // namespace rivalon

#include "dac/mysql/MySqlApiDirect.h"

#include <cstring>
#include <memory>
#include <utility>

#include "platform/CodePage.h"

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlResultSet.h"
#include "dac/mysql/MySqlSession.h"

namespace rivalon {

TMySQLAPIDirect MyAPIDirect;

namespace {

constexpr std::u16string_view Unit = u"MySqlApiDirect";

[[noreturn]] void Assert(std::u16string_view what) { throw EAssertionFailed(Unit, what); }

[[noreturn]] void NoStatements() {
    throw ENotSupported(u"Server-side prepared statements are not supported in direct mode");
}

void ClearError(TMySqlSession& s) {
    s.FErrno = 0;
    s.FError.clear();
    s.FIsServerError = false;
}

// Records a MySQL error on the session and gives the status to return. Errors without a number
// (authentication texts) still return non-zero, so that no failure reads as success.
int Record(TMySqlSession& s, const EMySqlException& e) {
    s.FErrno = static_cast<std::uint32_t>(e.ErrorCode());
    s.FError = e.Message();
    s.FIsServerError = e.IsServerError();
    return e.ErrorCode() != 0 ? e.ErrorCode() : CR_UNKNOWN_ERROR;
}

EMySqlException OutOfSync(TMySqlStatus status) {
    return EMySqlException(CR_COMMANDS_OUT_OF_SYNC,
                           u"mysql.status = " + Utf8ToUtf16(std::to_string(static_cast<int>(status))));
}

const TMySqlBind& Item(TMySqlBinds* row, std::uint32_t index) {
    if (index >= row->Items.size()) Assert(u"column index out of range");
    return row->Items[index];
}

// The bytes of a value that fit the caller's length (never past the value itself).
std::uint32_t CopyLength(const TMySqlBind& b, std::uint32_t length) {
    return b.IsNull ? 0 : (length < b.Length ? length : b.Length);
}

} // namespace

TMySQLAPIDirect::TMySQLAPIDirect() {
    FClientStructVer = cvDirect;
    FClientVer = std::u16string(DirectClientVersion);
}

TMySqlSession* TMySQLAPIDirect::Session(PMYSQL_CON h) {
    if (!h) Assert(u"no connection handle");
    return reinterpret_cast<TMySqlSession*>(h);
}

TMySqlResultSet* TMySQLAPIDirect::Reader(PMYSQL_RES h) {
    if (!h) Assert(u"no result handle");
    return reinterpret_cast<TMySqlResultSet*>(h);
}

TMySqlBinds* TMySQLAPIDirect::Row(PMYSQL_ROW h) {
    if (!h) Assert(u"no row");
    return reinterpret_cast<TMySqlBinds*>(h);
}

// ---- values of the session ------------------------------------------------------------------

std::uint32_t TMySQLAPIDirect::mysql_num_fields(PMYSQL_RES result) { return Reader(result)->FieldCount(); }

TMYSQL_FIELD TMySQLAPIDirect::mysql_fetch_field_direct(PMYSQL_RES, std::uint32_t) { throw EAbstractError(); }

std::uint32_t TMySQLAPIDirect::mysql_field_count(PMYSQL_CON mysql) { return Session(mysql)->fieldCount; }
std::int64_t TMySQLAPIDirect::mysql_affected_rows(PMYSQL_CON mysql) { return Session(mysql)->affectedRows; }
std::int64_t TMySQLAPIDirect::mysql_insert_id(PMYSQL_CON mysql) { return Session(mysql)->insertId; }
std::uint32_t TMySQLAPIDirect::mysql_warning_count(PMYSQL_CON mysql) { return Session(mysql)->warningCount; }
std::uint32_t TMySQLAPIDirect::mysql_errno(PMYSQL_CON mysql) { return Session(mysql)->FErrno; }
std::u16string TMySQLAPIDirect::mysql_error(PMYSQL_CON mysql) { return Session(mysql)->FError; }
bool TMySQLAPIDirect::mysql_isservererror(PMYSQL_CON mysql) { return Session(mysql)->FIsServerError; }
std::u16string TMySQLAPIDirect::mysql_info(PMYSQL_CON mysql) { return Session(mysql)->info; }
std::uint32_t TMySQLAPIDirect::mysql_thread_id(PMYSQL_CON mysql) { return Session(mysql)->threadId; }

std::u16string TMySQLAPIDirect::mysql_character_set_name(PMYSQL_CON) {
    throw ENotSupported(u"mysql_character_set_name is not supported in direct mode");
}

std::u16string TMySQLAPIDirect::mysql_get_server_info(PMYSQL_CON mysql) { return Session(mysql)->serverVersion; }
std::u16string TMySQLAPIDirect::mysql_get_client_info() { return std::u16string(DirectClientVersion); }
std::u16string TMySQLAPIDirect::mysql_get_host_info(PMYSQL_CON mysql) { return Session(mysql)->hostInfo; }

// ---- connecting -----------------------------------------------------------------------------

PMYSQL_CON TMySQLAPIDirect::mysql_init(PMYSQL_CON) {
    // The handle owns the session until mysql_close.
    return Handle(std::make_unique<TMySqlSession>().release());
}

int TMySQLAPIDirect::mysql_ssl_set(PMYSQL_CON mysql, std::u16string_view, std::u16string_view,
                                   std::u16string_view, std::u16string_view, std::u16string_view) {
    Session(mysql)->protocolType = MYSQL_PROTOCOL_SSL;
    return 0;
}

PMYSQL_CON TMySQLAPIDirect::mysql_real_connect(PMYSQL_CON mysql, std::u16string_view host,
                                               std::u16string_view user, std::u16string_view passwd,
                                               std::u16string_view db, std::uint32_t port,
                                               std::u16string_view unix_socket,
                                               std::uint32_t clientflag) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    try {
        s.Connect(std::u16string(host), std::u16string(user), clientflag, std::u16string(unix_socket),
                  static_cast<int>(port), std::u16string(db), std::u16string(passwd));
        return mysql;
    } catch (const EMySqlException& e) {
        Record(s, e);
        return nullptr;
    }
}

void TMySQLAPIDirect::mysql_close(PMYSQL_CON sock) {
    if (!sock) return;
    std::unique_ptr<TMySqlSession> s(Session(sock));
    try {
        s->Close();
    } catch (...) {
        // The session goes away whatever the wire says.
    }
    if (s->FResultSet) {
        s->FResultSet->ReleaseSession();
        s->FResultSet = nullptr;
    }
    try {
        s.reset();
    } catch (const EMySqlException&) {
    }
}

// ---- commands -------------------------------------------------------------------------------

int TMySQLAPIDirect::mysql_select_db(PMYSQL_CON mysql, std::u16string_view db) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    try {
        s.SelectDb(std::u16string(db));
        return 0;
    } catch (const EMySqlException& e) {
        return Record(s, e);
    }
}

int TMySQLAPIDirect::mysql_real_query(PMYSQL_CON mysql, const char* query, std::size_t length) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    try {
        {
            std::lock_guard<std::mutex> lock(FQueryBufferCS);
            s.SimpleCommand(scQuery, reinterpret_cast<const std::uint8_t*>(query), true, length);
        }
        s.ReadQueryResult();
        return 0;
    } catch (const EMySqlException& e) {
        return Record(s, e);
    }
}

int TMySQLAPIDirect::mysql_kill(PMYSQL_CON mysql, std::uint32_t pid) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    try {
        const std::uint8_t id[4] = {static_cast<std::uint8_t>(pid), static_cast<std::uint8_t>(pid >> 8),
                                    static_cast<std::uint8_t>(pid >> 16), static_cast<std::uint8_t>(pid >> 24)};
        s.SimpleCommand(scProcessKill, id, false, sizeof id);
        return 0;
    } catch (const EMySqlException& e) {
        return Record(s, e);
    }
}

int TMySQLAPIDirect::mysql_ping(PMYSQL_CON mysql) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    try {
        s.Ping();
        return 0;
    } catch (const EMySqlException& e) {
        return Record(s, e);
    }
}

int TMySQLAPIDirect::mysql_options(PMYSQL_CON mysql, TMySqlOption option, int value) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    switch (option) {
    case MYSQL_OPT_CONNECT_TIMEOUT: s.connectTimeout = value; break;
    case MYSQL_OPT_NAMED_PIPE: s.protocolType = MYSQL_PROTOCOL_PIPE; break;
    case MYSQL_OPT_PROTOCOL: s.protocolType = static_cast<MYSQL_PROTOCOL_TYPE>(value); break;
    case MYSQL_OPT_READ_TIMEOUT:
    case MYSQL_OPT_WRITE_TIMEOUT: s.commandTimeout = value; break;
    // A server may name any file of the player's; only a session that asked for uploads sends one.
    case MYSQL_OPT_LOCAL_INFILE: s.FLocalInfile = value != 0; break;
    default: break;
    }
    return 0;
}

int TMySQLAPIDirect::mysql_options(PMYSQL_CON mysql, TMySqlOption option, std::u16string_view value) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    if (option == MYSQL_SET_CHARSET_NAME) s.charset = std::u16string(value);
    return 0;
}

bool TMySQLAPIDirect::mysql_more_results(PMYSQL_CON mysql) {
    return (Session(mysql)->serverStatus & SERVER_MORE_RESULTS_EXISTS) != 0;
}

int TMySQLAPIDirect::mysql_next_result(PMYSQL_CON mysql) {
    TMySqlSession& s = *Session(mysql);
    ClearError(s);
    try {
        if (s.status != msReady) throw OutOfSync(s.status);
        s.affectedRows = -1;
        if ((s.serverStatus & SERVER_MORE_RESULTS_EXISTS) == 0) return -1;
        s.ReadQueryResult();
        return 0;
    } catch (const EMySqlException& e) {
        return Record(s, e);
    }
}

// ---- results --------------------------------------------------------------------------------

PMYSQL_RES TMySQLAPIDirect::mysql_use_result(PMYSQL_CON mysql) {
    TMySqlSession& s = *Session(mysql);
    try {
        if (s.fields.empty()) return nullptr;
        if (s.status != msGetResult) throw OutOfSync(s.status);
        auto reader = std::make_unique<TMySqlResultSet>(&s);
        s.FResultSet = reader.get();
        s.fields.clear();
        s.status = msUseResult;
        return Handle(reader.release());
    } catch (const EMySqlException& e) {
        Record(s, e);
        return nullptr;
    }
}

void TMySQLAPIDirect::mysql_free_result(PMYSQL_RES result) {
    std::unique_ptr<TMySqlResultSet> r(Reader(result));
    if (TMySqlSession* s = r->Session(); s && s->FResultSet == r.get()) s->FResultSet = nullptr;
    try {
        r->ClearBuffer();
    } catch (const EMySqlException&) {
    }
}

PMYSQL_ROW TMySQLAPIDirect::mysql_fetch_row(PMYSQL_RES result) {
    TMySqlResultSet& r = *Reader(result);
    TMySqlSession* s = r.Session();
    if (!s) return nullptr; // the session was closed under the reader
    s->FErrno = 0;
    try {
        TMySqlBinds* binds = nullptr;
        return r.Fetch(binds) ? Handle(binds) : nullptr;
    } catch (const EMySqlException& e) {
        Record(*s, e);
        if ((s->serverStatus & SERVER_MORE_RESULTS_EXISTS) == 0) s->status = msReady;
        return nullptr;
    }
}

const unsigned long* TMySQLAPIDirect::mysql_fetch_lengths(PMYSQL_RES) {
    Assert(u"mysql_fetch_lengths is not used in direct mode");
}

PMYSQL_ROW TMySQLAPIDirect::_mysql_read_row(PMYSQL_RES result, std::uint32_t index) {
    TMySqlResultSet& r = *Reader(result);
    TMySqlSession* s = r.Session();
    if (!s) return nullptr;
    s->FErrno = 0;
    try {
        TMySqlBinds* binds = nullptr;
        r.ReadRow(binds, index);
        return Handle(binds);
    } catch (const EMySqlException& e) {
        Record(*s, e);
        return nullptr;
    }
}

int TMySQLAPIDirect::_mysql_fetch_options(PMYSQL_RES result, TMySqlFetchOption option, int value) {
    TMySqlResultSet& r = *Reader(result);
    if (option != foKeepRowCount) Assert(u"unknown fetch option");
    if (TMySqlSession* s = r.Session()) {
        if (s->net->GetRowCount() != value) s->net->SetRowCount(value);
    }
    return 0;
}

void TMySQLAPIDirect::_mysql_fetch_field_direct(PMYSQL_RES result, std::uint32_t index,
                                                TMYSQL_FIELD& field, bool unicode) {
    TMySqlResultSet& r = *Reader(result);
    if (index >= r.Fields().size()) Assert(u"field index out of range");
    const TMySqlFieldInfo& f = r.Fields()[index];
    field.Name = f.Name;
    field.OrgName = f.OrgName.empty() ? f.Name : f.OrgName;
    field.Table = f.Table;
    field.OrgTable = f.OrgTable;
    field.Flags = f.Flags;
    field.MyType = f.MyType;
    field.LengthInBytes = f.Length;
    field.CharsetNr = f.CharsetNr;
    field.Decimals = static_cast<std::uint32_t>(f.Scale);
    // Servers before 4.1 give text lengths in characters.
    if (unicode && !f.Table.empty() && !r.Protocol41()) {
        switch (f.MyType) {
        case MYSQL_TYPE_VARCHAR:
        case MYSQL_TYPE_JSON:
        case MYSQL_TYPE_ENUM:
        case MYSQL_TYPE_SET:
        case MYSQL_TYPE_VAR_STRING:
        case MYSQL_TYPE_STRING: field.LengthInBytes *= 3; break;
        default: break;
        }
    }
}

void TMySQLAPIDirect::_mysql_fetch_lengths(PMYSQL_RES result, std::span<std::uint32_t> lengths) {
    TMySqlResultSet& r = *Reader(result);
    const std::vector<TMySqlBind>& items = r.Binds().Items;
    if (lengths.size() < items.size()) Assert(u"lengths array shorter than the columns");
    for (std::size_t i = 0; i < items.size(); ++i) lengths[i] = items[i].Length;
}

bool TMySQLAPIDirect::_mysql_fetch_value_is_null(PMYSQL_ROW row, std::uint32_t index) {
    return Item(Row(row), index).IsNull;
}

const char* TMySQLAPIDirect::_mysql_fetch_value_ptr(PMYSQL_RES, PMYSQL_ROW row, std::uint32_t index) {
    TMySqlBinds* b = Row(row);
    const TMySqlBind& v = Item(b, index);
    if (v.Offset == 0) return nullptr;
    return reinterpret_cast<const char*>(b->Buffer) + v.Offset;
}

void TMySQLAPIDirect::_mysql_fetch_value_to_buff(PMYSQL_ROW row, std::uint32_t index, std::uint32_t length,
                                                 std::size_t targetOffset, void* target) {
    TMySqlBinds* b = Row(row);
    const TMySqlBind& v = Item(b, index);
    const std::uint32_t n = CopyLength(v, length);
    if (n != 0) std::memcpy(static_cast<char*>(target) + targetOffset, b->Buffer + v.Offset, n);
}

void TMySQLAPIDirect::_mysql_fetch_value_to_buff(PMYSQL_ROW row, std::uint32_t index, std::uint32_t length,
                                                 void* target) {
    _mysql_fetch_value_to_buff(row, index, length, 0, target);
}

void TMySQLAPIDirect::_mysql_fetch_value_to_str(PMYSQL_ROW row, std::uint32_t index, std::uint32_t length,
                                                char* target) {
    TMySqlBinds* b = Row(row);
    const TMySqlBind& v = Item(b, index);
    const std::uint32_t n = CopyLength(v, length);
    if (n != 0) std::memcpy(target, b->Buffer + v.Offset, n);
    target[n] = '\0';
}

const char* TMySQLAPIDirect::_mysql_fetch_value_arr(PMYSQL_ROW row, std::uint32_t index, std::uint32_t,
                                                    std::uint32_t& offset) {
    TMySqlBinds* b = Row(row);
    offset = Item(b, index).Offset;
    return reinterpret_cast<const char*>(b->Buffer);
}

std::string TMySQLAPIDirect::_mysql_fetch_value_str(PMYSQL_ROW row, std::uint32_t index) {
    TMySqlBinds* b = Row(row);
    const TMySqlBind& v = Item(b, index);
    if (v.IsNull) return {};
    return std::string(reinterpret_cast<const char*>(b->Buffer) + v.Offset, v.Length);
}

// ---- library and embedded server ------------------------------------------------------------

int TMySQLAPIDirect::mysql_server_init(int, char**, char**) { Assert(u"mysql_server_init in direct mode"); }
void TMySQLAPIDirect::mysql_server_end() { Assert(u"mysql_server_end in direct mode"); }
bool TMySQLAPIDirect::LoadedMySQLLib() { return true; }
void TMySQLAPIDirect::LoadMySQLLib() {}
void TMySQLAPIDirect::FreeMySQLLib() {}

void TMySQLAPIDirect::CheckMySQLLib() {
    FClientStructVer = cvDirect;
    FClientVer = std::u16string(DirectClientVersion);
}

void TMySQLAPIDirect::SetIOHandler(PMYSQL_CON mysql, TCRIOHandler* handler) { Session(mysql)->FIOHandler = handler; }

void TMySQLAPIDirect::SetOptions(PMYSQL_CON mysql, const THttpOptions& httpOptions,
                                 const TSSLOptions& sslOptions, const TProxyOptions& proxyOptions) {
    TMySqlSession& s = *Session(mysql);
    s.FHttpOptions = httpOptions;
    s.FSSLOptions = sslOptions;
    s.FProxyOptions = proxyOptions;
}

void TMySQLAPIDirect::SetIPVersion(PMYSQL_CON mysql, TIPVersion version) { Session(mysql)->FIPVersion = version; }

void TMySQLAPIDirect::SetOnDialogAuthPlugin(PMYSQL_CON mysql, TDialogAuthPluginEvent callback) {
    Session(mysql)->FOnDialogAuthPlugin = std::move(callback);
}

void TMySQLAPIDirect::SetIsUTF8(PMYSQL_CON mysql, bool value) { Session(mysql)->SetIsUTF8(value); }

// ---- prepared statements --------------------------------------------------------------------
// Server-side statements are an optional feature the direct client does not carry.

PMYSQL_STMT TMySQLAPIDirect::mysql_stmt_init(PMYSQL_CON mysql) {
    Session(mysql);
    NoStatements();
}
int TMySQLAPIDirect::mysql_stmt_prepare(PMYSQL_STMT, const char*, std::size_t) { NoStatements(); }
int TMySQLAPIDirect::mysql_stmt_execute(PMYSQL_STMT) { throw EAbstractError(); }
std::uint32_t TMySQLAPIDirect::mysql_stmt_param_count(PMYSQL_STMT) { NoStatements(); }
bool TMySQLAPIDirect::mysql_stmt_bind_param(PMYSQL_STMT, PMYSQL_BIND) { throw EAbstractError(); }
bool TMySQLAPIDirect::mysql_stmt_bind_result(PMYSQL_STMT, PMYSQL_BIND) { throw EAbstractError(); }
std::uint32_t TMySQLAPIDirect::mysql_stmt_field_count(PMYSQL_STMT) { NoStatements(); }
bool TMySQLAPIDirect::mysql_stmt_close(PMYSQL_STMT) { NoStatements(); }
bool TMySQLAPIDirect::mysql_stmt_free_result(PMYSQL_STMT) { NoStatements(); }
std::uint32_t TMySQLAPIDirect::mysql_stmt_errno(PMYSQL_STMT) { NoStatements(); }
std::u16string TMySQLAPIDirect::mysql_stmt_error(PMYSQL_STMT) { NoStatements(); }
bool TMySQLAPIDirect::mysql_stmt_isservererror(PMYSQL_STMT) { NoStatements(); }
int TMySQLAPIDirect::mysql_stmt_fetch(PMYSQL_STMT) { Assert(u"mysql_stmt_fetch in direct mode"); }
int TMySQLAPIDirect::mysql_stmt_fetch_column(PMYSQL_STMT, PMYSQL_BIND, std::uint32_t, std::uint32_t) {
    throw EAbstractError();
}
bool TMySQLAPIDirect::mysql_stmt_send_long_data(PMYSQL_STMT, std::uint32_t, const char*, std::size_t) {
    NoStatements();
}
PMYSQL_RES TMySQLAPIDirect::mysql_stmt_result_metadata(PMYSQL_STMT) { NoStatements(); }
PMYSQL_RES TMySQLAPIDirect::mysql_stmt_param_metadata(PMYSQL_STMT) {
    Assert(u"mysql_stmt_param_metadata in direct mode");
}
std::int64_t TMySQLAPIDirect::mysql_stmt_affected_rows(PMYSQL_STMT) { NoStatements(); }
int TMySQLAPIDirect::_mysql_stmt_fetch(PMYSQL_STMT, PMYSQL_ROW&) { NoStatements(); }
int TMySQLAPIDirect::_mysql_stmt_execute(PMYSQL_STMT, std::uint32_t) { NoStatements(); }
bool TMySQLAPIDirect::_mysql_stmt_bind_param(PMYSQL_STMT, PMYSQL_BIND) { throw EAbstractError(); }
bool TMySQLAPIDirect::_mysql_stmt_bind_result(PMYSQL_STMT, PMYSQL_BIND) { NoStatements(); }
int TMySQLAPIDirect::_mysql_stmt_fetch_column(PMYSQL_STMT, std::uint32_t, PMYSQL_BIND) {
    Assert(u"_mysql_stmt_fetch_column in direct mode");
}
void TMySQLAPIDirect::_mysql_stmt_fetch_lengths(PMYSQL_STMT, std::span<std::uint32_t>) { NoStatements(); }
const char* TMySQLAPIDirect::_mysql_stmt_fetch_value_ptr(PMYSQL_STMT, PMYSQL_ROW, std::uint32_t) {
    NoStatements();
}

} // namespace rivalon

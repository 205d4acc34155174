#pragma once
#include <mutex>

#include "dac/mysql/MyCall.h"
#include "dac/mysql/MySqlSession.h"

namespace rivalon {

// The operation set over our own wire client: a connection handle is a TMySqlSession, a result
// handle a TMySqlResultSet, a row its TMySqlBinds. MySQL errors (EMySqlException) are caught at
// this boundary and recorded on the session; every other exception reaches the caller unchanged.
class TMySQLAPIDirect : public TMySQLAPI {
public:
    TMySQLAPIDirect();

    std::uint32_t mysql_num_fields(PMYSQL_RES result) override;
    TMYSQL_FIELD mysql_fetch_field_direct(PMYSQL_RES result, std::uint32_t fieldnr) override;
    std::uint32_t mysql_field_count(PMYSQL_CON mysql) override;
    std::int64_t mysql_affected_rows(PMYSQL_CON mysql) override;
    std::int64_t mysql_insert_id(PMYSQL_CON mysql) override;
    std::uint32_t mysql_warning_count(PMYSQL_CON mysql) override;
    std::uint32_t mysql_errno(PMYSQL_CON mysql) override;
    std::u16string mysql_error(PMYSQL_CON mysql) override;
    bool mysql_isservererror(PMYSQL_CON mysql) override;
    std::u16string mysql_info(PMYSQL_CON mysql) override;
    std::uint32_t mysql_thread_id(PMYSQL_CON mysql) override;
    std::u16string mysql_character_set_name(PMYSQL_CON mysql) override;
    PMYSQL_CON mysql_init(PMYSQL_CON mysql) override;
    int mysql_ssl_set(PMYSQL_CON mysql, std::u16string_view key, std::u16string_view cert,
                      std::u16string_view ca, std::u16string_view capath,
                      std::u16string_view cipher) override;
    PMYSQL_CON mysql_real_connect(PMYSQL_CON mysql, std::u16string_view host,
                                  std::u16string_view user, std::u16string_view passwd,
                                  std::u16string_view db, std::uint32_t port,
                                  std::u16string_view unix_socket,
                                  std::uint32_t clientflag) override;
    void mysql_close(PMYSQL_CON sock) override;
    int mysql_select_db(PMYSQL_CON mysql, std::u16string_view db) override;
    int mysql_real_query(PMYSQL_CON mysql, const char* query, std::size_t length) override;
    int mysql_kill(PMYSQL_CON mysql, std::uint32_t pid) override;
    int mysql_ping(PMYSQL_CON mysql) override;
    std::u16string mysql_get_server_info(PMYSQL_CON mysql) override;
    std::u16string mysql_get_client_info() override;
    std::u16string mysql_get_host_info(PMYSQL_CON mysql) override;
    PMYSQL_RES mysql_use_result(PMYSQL_CON mysql) override;
    int mysql_options(PMYSQL_CON mysql, TMySqlOption option, int value) override;
    int mysql_options(PMYSQL_CON mysql, TMySqlOption option, std::u16string_view value) override;
    void mysql_free_result(PMYSQL_RES result) override;
    PMYSQL_ROW mysql_fetch_row(PMYSQL_RES result) override;
    const unsigned long* mysql_fetch_lengths(PMYSQL_RES result) override;
    int mysql_server_init(int argc, char** argv, char** groups) override;
    void mysql_server_end() override;
    PMYSQL_STMT mysql_stmt_init(PMYSQL_CON mysql) override;
    int mysql_stmt_prepare(PMYSQL_STMT stmt, const char* query, std::size_t length) override;
    int mysql_stmt_execute(PMYSQL_STMT stmt) override;
    std::uint32_t mysql_stmt_param_count(PMYSQL_STMT stmt) override;
    bool mysql_stmt_bind_param(PMYSQL_STMT stmt, PMYSQL_BIND bnd) override;
    bool mysql_stmt_bind_result(PMYSQL_STMT stmt, PMYSQL_BIND bnd) override;
    std::uint32_t mysql_stmt_field_count(PMYSQL_STMT stmt) override;
    bool mysql_stmt_close(PMYSQL_STMT stmt) override;
    bool mysql_stmt_free_result(PMYSQL_STMT stmt) override;
    std::uint32_t mysql_stmt_errno(PMYSQL_STMT stmt) override;
    std::u16string mysql_stmt_error(PMYSQL_STMT stmt) override;
    bool mysql_stmt_isservererror(PMYSQL_STMT stmt) override;
    int mysql_stmt_fetch(PMYSQL_STMT stmt) override;
    int mysql_stmt_fetch_column(PMYSQL_STMT stmt, PMYSQL_BIND bind, std::uint32_t column,
                                std::uint32_t offset) override;
    bool mysql_stmt_send_long_data(PMYSQL_STMT stmt, std::uint32_t param_number, const char* data,
                                   std::size_t length) override;
    PMYSQL_RES mysql_stmt_result_metadata(PMYSQL_STMT stmt) override;
    PMYSQL_RES mysql_stmt_param_metadata(PMYSQL_STMT stmt) override;
    std::int64_t mysql_stmt_affected_rows(PMYSQL_STMT stmt) override;
    bool mysql_more_results(PMYSQL_CON mysql) override;
    int mysql_next_result(PMYSQL_CON mysql) override;
    bool LoadedMySQLLib() override;
    void LoadMySQLLib() override;
    void FreeMySQLLib() override;
    void CheckMySQLLib() override;
    PMYSQL_ROW _mysql_read_row(PMYSQL_RES result, std::uint32_t index) override;
    int _mysql_fetch_options(PMYSQL_RES result, TMySqlFetchOption option, int value) override;
    void _mysql_fetch_field_direct(PMYSQL_RES result, std::uint32_t index, TMYSQL_FIELD& field,
                                   bool unicode) override;
    void _mysql_fetch_lengths(PMYSQL_RES result, std::span<std::uint32_t> lengths) override;
    bool _mysql_fetch_value_is_null(PMYSQL_ROW row, std::uint32_t index) override;
    const char* _mysql_fetch_value_ptr(PMYSQL_RES result, PMYSQL_ROW row,
                                       std::uint32_t index) override;
    void _mysql_fetch_value_to_buff(PMYSQL_ROW row, std::uint32_t index, std::uint32_t length,
                                    std::size_t targetOffset, void* target) override;
    void _mysql_fetch_value_to_buff(PMYSQL_ROW row, std::uint32_t index, std::uint32_t length,
                                    void* target) override;
    void _mysql_fetch_value_to_str(PMYSQL_ROW row, std::uint32_t index, std::uint32_t length,
                                   char* target) override;
    const char* _mysql_fetch_value_arr(PMYSQL_ROW row, std::uint32_t index, std::uint32_t length,
                                       std::uint32_t& offset) override;
    std::string _mysql_fetch_value_str(PMYSQL_ROW row, std::uint32_t index) override;
    int _mysql_stmt_fetch(PMYSQL_STMT stmt, PMYSQL_ROW& row) override;
    int _mysql_stmt_execute(PMYSQL_STMT stmt, std::uint32_t iters) override;
    bool _mysql_stmt_bind_param(PMYSQL_STMT stmt, PMYSQL_BIND bnd) override;
    bool _mysql_stmt_bind_result(PMYSQL_STMT stmt, PMYSQL_BIND bnd) override;
    int _mysql_stmt_fetch_column(PMYSQL_STMT stmt, std::uint32_t column, PMYSQL_BIND bind) override;
    void _mysql_stmt_fetch_lengths(PMYSQL_STMT stmt, std::span<std::uint32_t> lengths) override;
    const char* _mysql_stmt_fetch_value_ptr(PMYSQL_STMT stmt, PMYSQL_ROW row,
                                            std::uint32_t index) override;

    // Settings the provider hands over before mysql_real_connect; stored on the session.
    void SetIOHandler(PMYSQL_CON mysql, TCRIOHandler* handler);
    void SetOptions(PMYSQL_CON mysql, const THttpOptions& httpOptions, const TSSLOptions& sslOptions,
                    const TProxyOptions& proxyOptions);
    void SetIPVersion(PMYSQL_CON mysql, TIPVersion version);
    void SetOnDialogAuthPlugin(PMYSQL_CON mysql, TDialogAuthPluginEvent callback);
    void SetIsUTF8(PMYSQL_CON mysql, bool value);

    // Held while a query packet is built and sent, so that sessions on different threads take
    // turns on the wire; the answer is read outside it.
    std::mutex FQueryBufferCS;

    // The objects behind the handles.
    static TMySqlSession* Session(PMYSQL_CON h);
    static TMySqlResultSet* Reader(PMYSQL_RES h);
    static TMySqlBinds* Row(PMYSQL_ROW h);
    static PMYSQL_CON Handle(TMySqlSession* s) noexcept { return reinterpret_cast<PMYSQL_CON>(s); }
    static PMYSQL_RES Handle(TMySqlResultSet* r) noexcept { return reinterpret_cast<PMYSQL_RES>(r); }
    static PMYSQL_ROW Handle(TMySqlBinds* b) noexcept { return reinterpret_cast<PMYSQL_ROW>(b); }
};

// The process-wide instance every connection uses.
extern TMySQLAPIDirect MyAPIDirect;

} // namespace rivalon

#include "components/UniProvider.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/Uni.h"
#include "dac/common/DatabaseError.h"
#include "dac/mysql/MyParser.h"
#include "platform/Exception.h"

namespace rivalon {
namespace {

template <class F>
std::u16string MessageOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return u"<no exception>";
}

// Implementation classes of a provider, as small as the contract allows.
class TestCommand : public TCRCommand {
public:
    std::vector<std::pair<int, TVariant>> props;
    bool GetPrepared() const override { return false; }
    void Execute() override {}
    TCursorState GetCursorState() const override { return csInactive; }
    void SetCursorState(TCursorState) override {}
    bool SetProp(int prop, const TVariant& v) override {
        props.emplace_back(prop, v);
        return prop == prCommandTimeout || TCRCommand::SetProp(prop, v);
    }
};

class TestRecordSet : public TCRRecordSet {
public:
    std::vector<std::pair<int, TVariant>> props;
    bool SetProp(int prop, const TVariant& v) override {
        props.emplace_back(prop, v);
        return prop >= 1000 || prop == prCommandTimeout || TCRRecordSet::SetProp(prop, v);
    }

protected:
    std::unique_ptr<TCRCommand> CreateCommand() override { return std::make_unique<TestCommand>(); }
};

class TestConnection : public TCRConnection {
public:
    std::vector<std::pair<int, TVariant>> props;
    TCRClass<TCRCommand> GetCommandClass() const override { return ClassOf<TestCommand, TCRCommand>(); }
    TCRClass<TCRRecordSet> GetRecordSetClass() const override { return ClassOf<TestRecordSet, TCRRecordSet>(); }
    TCRClass<TCRTransaction> GetTransactionClass() const override { return {}; }
    void Disconnect() override {}
    void Ping() override {}
    std::u16string GetServerVersion() const override { return {}; }
    std::u16string GetServerVersionFull() const override { return {}; }
    std::u16string GetClientVersion() const override { return {}; }
    bool SetProp(int prop, const TVariant& v) override {
        props.emplace_back(prop, v);
        return prop >= 1000 || prop == prUseUnicode || TCRConnection::SetProp(prop, v);
    }
};

class BackQuoteFormatter : public TUniSqlFormatter {
public:
    char16_t LeftQuote() const override { return u'`'; }
    char16_t RightQuote() const override { return u'`'; }
};

int gLiveProviders = 0;
std::vector<std::string> gCreated;

class TestProvider : public TUniProvider {
public:
    TestProvider() { ++gLiveProviders; }
    ~TestProvider() override { --gLiveProviders; }
    std::u16string GetProviderName() const override { return u"MySQL"; }
    bool IsDatabaseSupported() const override { return true; }
    bool IsPortSupported() const override { return true; }
    TCRClass<TCRConnection> GetConnectionClass() const override { return ClassOf<TestConnection, TCRConnection>(); }
    TParserClass GetParserClass() const override { return &CreateParser<TMyUniParser>; }
    TCRClass<TUniSqlFormatter> GetSqlFormatterClass() const override {
        return ClassOf<BackQuoteFormatter, TUniSqlFormatter>();
    }
    bool paramsSupported = true;
    bool IsParamsSupported() const override { return paramsSupported; }

protected:
    void CreateConnectionOptions() override {
        gCreated.push_back("connection");
        if (FConnectionOptions) return;
        FConnectionOptions = NewOptionsList();
        const std::vector<std::type_index> cls{typeid(TestConnection)};
        FConnectionOptions->Add(std::make_unique<TIntegerOption>(u"ConnectionTimeout", prConnectionTimeout, cls, 15));
        FConnectionOptions->Add(std::make_unique<TBooleanOption>(u"UseUnicode", prUseUnicode, cls, false));
    }
    void CreateSQLOptions() override {
        gCreated.push_back("sql");
        if (FSQLOptions) return;
        FSQLOptions = NewOptionsList();
        FSQLOptions->Add(std::make_unique<TIntegerOption>(
            u"CommandTimeout", prCommandTimeout, std::vector<std::type_index>{typeid(TestCommand)}, 0));
    }
    void CreateDataSetOptions() override {
        gCreated.push_back("dataset");
        if (FDataSetOptions) return;
        FDataSetOptions = NewOptionsList();
        const std::vector<std::type_index> cls{typeid(TestRecordSet)};
        FDataSetOptions->Add(std::make_unique<TBooleanOption>(u"FetchAll", prFetchAll, cls, true));
        FDataSetOptions->Add(std::make_unique<TIntegerOption>(u"CommandTimeout", prCommandTimeout, cls, 0));
    }
};

class OtherNameProvider : public TestProvider {
public:
    std::u16string GetProviderName() const override { return u"Nowhere"; }
};

TEST(UniProviders, KnownKindsAndMessages) {
    TUniProviders& r = UniProviders();
    EXPECT_EQ(r.Count(), 29u);
    ASSERT_NE(r.FindProviderDesc(u"mySQL"), nullptr);
    EXPECT_EQ(r.FindProviderDesc(u"mySQL")->GetProviderName(), u"MySQL");
    EXPECT_EQ(r.FindProviderDesc(u"sql server")->GetProviderShortName(), u"SQLServer");
    EXPECT_EQ(r.FindProviderDesc(u"Nope"), nullptr);
    EXPECT_EQ(r.GetProvider(u"oracle"), nullptr);
    EXPECT_EQ(r.GetProvider(u"Nope"), nullptr);

    try {
        r.CheckProviderName(u"");
        FAIL() << "no exception";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), u"Provider is not defined");
    }
    EXPECT_EQ(MessageOf([&] { r.GetProviderDesc(u"Nope"); }), u"Nope is not a valid provider name");
    EXPECT_EQ(MessageOf([&] { r.CheckProviderName(u"Nope"); }), u"Nope is not a valid provider name");
    EXPECT_EQ(MessageOf([&] { r.CheckProviderName(u"sql server"); }),
              u"SQL Server provider is not registered. You should add the SQLServerUniProvider unit to the uses "
              u"clause of any unit in your project or place the TSQLServerUniProvider component on the form.");
}

TEST(UniProviders, RegistrationKeepsOneProvider) {
    TUniProviders r;
    r.RegisterProviderDesc(u"MySQL", u"MySQL");
    r.RegisterProviderDesc(u"mysql", u"Other");  // a name already there is not added again
    r.RegisterProviderDesc(u"Oracle", u"Oracle");
    EXPECT_EQ(r.Count(), 2u);
    EXPECT_EQ(r.FindProviderDesc(u"MYSQL")->GetProviderShortName(), u"MySQL");

    gCreated.clear();
    r.RegisterProvider<TestProvider>();
    EXPECT_EQ(gCreated, (std::vector<std::string>{"connection", "sql", "dataset"}));
    TUniProvider* first = r.GetProvider(u"mySQL");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(gLiveProviders, 1);
    r.CheckProviderName(u"mysql");  // registered: nothing to report

    r.RegisterProvider<TestProvider>();
    EXPECT_EQ(gLiveProviders, 1);
    EXPECT_NE(r.GetProvider(u"MySQL"), nullptr);
    EXPECT_EQ(r.FindProviderDesc(u"MySQL")->GetProvider(), r.GetProvider(u"mysql"));

    EXPECT_EQ(MessageOf([&] { r.RegisterProvider<OtherNameProvider>(); }), u"Nowhere is not a valid provider name");
    EXPECT_EQ(gLiveProviders, 1);

    EXPECT_EQ(r.GetProvider(u"Oracle"), nullptr);
    EXPECT_EQ(MessageOf([&] { r.CheckProviderName(u"oracle"); }),
              u"Oracle provider is not registered. You should add the OracleUniProvider unit to the uses clause of "
              u"any unit in your project or place the TOracleUniProvider component on the form.");

    r.UnRegisterProvider(u"MySQL");
    EXPECT_EQ(r.GetProvider(u"MySQL"), nullptr);
    EXPECT_EQ(gLiveProviders, 0);
}

TEST(TUniProvider, OptionListsAndSetObjectProps) {
    TestProvider p;
    p.CreateOptions();
    EXPECT_EQ(p.GetConnectionOptions().GetPrefix(), u"MySQL");
    EXPECT_EQ(p.GetConnectionOptions().Count(), 2u);
    EXPECT_EQ(p.GetScriptOptions().Count(), 0u);
    EXPECT_EQ(p.GetTransactionOptions().Count(), 0u);
    EXPECT_EQ(p.GetTransactionOptions().GetPrefix(), u"MySQL");
    EXPECT_EQ(p.CheckParamName(u"Login"), u"Login");

    TestConnection c;
    p.SetObjectProps(c, {u"MySQL.UseUnicode=True"});
    ASSERT_EQ(c.props.size(), 2u);
    EXPECT_EQ(c.props[0], (std::pair<int, TVariant>{prConnectionTimeout, int32_t{15}}));
    EXPECT_EQ(c.props[1], (std::pair<int, TVariant>{prUseUnicode, true}));

    // A record set receives the data-set options; its command none of them.
    TestRecordSet rs;
    p.SetObjectProps(rs, {});
    ASSERT_EQ(rs.props.size(), 2u);
    EXPECT_EQ(rs.props[0], (std::pair<int, TVariant>{prFetchAll, true}));
    EXPECT_EQ(rs.props[1], (std::pair<int, TVariant>{prCommandTimeout, int32_t{0}}));
    EXPECT_TRUE(rs.GetFetchAll());
    EXPECT_TRUE(static_cast<TestCommand*>(rs.GetCommand())->props.empty());

    TestCommand cmd;
    p.SetObjectProps(cmd, {u"CommandTimeout=30"});
    ASSERT_EQ(cmd.props.size(), 1u);
    EXPECT_EQ(cmd.props[0], (std::pair<int, TVariant>{prCommandTimeout, int32_t{30}}));

    EXPECT_EQ(MessageOf([&] { p.SetObjectProps(c, {u"ConnectionTimeout=abc"}); }),
              u"Invalid value: abc for option ConnectionTimeout");
    EXPECT_EQ(MessageOf([&] { p.SetObjectProps(c, {u"UseUnicode=yes"}); }), u"Invalid value: yes for option UseUnicode");
}

TEST(TUniSQL, ComponentParse) {
    struct Case {
        const char* what;
        bool withProvider;
        std::u16string text;
        std::u16string sql;
        std::vector<std::u16string> names;
    };
    const std::vector<Case> cases{
        {"without provider: double quotes, distinct names ignoring case", false,
         u"select :a, :A, :\"x y\", '...:b', :@v, :1abc, ::t, :desc, : c, -- :d\n:e",
         u"select ?, ?, ?, '...:b', ?, ?, ::t, ?, : c, -- :d\n?", {u"a", u"x y", u"@v", u"1abc", u"DESC", u"e"}},
        {"MySQL: back-quotes, escapes in strings, double quotes are identifiers", true,
         u"select :`b c`, 'q\\':z', \"x:y\", `w:v`, :\"n\", :``, # :h\n:Login, :login",
         u"select ?, 'q\\':z', \"x:y\", `w:v`, ?, :``, # :h\n?, ?",
         {u"b c", u"\"n\"", u"Login"}},
        {"no label rule in the component parse", true, u"lbl:BEGIN select 1; END", u"lbl? select 1; END",
         {u"BEGIN"}},
        {"the game's audit insert keeps its line breaks", true,
         u"INSERT INTO log\r\n(\r\ntipo_log,\r\nid_conta)\r\nVALUES(\r\n:TIPO_LOG,\r\n:id_conta\r\n);",
         u"INSERT INTO log\r\n(\r\ntipo_log,\r\nid_conta)\r\nVALUES(\r\n?,\r\n?\r\n);", {u"TIPO_LOG", u"id_conta"}},
    };
    TestProvider provider;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        TUniSQL sql;
        if (k.withProvider) sql.SetProvider(&provider);
        std::vector<std::u16string> names{u"stale"};
        EXPECT_EQ(sql.ParseSQL(k.text, &names), k.sql);
        EXPECT_EQ(names, k.names);
    }

    TUniSQL sql;
    sql.SetProvider(&provider);
    EXPECT_EQ(sql.ParseSQL(u"select :a, ':b'", nullptr), u"select :a, ':b'");
    provider.paramsSupported = false;
    std::vector<std::u16string> names{u"stale"};
    EXPECT_EQ(sql.ParseSQL(u"select :a", &names), u"select :a");
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(MessageOf([&] { TUniSQL().ParseSQL(u"select \x02", &names); }), u"Parser: The unknown symbol $0002  '\x02'");
}

} // namespace
} // namespace rivalon

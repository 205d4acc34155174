#include "dac/common/CRAccess.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "support/MessageOf.h"

namespace rivalon {
namespace {

using rivalon::test::MessageOf;

// ---------------------------------------------------------------------------------------------
// Options

struct TargetA : TCRObject {
    std::vector<std::pair<int, TVariant>> set;
    bool SetProp(int prop, const TVariant& v) override {
        set.emplace_back(prop, v);
        return true;
    }
    bool GetProp(int, TVariant&) const override { return false; }
};
struct TargetB : TargetA {};

TEST(Options, ValidationByKind) {
    const std::vector<std::type_index> cls{typeid(TargetA)};
    TIntegerOption timeout(u"ConnectionTimeout", prConnectionTimeout, cls, 15);
    TBooleanOption unicode(u"UseUnicode", prUseUnicode, cls, false);
    TEnumeratorOption protocol(u"Protocol", 1005, cls, {u"mpDefault", u"mpTCP", u"mpPipe"}, 0);
    TEnumeratorOption under(u"Kind", 1, cls, {u"_first", u"_second"}, 0);
    TStringOption charset(u"Charset", 1003, cls, u"");

    EXPECT_EQ(timeout.GetAsNative(u" 30 "), TVariant(int32_t{30}));
    EXPECT_EQ(timeout.GetAsNative(u"-7"), TVariant(int32_t{-7}));
    EXPECT_EQ(timeout.GetAsNative(u"$1F"), TVariant(int32_t{31}));
    EXPECT_EQ(unicode.GetAsNative(u"  tRuE\t"), TVariant(true));
    EXPECT_EQ(unicode.GetAsNative(u"False"), TVariant(false));
    EXPECT_EQ(protocol.GetAsNative(u"MPTCP"), TVariant(int32_t{1}));
    EXPECT_EQ(under.GetAsNative(u"second"), TVariant(int32_t{1}));
    EXPECT_EQ(charset.GetAsNative(u" utf8 "), TVariant(std::u16string(u"utf8")));

    const std::vector<std::pair<const TOption*, std::u16string>> bad{
        {&timeout, u"abc"}, {&timeout, u""},         {&timeout, u"99999999999"}, {&timeout, u"1.5"},
        {&unicode, u"yes"}, {&unicode, u"1"},        {&protocol, u"mpHttp"},     {&under, u"_second"},
    };
    for (const auto& [option, value] : bad)
        EXPECT_EQ(MessageOf([&] { option->GetAsNative(value); }),
                  u"Invalid value: " + value + u" for option " + option->GetOptionName());
}

TEST(Options, LinesAndImport) {
    TOptionLine line;
    ASSERT_TRUE(ParseOptionLine(u"MySQL.Charset=a.b=c", line));
    EXPECT_EQ(line.Prefix, u"MySQL");
    EXPECT_EQ(line.Name, u"Charset");
    EXPECT_EQ(line.Value, u"a.b=c");
    ASSERT_TRUE(ParseOptionLine(u"Charset=x.y", line));
    EXPECT_EQ(line.Prefix, u"");
    EXPECT_EQ(line.Value, u"x.y");
    EXPECT_FALSE(ParseOptionLine(u"MySQL.Charset", line));

    TOptionsList list(u"MySQL");
    list.Add(std::make_unique<TIntegerOption>(u"ConnectionTimeout", prConnectionTimeout,
                                              std::vector<std::type_index>{typeid(TargetA)}, 15));
    list.Add(std::make_unique<TBooleanOption>(u"UseUnicode", prUseUnicode,
                                              std::vector<std::type_index>{typeid(TargetA), typeid(TargetB)}, false));
    list.Add(std::make_unique<TStringOption>(u"Charset", 1003, std::vector<std::type_index>{typeid(TargetB)}, u""));
    EXPECT_EQ(list.Find(u"useunicode")->GetPropCode(), prUseUnicode);

    // Every applicable option is set, listed ones with their value, others with the default;
    // another provider's prefix does not count.
    TargetA a;
    list.ImportOptions({u"Other.ConnectionTimeout=99", u"mysql.USEUNICODE= true"}, typeid(a),
                       [&](int c, const TVariant& v) { a.SetProp(c, v); });
    ASSERT_EQ(a.set.size(), 2u);
    EXPECT_EQ(a.set[0], (std::pair<int, TVariant>{prConnectionTimeout, int32_t{15}}));
    EXPECT_EQ(a.set[1], (std::pair<int, TVariant>{prUseUnicode, true}));

    // Classes match exactly, not by inheritance.
    TargetB b;
    list.ImportOptions({u"UseUnicode=False", u"ConnectionTimeout=5"}, typeid(b),
                       [&](int c, const TVariant& v) { b.SetProp(c, v); });
    ASSERT_EQ(b.set.size(), 2u);
    EXPECT_EQ(b.set[0], (std::pair<int, TVariant>{prUseUnicode, false}));
    EXPECT_EQ(b.set[1], (std::pair<int, TVariant>{1003, std::u16string()}));

    EXPECT_EQ(MessageOf([&] { list.ImportOptions({u"ConnectionTimeout=abc"}, typeid(a), [](int, const TVariant&) {}); }),
              u"Invalid value: abc for option ConnectionTimeout");
}

// ---------------------------------------------------------------------------------------------
// Connection and transaction bases

class TestTransaction : public TCRTransaction {
public:
    void StartTransaction() override {
        CheckInactive();
        FActive = true;
    }
    void Commit() override {
        CheckActive();
        FActive = false;
    }
    void Rollback() override {
        CheckActive();
        FActive = false;
    }
};

class TestConnection : public TCRConnection {
public:
    int connects = 0, disconnects = 0, failConnects = 0;
    std::vector<int> timeoutsAtDisconnect;
    int32_t timeout = 15;

    TCRClass<TCRCommand> GetCommandClass() const override { return {}; }
    TCRClass<TCRRecordSet> GetRecordSetClass() const override { return {}; }
    TCRClass<TCRTransaction> GetTransactionClass() const override {
        return ClassOf<TestTransaction, TCRTransaction>();
    }
    void Connect(const std::u16string& cs) override {
        ++connects;
        if (failConnects > 0) {
            --failConnects;
            throw Exception(std::string_view("connect failed"));
        }
        FConnected = true;
        TCRConnection::Connect(cs);
    }
    void Disconnect() override {
        ++disconnects;
        timeoutsAtDisconnect.push_back(timeout);
        FConnected = false;
    }
    void Ping() override {}
    std::u16string GetServerVersion() const override { return u"10.11"; }
    std::u16string GetServerVersionFull() const override { return u"10.11.6-MariaDB"; }
    std::u16string GetClientVersion() const override { return u"1.0"; }
    bool SetProp(int prop, const TVariant& v) override {
        if (prop == prConnectionTimeout) {
            timeout = VarToInt(v);
            return true;
        }
        return TCRConnection::SetProp(prop, v);
    }
    bool GetProp(int prop, TVariant& v) const override {
        if (prop == prConnectionTimeout) {
            v = timeout;
            return true;
        }
        return TCRConnection::GetProp(prop, v);
    }
};

TEST(TCRConnection, BasePropertiesAndInternalTransaction) {
    TestConnection c;
    EXPECT_FALSE(c.GetConnected());
    EXPECT_TRUE(c.IsValid());
    TVariant v;
    ASSERT_TRUE(c.GetProp(prUuidWithBraces, v));
    EXPECT_EQ(v, TVariant(true));
    ASSERT_TRUE(c.GetProp(prAutoCommit, v));
    EXPECT_EQ(v, TVariant(true));

    EXPECT_TRUE(c.SetProp(prUsername, std::u16string(u"talmorin")));
    EXPECT_TRUE(c.SetProp(prAutoCommit, false));
    EXPECT_TRUE(c.SetProp(prDatabase, std::u16string(u"halcyra")));
    EXPECT_TRUE(c.SetProp(prPort, int32_t{3306}));
    EXPECT_TRUE(c.SetProp(prSSLCipher, std::u16string(u"AES")));
    EXPECT_TRUE(c.SetProp(prProxyPort, int32_t{1080}));
    EXPECT_TRUE(c.SetProp(prIsolationLevel, int32_t{ilRepeatableRead}));
    EXPECT_EQ(c.GetUsername(), u"talmorin");
    EXPECT_FALSE(c.GetAutoCommit());
    EXPECT_FALSE(c.GetConnected());  // only the stored flag changes
    EXPECT_EQ(c.SSLOptions().Cipher, u"AES");
    EXPECT_EQ(c.ProxyOptions().Port, 1080);
    ASSERT_TRUE(c.GetProp(prIsolationLevel, v));
    EXPECT_EQ(v, TVariant(int32_t{ilRepeatableRead}));
    ASSERT_TRUE(c.GetProp(prMaxStringSize, v));
    EXPECT_EQ(v, TVariant(int32_t{0}));
    EXPECT_FALSE(c.GetProp(prDatabase, v));

    EXPECT_EQ(MessageOf([&] { c.SetProp(1003, std::u16string()); }), u"Assertion failure: unknown property code 1003");
    EXPECT_EQ(MessageOf([&] { c.SetProp(prAutoCommit, std::u16string(u"x")); }), u"Invalid variant type conversion");

    TCRTransaction* t = c.GetInternalTransaction();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t, c.GetInternalTransaction());
    ASSERT_EQ(t->GetConnections().size(), 1u);
    EXPECT_EQ(t->GetConnections()[0], &c);
}

TEST(TCRTransaction, ActiveChecks) {
    TestTransaction t;
    EXPECT_EQ(MessageOf([&] { t.Commit(); }), u"Can't perform operation on inactive transaction");
    t.StartTransaction();
    EXPECT_TRUE(t.GetInTransaction());
    EXPECT_EQ(MessageOf([&] { t.StartTransaction(); }), u"Can't perform operation on active transaction");
    t.Rollback();
    EXPECT_FALSE(t.GetInTransaction());
    EXPECT_TRUE(t.SetProp(prTransactionReadOnly, true));
    EXPECT_TRUE(t.GetReadOnly());
    EXPECT_FALSE(t.SetProp(prAutoCommit, true));
    TestConnection c;
    EXPECT_TRUE(t.AddConnection(&c));
    EXPECT_FALSE(t.AddConnection(&c));
    EXPECT_TRUE(t.RemoveConnection(&c));
    EXPECT_FALSE(t.RemoveConnection(&c));
}

TEST(TCRConnection, ErrorHookLoop) {
    Exception error(std::string_view("#08S01Lost connection"));
    struct Case {
        const char* what;
        int failConnects;
        std::vector<bool> reconnectAt;  // the hook's answer per attempt
        bool raiseFailOver;
        int calls, connects, disconnects, successes, reconnectErrors;
        bool throwsFailOver;
    };
    const std::vector<Case> cases{
        {"no reconnect asked", 0, {false}, false, 1, 0, 0, 0, 0, false},
        {"reconnect succeeds", 0, {true}, false, 1, 1, 1, 1, 0, false},
        {"reconnect succeeds and failover is raised", 0, {true}, true, 1, 1, 1, 1, 0, true},
        {"reconnects fail until the hook gives up", 2, {true, true, false}, false, 3, 2, 1, 0, 1, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        TestConnection c;
        c.failConnects = k.failConnects;
        int calls = 0, successes = 0, reconnectErrors = 0;
        bool connectedInReconnectError = false;
        c.FOnError = [&](Exception& e, bool& fail, TConLostCause, int attempt, bool& reconnect, bool& failOver) {
            ++calls;
            EXPECT_EQ(attempt, calls);
            EXPECT_EQ(&e, &error);
            EXPECT_TRUE(fail);
            reconnect = static_cast<std::size_t>(attempt - 1) < k.reconnectAt.size() && k.reconnectAt[attempt - 1];
            failOver = k.raiseFailOver;
            bool dummy = true;
            c.DoError(e, dummy);  // re-entry is ignored
        };
        c.FOnReconnectSuccess = [&] { ++successes; };
        c.FOnReconnectError = [&] {
            ++reconnectErrors;
            connectedInReconnectError = c.GetConnected();
        };
        bool fail = true;
        bool threw = false;
        try {
            c.DoError(error, fail);
        } catch (const EFailOver&) {
            threw = true;
        }
        EXPECT_EQ(threw, k.throwsFailOver);
        EXPECT_EQ(calls, k.calls);
        EXPECT_EQ(c.connects, k.connects);
        EXPECT_EQ(c.disconnects, k.disconnects);
        EXPECT_EQ(successes, k.successes);
        EXPECT_EQ(reconnectErrors, k.reconnectErrors);
        if (k.reconnectErrors) {
            EXPECT_TRUE(connectedInReconnectError);
        }
        for (int t : c.timeoutsAtDisconnect) EXPECT_EQ(t, 1);
        EXPECT_EQ(c.timeout, 15);
    }
}

// ---------------------------------------------------------------------------------------------
// Record set base

class TestCommand : public TCRCommand {
public:
    int executes = 0;
    bool failExecute = false;
    TCursorState state = csInactive;
    bool GetPrepared() const override { return false; }
    void Execute() override {
        ++executes;
        if (failExecute) throw Exception(std::string_view("execute failed"));
        FCommandType = ctCursor;
        state = csExecuted;
    }
    TCursorState GetCursorState() const override { return state; }
    void SetCursorState(TCursorState s) override { state = s; }
};

// Feeds `rows` integers 1..rows into the store, in blocks of FetchRows.
class TestRecordSet : public TCRRecordSet {
public:
    int rows = 0;
    int given = 0;
    bool failFetch = false;
    TestCommand& Cmd() { return static_cast<TestCommand&>(*GetCommand()); }
    using TCRRecordSet::ExecFetch;

protected:
    std::unique_ptr<TCRCommand> CreateCommand() override { return std::make_unique<TestCommand>(); }
    void CreateFieldDescs() override {
        auto f = CreateFieldDesc();
        f->FName = std::u16string(1, u'n');
        f->FFieldNo = 1;
        f->SetDataType(dtInt32);
        AddField(std::move(f));
    }
    void StartFetching() override { Cmd().state = csFetching; }
    bool FetchingAccessible(bool) override { return Cmd().state != csFetched; }
    int FetchBlock(TBlockHeader* block, bool) override {
        if (failFetch) throw Exception(std::string_view("fetch failed"));
        int n = 0;
        for (; n < FetchRows() && given < rows; ++n) PutInteger(Field(0), BlockRecord(block, n), ++given);
        if (given == rows) Cmd().state = csFetched;
        return n;
    }
};

std::vector<int64_t> Values(const TestRecordSet& rs) {
    std::vector<int64_t> out;
    for (const TItemHeader* i = rs.FirstItem(); i; i = TMemData::NextItem(i)) {
        int64_t v = 0;
        EXPECT_TRUE(rs.GetInteger(rs.Field(0), rs.RecordOf(i), v));
        out.push_back(v);
    }
    return out;
}

TEST(TCRRecordSet, OpenExecutesDescribesAndFetches) {
    for (const bool fetchAll : {true, false}) {
        SCOPED_TRACE(fetchAll);
        TestRecordSet rs;
        rs.rows = 60;
        EXPECT_TRUE(rs.SetProp(prFetchAll, fetchAll));
        EXPECT_TRUE(rs.SetProp(prFetchRows, int32_t{25}));
        std::vector<bool> after;
        rs.FAfterExecFetch = [&](bool ok) { after.push_back(ok); };
        rs.Open();
        EXPECT_TRUE(rs.Active());
        EXPECT_EQ(rs.Cmd().executes, 1);
        TVariant v;
        ASSERT_TRUE(rs.Cmd().GetProp(prBatchIters, v));
        EXPECT_EQ(v, TVariant(int32_t{1}));
        EXPECT_EQ(after, std::vector<bool>{true});
        EXPECT_TRUE(rs.RowsReturn());
        const auto values = Values(rs);
        ASSERT_EQ(values.size(), fetchAll ? 60u : 25u);
        for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i], int64_t(i + 1));
        EXPECT_EQ(rs.CanDisconnect(), fetchAll);
        rs.Close();
    }
}

TEST(TCRRecordSet, FailedOpenResetsTheCursorAndReports) {
    TestRecordSet rs;
    rs.rows = 10;
    rs.SetProp(prFetchAll, true);
    std::vector<bool> after;
    rs.FAfterExecFetch = [&](bool ok) { after.push_back(ok); };
    rs.failFetch = true;
    EXPECT_EQ(MessageOf([&] { rs.Open(); }), u"fetch failed");
    EXPECT_FALSE(rs.Active());
    EXPECT_EQ(rs.Cmd().state, csInactive);
    EXPECT_EQ(after, std::vector<bool>{false});

    rs.failFetch = false;
    rs.Cmd().failExecute = true;
    EXPECT_EQ(MessageOf([&] { rs.Open(); }), u"execute failed");
    EXPECT_EQ(after, (std::vector<bool>{false, false}));
}

TEST(TCRRecordSet, Properties) {
    TestRecordSet rs;
    rs.SetProp(prLockFetchAll, true);
    rs.SetProp(prFetchAll, true);
    EXPECT_FALSE(rs.GetFetchAll());  // locked
    rs.SetProp(prLockFetchAll, false);
    rs.SetProp(prFetchAll, true);
    EXPECT_TRUE(rs.GetFetchAll());
    EXPECT_EQ(MessageOf([&] { rs.SetProp(prFetchRows, int32_t{0}); }), u"Invalid FetchRows value: 0");
    EXPECT_EQ(MessageOf([&] { rs.SetProp(1001, true); }), u"Assertion failure: unknown property code 1001");
    rs.SetSQL(u"select :a");
    EXPECT_EQ(rs.GetCommand()->GetSQL(), u"select ?");
    EXPECT_FALSE(rs.RowsReturn());
    EXPECT_TRUE(rs.CanDisconnect());
}

} // namespace
} // namespace rivalon

#pragma once
// A provider with the smallest implementation classes the contract allows, for the component
// tests: registry, option application, component parse.
#include <string>
#include <utility>
#include <vector>

#include "components/UniProvider.h"
#include "dac/mysql/MyParser.h"

namespace rivalon::test {

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

inline int gLiveProviders = 0;
inline std::vector<std::string> gCreated;

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
    const TFieldTypeMap& GetFieldTypeMapClass() const override { return TFieldTypeMap::Default(); }
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

} // namespace rivalon::test

#include "components/UniProvider.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dac/common/DatabaseError.h"
#include "components/TestProvider.h"
#include "platform/Exception.h"
#include "support/MessageOf.h"

namespace rivalon {
namespace {

using namespace rivalon::test;


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
    EXPECT_EQ(p.GetFieldTypeMapClass().GetDataType(ftInteger), dtInt32);

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

} // namespace
} // namespace rivalon

#include "components/UniProvider.h"

#include <typeindex>

#include "dac/common/DatabaseError.h"
#include "platform/Exception.h"

namespace rivalon {

TUniSqlFormatter::~TUniSqlFormatter() = default;

// ---------------------------------------------------------------------------------------------
// TUniProvider

TUniProvider::TUniProvider() = default;
TUniProvider::~TUniProvider() = default;

void TUniProvider::CreateOptions() {
    CreateConnectionOptions();
    CreateSQLOptions();
    CreateDataSetOptions();
    CreateScriptOptions();
    CreateLoaderOptions();
    CreateDumpOptions();
    CreateAlerterOptions();
    CreateTransactionOptions();
}

std::unique_ptr<TOptionsList> TUniProvider::NewOptionsList() const {
    return std::make_unique<TOptionsList>(GetProviderName());
}

void TUniProvider::CreateScriptOptions() {
    if (!FScriptOptions) FScriptOptions = NewOptionsList();
}
void TUniProvider::CreateLoaderOptions() {
    if (!FLoaderOptions) FLoaderOptions = NewOptionsList();
}
void TUniProvider::CreateDumpOptions() {
    if (!FDumpOptions) FDumpOptions = NewOptionsList();
}
void TUniProvider::CreateAlerterOptions() {
    if (!FAlerterOptions) FAlerterOptions = NewOptionsList();
}
void TUniProvider::CreateTransactionOptions() {
    if (!FTransactionOptions) FTransactionOptions = NewOptionsList();
}

// Each getter makes sure its list exists, so a provider used before CreateOptions still answers.
#define RIVALON_OPTIONS_GETTER(Name)                  \
    TOptionsList& TUniProvider::Get##Name##Options() { \
        if (!F##Name##Options) Create##Name##Options(); \
        if (!F##Name##Options) F##Name##Options = NewOptionsList(); \
        return *F##Name##Options;                     \
    }
RIVALON_OPTIONS_GETTER(Connection)
RIVALON_OPTIONS_GETTER(SQL)
RIVALON_OPTIONS_GETTER(DataSet)
RIVALON_OPTIONS_GETTER(Script)
RIVALON_OPTIONS_GETTER(Loader)
RIVALON_OPTIONS_GETTER(Dump)
RIVALON_OPTIONS_GETTER(Alerter)
RIVALON_OPTIONS_GETTER(Transaction)
#undef RIVALON_OPTIONS_GETTER

TOptionsList* TUniProvider::GetOptionsListFor(const TCRObject& object) {
    if (dynamic_cast<const TCRConnection*>(&object)) return &GetConnectionOptions();
    if (dynamic_cast<const TCRRecordSet*>(&object)) return &GetDataSetOptions();
    if (dynamic_cast<const TCRCommand*>(&object)) return &GetSQLOptions();
    if (dynamic_cast<const TCRTransaction*>(&object)) return &GetTransactionOptions();
    return nullptr;
}

void TUniProvider::SetObjectProps(TCRObject& object, const std::vector<std::u16string>& options) {
    TOptionsList* list = GetOptionsListFor(object);
    if (!list) return;
    list->ImportOptions(options, typeid(object),
                        [&object](int code, const TVariant& value) { object.SetProp(code, value); });
    // A record set's options go once more to its command (only those whose classes hold the
    // command's class apply there).
    if (auto* recordSet = dynamic_cast<TCRRecordSet*>(&object)) {
        TCRCommand& command = *recordSet->GetCommand();
        list->ImportOptions(options, typeid(command),
                            [&command](int code, const TVariant& value) { command.SetProp(code, value); });
    }
}

// ---------------------------------------------------------------------------------------------
// Registry

TUniProviderDesc::TUniProviderDesc(std::u16string name, std::u16string shortName, std::u16string packageName,
                                   std::u16string assemblyName, std::u16string siblingProduct)
    : FProviderName(std::move(name)), FProviderShortName(std::move(shortName)),
      FPackageName(std::move(packageName)), FAssemblyName(std::move(assemblyName)),
      FSiblingProduct(std::move(siblingProduct)) {}

TUniProviderDesc::~TUniProviderDesc() = default;

TUniProviders::TUniProviders() = default;
TUniProviders::~TUniProviders() = default;

TUniProviderDesc* TUniProviders::FindLocked(const std::u16string& name) const {
    for (const auto& d : FItems)
        if (SameTextAscii(d->FProviderName, name)) return d.get();
    return nullptr;
}

TUniProviderDesc* TUniProviders::GetLocked(const std::u16string& name) const {
    TUniProviderDesc* desc = FindLocked(name);
    if (!desc) throw Exception(name + u" is not a valid provider name");
    return desc;
}

void TUniProviders::RegisterProviderDesc(const std::u16string& name, const std::u16string& shortName,
                                         const std::u16string& packageName, const std::u16string& assemblyName,
                                         const std::u16string& siblingProduct) {
    std::lock_guard lock(FLock);
    if (FindLocked(name)) return;
    FItems.push_back(std::make_unique<TUniProviderDesc>(name, shortName, packageName, assemblyName, siblingProduct));
}

void TUniProviders::RegisterProvider(TUniProviderFactory factory) {
    auto provider = factory();
    provider->CreateOptions();
    const std::u16string name = provider->GetProviderName();
    std::unique_ptr<TUniProvider> old;  // freed outside the lock
    {
        std::lock_guard lock(FLock);
        TUniProviderDesc* desc = GetLocked(name);
        old = std::move(desc->FProvider);
        desc->FProvider = std::move(provider);
    }
}

void TUniProviders::UnRegisterProvider(const std::u16string& name) {
    std::unique_ptr<TUniProvider> old;
    {
        std::lock_guard lock(FLock);
        if (TUniProviderDesc* desc = FindLocked(name)) old = std::move(desc->FProvider);
    }
}

TUniProviderDesc* TUniProviders::FindProviderDesc(const std::u16string& name) {
    std::lock_guard lock(FLock);
    return FindLocked(name);
}

TUniProviderDesc* TUniProviders::GetProviderDesc(const std::u16string& name) {
    std::lock_guard lock(FLock);
    return GetLocked(name);
}

TUniProvider* TUniProviders::GetProvider(const std::u16string& name) {
    std::lock_guard lock(FLock);
    TUniProviderDesc* desc = FindLocked(name);
    return desc ? desc->FProvider.get() : nullptr;
}

void TUniProviders::CheckProviderName(const std::u16string& name) {
    if (name.empty()) throw EDatabaseError(u"Provider is not defined");
    std::lock_guard lock(FLock);
    const TUniProviderDesc* desc = GetLocked(name);
    if (desc->FProvider) return;
    const std::u16string unit = desc->FProviderShortName + u"UniProvider";
    throw Exception(desc->FProviderName + u" provider is not registered. You should add the " + unit +
                    u" unit to the uses clause of any unit in your project or place the T" + unit +
                    u" component on the form.");
}

std::size_t TUniProviders::Count() {
    std::lock_guard lock(FLock);
    return FItems.size();
}

namespace {

// The database kinds the components know by name; only those whose provider is linked in (MySQL
// in this program) ever get a provider.
void RegisterKnownKinds(TUniProviders& registry) {
    static const struct {
        const char16_t* name;
        const char16_t* shortName;
    } kinds[] = {
        {u"Access", u"Access"},         {u"Advantage", u"Advantage"},
        {u"ASE", u"ASE"},               {u"BigCommerce", u"BigCommerce"},
        {u"ClickHouse", u"ClickHouse"}, {u"DB2", u"DB2"},
        {u"DBF", u"DBF"},               {u"Dynamics 365", u"Dynamics365"},
        {u"Firebird", u"Firebird"},     {u"FreshBooks", u"FreshBooks"},
        {u"InterBase", u"InterBase"},   {u"Magento", u"Magento"},
        {u"MailChimp", u"MailChimp"},   {u"MongoDB", u"MongoDB"},
        {u"MySQL", u"MySQL"},           {u"NetSuite", u"NetSuite"},
        {u"NexusDB", u"NexusDB"},       {u"ODBC", u"ODBC"},
        {u"Oracle", u"Oracle"},         {u"PostgreSQL", u"PostgreSQL"},
        {u"QuickBooks", u"QuickBooks"}, {u"Redshift", u"Redshift"},
        {u"Salesforce", u"Salesforce"}, {u"Salesforce MC", u"SalesforceMC"},
        {u"Snowflake", u"Snowflake"},   {u"SQL Server", u"SQLServer"},
        {u"SQLite", u"SQLite"},         {u"SugarCRM", u"SugarCRM"},
        {u"Zoho CRM", u"ZohoCRM"},
    };
    for (const auto& k : kinds) {
        std::u16string package = k.shortName;
        for (auto& c : package)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        registry.RegisterProviderDesc(k.name, k.shortName, package + u"provider");
    }
}

} // namespace

TUniProviders& UniProviders() {
    static TUniProviders registry;
    static const bool filled = (RegisterKnownKinds(registry), true);
    (void)filled;
    return registry;
}

} // namespace rivalon

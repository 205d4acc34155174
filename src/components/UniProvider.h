#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dac/common/CRAccess.h"
#include "dac/common/CRParser.h"
#include "dac/common/MemDS.h"

namespace rivalon {

// What the components need of a provider's SQL formatter here: the identifier quotes.
class TUniSqlFormatter {
public:
    virtual ~TUniSqlFormatter();
    virtual char16_t LeftQuote() const { return u'"'; }
    virtual char16_t RightQuote() const { return u'"'; }
};

// A registered provider: names the classes that implement the contract for one database kind
// and lists that kind's options. One instance per process, owned by the registry.
class TUniProvider {
public:
    TUniProvider();
    TUniProvider(const TUniProvider&) = delete;
    TUniProvider& operator=(const TUniProvider&) = delete;
    virtual ~TUniProvider();

    // Creates the eight option lists in their order (the registry calls it on a new instance,
    // since a constructor cannot reach a descendant's creators).
    void CreateOptions();

    virtual std::u16string GetProviderName() const = 0;
    virtual bool IsServerSupported() const { return true; }
    virtual bool IsDatabaseSupported() const { return false; }
    virtual bool IsPortSupported() const { return false; }
    virtual bool IsDataSetNeedTransaction() const { return false; }
    virtual bool IsParamsSupported() const { return true; }
    virtual bool IsInOutParamSupported() const { return true; }
    virtual bool IsPoolingSupported() const { return true; }
    virtual bool IsStoredProcSupported() const { return true; }
    virtual bool IsUpdateSQLSupported() const { return true; }
    virtual bool IsMacrosSupported() const { return true; }
    virtual bool NeedRecreateProcCall() const { return false; }
    virtual bool NeedComplexUpdateFieldDefList() const { return false; }
    virtual bool NeedNativeParseSQL() const { return false; }
    virtual bool NeedBlobUnicode() const { return false; }

    virtual TCRClass<TCRConnection> GetConnectionClass() const = 0;
    virtual TParserClass GetParserClass() const = 0;
    virtual TCRClass<TUniSqlFormatter> GetSqlFormatterClass() const = 0;
    // The field type <-> data type maps of this provider (stateless, shared).
    virtual const TFieldTypeMap& GetFieldTypeMapClass() const = 0;
    virtual std::u16string CheckParamName(const std::u16string& name) const { return name; }
    virtual std::u16string DefaultTableSchema() const { return {}; }

    // Applies the provider options of `options` (one "[prefix.]name=value" per line) to one
    // implementation object: the list is chosen by the object's kind, and every option of it
    // whose classes hold the object's exact class is set, with its default when not listed.
    virtual void SetObjectProps(TCRObject& object, const std::vector<std::u16string>& options);

    TOptionsList& GetConnectionOptions();
    TOptionsList& GetSQLOptions();
    TOptionsList& GetDataSetOptions();
    TOptionsList& GetScriptOptions();
    TOptionsList& GetLoaderOptions();
    TOptionsList& GetDumpOptions();
    TOptionsList& GetAlerterOptions();
    TOptionsList& GetTransactionOptions();

protected:
    // Each fills its list, creating it first; nothing happens when the list already exists.
    virtual void CreateConnectionOptions() = 0;
    virtual void CreateSQLOptions() = 0;
    virtual void CreateDataSetOptions() = 0;
    virtual void CreateScriptOptions();
    virtual void CreateLoaderOptions();
    virtual void CreateDumpOptions();
    virtual void CreateAlerterOptions();
    virtual void CreateTransactionOptions();
    // The options list of an object's kind, or nullptr when the provider has none for it.
    virtual TOptionsList* GetOptionsListFor(const TCRObject& object);
    // An empty list with this provider's prefix.
    std::unique_ptr<TOptionsList> NewOptionsList() const;

    std::unique_ptr<TOptionsList> FConnectionOptions;
    std::unique_ptr<TOptionsList> FSQLOptions;
    std::unique_ptr<TOptionsList> FDataSetOptions;
    std::unique_ptr<TOptionsList> FScriptOptions;
    std::unique_ptr<TOptionsList> FLoaderOptions;
    std::unique_ptr<TOptionsList> FDumpOptions;
    std::unique_ptr<TOptionsList> FAlerterOptions;
    std::unique_ptr<TOptionsList> FTransactionOptions;
};

using TUniProviderFactory = std::unique_ptr<TUniProvider> (*)();

class TUniProviderDesc {
public:
    TUniProviderDesc(std::u16string name, std::u16string shortName, std::u16string packageName,
                     std::u16string assemblyName, std::u16string siblingProduct);
    ~TUniProviderDesc();

    const std::u16string& GetProviderName() const { return FProviderName; }
    const std::u16string& GetProviderShortName() const { return FProviderShortName; }
    const std::u16string& GetPackageName() const { return FPackageName; }
    const std::u16string& GetAssemblyName() const { return FAssemblyName; }
    const std::u16string& GetSiblingProduct() const { return FSiblingProduct; }
    TUniProvider* GetProvider() const { return FProvider.get(); }

private:
    friend class TUniProviders;
    std::u16string FProviderName;
    std::u16string FProviderShortName;
    std::u16string FPackageName;
    std::u16string FAssemblyName;
    std::u16string FSiblingProduct;
    std::unique_ptr<TUniProvider> FProvider;
};

// The provider registry: a locked list of descriptors, each of which may hold one provider.
// Descriptors are never removed while the registry lives, so the pointers it hands out stay
// valid; a descriptor's provider changes only by (un)registration.
class TUniProviders {
public:
    TUniProviders();
    TUniProviders(const TUniProviders&) = delete;
    TUniProviders& operator=(const TUniProviders&) = delete;
    ~TUniProviders();

    // Adds a descriptor unless one of that name exists.
    void RegisterProviderDesc(const std::u16string& name, const std::u16string& shortName,
                              const std::u16string& packageName = {}, const std::u16string& assemblyName = {},
                              const std::u16string& siblingProduct = {});
    // Creates a provider and attaches it to the descriptor of its name, freeing any provider
    // attached before; "%s is not a valid provider name" when there is no such descriptor.
    void RegisterProvider(TUniProviderFactory factory);
    template <class T>
    void RegisterProvider() {
        RegisterProvider([]() -> std::unique_ptr<TUniProvider> { return std::make_unique<T>(); });
    }
    // Frees the provider attached to the descriptor of that name, if any.
    void UnRegisterProvider(const std::u16string& name);

    // First descriptor whose name equals `name` ignoring ASCII case; nullptr when none.
    TUniProviderDesc* FindProviderDesc(const std::u16string& name);
    // The same; raises "%s is not a valid provider name" when none.
    TUniProviderDesc* GetProviderDesc(const std::u16string& name);
    // The descriptor's provider; nullptr when there is no descriptor or no provider.
    TUniProvider* GetProvider(const std::u16string& name);
    // Raises why `name` gives no provider: EDatabaseError "Provider is not defined" for an
    // empty name, the invalid-name message, or the not-registered message.
    void CheckProviderName(const std::u16string& name);

    std::size_t Count();

private:
    TUniProviderDesc* FindLocked(const std::u16string& name) const;
    TUniProviderDesc* GetLocked(const std::u16string& name) const;

    std::mutex FLock;
    std::vector<std::unique_ptr<TUniProviderDesc>> FItems;
};

// The process-wide registry, holding the descriptors of every database kind the components
// know from its creation on.
TUniProviders& UniProviders();

} // namespace rivalon

#pragma once
#include <string>
#include <vector>

#include "components/UniProvider.h"

namespace rivalon {

// The query's command object. For now only its component parse: the parameter collection of a
// text, built while no provider connection exists (the full command comes with the components).
class TUniSQL {
public:
    TUniSQL();
    ~TUniSQL();

    // The provider of the command's connection; nullptr while it has none.
    TUniProvider* UsedProvider() const { return FProvider; }
    void SetProvider(TUniProvider* provider) { FProvider = provider; }

    // The text with every marker replaced by "?"; `params` (when given) is cleared and receives
    // the distinct parameter names in order of first appearance, compared ignoring case. Without
    // `params` the markers stay in the text.
    std::u16string ParseSQL(const std::u16string& sql, std::vector<std::u16string>* params) const;

private:
    TUniProvider* FProvider = nullptr;
};

} // namespace rivalon

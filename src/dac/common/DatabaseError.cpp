#include "dac/common/DatabaseError.h"

namespace rivalon {

void DatabaseError(std::u16string_view message, std::u16string_view componentName) {
    if (componentName.empty()) throw EDatabaseError(std::u16string(message));
    std::u16string text;
    text.reserve(componentName.size() + 2 + message.size());
    text.append(componentName).append(u": ").append(message);
    throw EDatabaseError(std::move(text));
}

} // namespace rivalon

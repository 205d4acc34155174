#pragma once
#include <string>
#include <string_view>

#include "platform/Exception.h"

namespace rivalon {

// Errors of the data-set layer (binding, field lookup, unsupported types) and the base of the
// data-access errors (EDAError and the provider and component errors above it).
class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};

// Raises EDatabaseError with the message, preceded by the component's name and ": " when it
// has one.
[[noreturn]] void DatabaseError(std::u16string_view message, std::u16string_view componentName = {});

} // namespace rivalon

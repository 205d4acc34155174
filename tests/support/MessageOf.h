#pragma once
#include <string>
#include <utility>

#include "platform/Exception.h"

namespace rivalon::test {

// The message of the system exception that `f` raises, or "<no exception>" when it raises none.
template <class F>
std::u16string MessageOf(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const Exception& e) {
        return e.Message();
    }
    return u"<no exception>";
}

} // namespace rivalon::test

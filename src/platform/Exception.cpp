#include "platform/Exception.h"

#include "platform/CodePage.h"

namespace rivalon {

Exception::Exception(std::u16string message)
    : FMessage(std::move(message)), FWhat(Utf16ToUtf8(FMessage)) {}

Exception::Exception(std::string_view utf8Message)
    : FMessage(Utf8ToUtf16(utf8Message)), FWhat(utf8Message) {}

void Exception::SetMessage(std::u16string message) {
    FMessage = std::move(message);
    FWhat = Utf16ToUtf8(FMessage);
}

} // namespace rivalon

// libFuzzer entry for the ok_eof_err decoder (preset "fuzz"); see FuzzHarness.h for the input layout.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    rivalon::fuzz::FuzzOkEofErr({data, size});
    return 0;
}

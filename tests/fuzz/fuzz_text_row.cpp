// libFuzzer entry for the text_row decoder (preset "fuzz"); see FuzzHarness.h for the input layout.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    rivalon::fuzz::FuzzTextRow({data, size});
    return 0;
}

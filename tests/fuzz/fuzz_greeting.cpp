// libFuzzer entry for the greeting decoder (preset "fuzz"); see FuzzHarness.h for the input layout.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    rivalon::fuzz::FuzzGreeting({data, size});
    return 0;
}

// libFuzzer entry for the rsa_key decoder (preset "fuzz"); see FuzzHarness.h for the input layout.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    rivalon::fuzz::FuzzRsaKey({data, size});
    return 0;
}

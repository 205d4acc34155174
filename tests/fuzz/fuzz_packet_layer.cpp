// libFuzzer entry for the packet_layer decoder (preset "fuzz"); see FuzzHarness.h for the input layout.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    rivalon::fuzz::FuzzPacketLayer({data, size});
    return 0;
}

// The fuzz harnesses as ordinary tests: every committed seed of every decoder, plus a bounded and
// deterministic set of mutations of it (cut at every point, bytes flipped or replaced by the
// protocol's length prefixes, length fields inflated). Only the system's own refusals may come
// out; the sanitizer build tells whether anything was read outside its buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz/FuzzHarness.h"

using namespace rivalon::fuzz;

namespace rivalon::fuzz {
// Test names and failure lines show the decoder's name.
void PrintTo(const TFuzzTarget& target, std::ostream* os) { *os << target.Name; }
} // namespace rivalon::fuzz

namespace {

using TInput = std::vector<std::uint8_t>;

std::filesystem::path CorpusDir(std::string_view target) {
    return std::filesystem::path(RIVALON_FUZZ_CORPUS_DIR) / std::string(target);
}

std::vector<std::pair<std::string, TInput>> Seeds(std::string_view target) {
    std::vector<std::pair<std::string, TInput>> seeds;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(CorpusDir(target), ec)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back(entry.path().filename().string(),
                           TInput(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    std::sort(seeds.begin(), seeds.end());
    return seeds;
}

std::string Hex(const TInput& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 96; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    if (bytes.size() > 96) out += "...";
    return out;
}

// Calls `run` for the seed and each of its mutations. Large seeds are mutated at a stride, so no
// seed costs more than a few thousand executions.
template <class F> void ForEachMutation(const TInput& seed, F&& run) {
    run(seed);
    const std::size_t n = seed.size();
    for (std::size_t cut = 0; cut < n; ++cut) run(TInput(seed.begin(), seed.begin() + cut));
    const std::size_t stride = std::max<std::size_t>(1, n / 96);
    static const std::uint8_t kValues[] = {0x00, 0xFF, 0xFB, 0xFC, 0xFD, 0xFE};
    for (std::size_t i = 0; i < n; i += stride) {
        TInput m = seed;
        for (std::uint8_t mask : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
            m[i] = seed[i] ^ mask;
            run(m);
        }
        for (std::uint8_t v : kValues) {
            if (seed[i] == v) continue;
            m[i] = v;
            run(m);
        }
        m[i] = seed[i];
        // Length fields (2, 3 and 4 bytes wide) inflated to their largest value.
        for (std::size_t width : {2u, 3u, 4u}) {
            if (i + width > n) break;
            TInput w = seed;
            std::fill_n(w.begin() + static_cast<std::ptrdiff_t>(i), width, std::uint8_t{0xFF});
            run(w);
        }
    }
}

class Replay : public ::testing::TestWithParam<TFuzzTarget> {};

TEST_P(Replay, SeedsAndMutationsAreRefusedCleanly) {
    const TFuzzTarget& target = GetParam();
    const auto seeds = Seeds(target.Name);
    ASSERT_FALSE(seeds.empty()) << "no seeds in " << CorpusDir(target.Name);
    int failures = 0;
    std::size_t runs = 0;
    for (const auto& [name, seed] : seeds) {
        ForEachMutation(seed, [&](const TInput& input) {
            ++runs;
            std::string what;
            try {
                // An exact-size heap copy: a read past its end is an over-read the sanitizer sees.
                const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[input.size()]);
                std::copy(input.begin(), input.end(), copy.get());
                target.Run({copy.get(), input.size()});
                return;
            } catch (const EContractViolation& e) {
                what = std::string("contract: ") + e.what();
            } catch (const std::exception& e) {
                what = std::string("escaped ") + typeid(e).name() + ": " + e.what();
            } catch (...) {
                what = "escaped a non-standard exception";
            }
            if (++failures <= 10) ADD_FAILURE() << name << ": " << what << "\n  input " << Hex(input);
        });
    }
    EXPECT_EQ(failures, 0) << "of " << runs << " inputs";
    RecordProperty("inputs", static_cast<int>(runs));
}

INSTANTIATE_TEST_SUITE_P(Decoders, Replay, ::testing::ValuesIn(FuzzTargets),
                         [](const ::testing::TestParamInfo<TFuzzTarget>& info) {
                             return std::string(info.param.Name);
                         });

TEST(FuzzScript, SplitsByLengthPrefixAndKeepsTheTail) {
    const std::string s = MakeScript({"ab", "", "xyz"});
    EXPECT_EQ(s, std::string("\x02\x00" "ab" "\x00\x00" "\x03\x00" "xyz", 11));
    const TInput bytes(s.begin(), s.end());
    const auto parts = SplitScript(bytes);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0], "ab");
    EXPECT_EQ(parts[1], "");
    EXPECT_EQ(parts[2], "xyz");
    // A length beyond the data takes the rest; a lone byte is a payload of its own.
    const TInput over = {0x09, 0x00, 'q', 'r'};
    ASSERT_EQ(SplitScript(over).size(), 1u);
    EXPECT_EQ(SplitScript(over)[0], "qr");
    const TInput lone = {0x7F};
    ASSERT_EQ(SplitScript(lone).size(), 1u);
    EXPECT_EQ(SplitScript(lone)[0], "\x7F");
}

} // namespace

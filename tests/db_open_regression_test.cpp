// Damaged database files that once crashed the checker or the engine's
// open, kept from the fuzz target that found them: each input names bytes of
// the target's own test database to change.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/db_open_fuzz.cpp"

namespace {

std::vector<uint8_t> fromHex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(DamagedFileRegressionTest, CheckerAndOpenSurvive)
{
    const char* found[] = {
        "8540712071f1",  // a hash index id pointing at something else: dropping it followed garbage
        "94968075359000c8",  // a hash item naming an internal object: the checker read it as a row
        "7a4071713d",  // a T-tree on a field whose stored type has no key order
        "2900000000000015000000005b00",  // a cleanly closed file whose working index differs from the committed one
        "36bfbec005000000000015000000c00a00000140",  // a working index lying on objects: recovery's copy overwrote them
    };
    for (const char* hex : found) {
        std::vector<uint8_t> input = fromHex(hex);
        EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0) << hex;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace

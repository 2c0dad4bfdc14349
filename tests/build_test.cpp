#include <gtest/gtest.h>
#include <filesystem>

// The build puts both programs where the scripts and the later tests expect them.
TEST(Build, ProgramsAreBuilt)
{
    EXPECT_TRUE(std::filesystem::exists(TARNWICKE_BINARY_DIR "/tarnwicke"));
    EXPECT_TRUE(std::filesystem::exists(TARNWICKE_BINARY_DIR "/tarnwicke-db"));
}

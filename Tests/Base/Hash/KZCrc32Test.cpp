#include "Base/Hash/KZCrc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <zlib.h>

TEST(KZCrc32Test, MatchesThePublishedCheckAndZlibInAnyPieces)
{
    EXPECT_EQ(KZCrc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(KZCrc32(0, nullptr, 0), 0u);
    std::mt19937 rng(11);
    std::string strContent(3 << 20, '\0');
    for (char& c : strContent)
        c = static_cast<char>(rng());
    const uint32_t dwWhole = KZCrc32(0, strContent.data(), strContent.size());
    EXPECT_EQ(dwWhole, crc32(0L, reinterpret_cast<const Bytef*>(strContent.data()), static_cast<uInt>(strContent.size())));
    uint32_t dwChained = 0;
    for (size_t at = 0; at < strContent.size();)
    {
        const size_t piece = std::min<size_t>(1 + rng() % 5000, strContent.size() - at);
        dwChained = KZCrc32(dwChained, strContent.data() + at, piece);
        at += piece;
    }
    EXPECT_EQ(dwChained, dwWhole);
}

#include "Base/Archive/KZRawInflater.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>
#include <zlib.h>

namespace
{
// Game-like bytes: random runs and repeated records, so that the stream has stored, fixed and
// dynamic blocks and long matches.
std::string MixedContent(size_t size)
{
    std::mt19937 rng(7);
    std::string strOut;
    while (strOut.size() < size)
    {
        if (rng() % 3 == 0)
            for (int i = 0; i < 5000; ++i)
                strOut += static_cast<char>(rng());
        else
            for (int i = 0; i < 300; ++i)
                strOut += "record " + std::to_string(rng() % 50) + ";";
    }
    strOut.resize(size);
    return strOut;
}

// zlib's raw deflate of the content: the writer is not ours.
std::vector<uint8_t> Deflate(const std::string& strContent, int level)
{
    z_stream stream = {};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> vecOut(deflateBound(&stream, strContent.size()));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strContent.data()));
    stream.avail_in = static_cast<uInt>(strContent.size());
    stream.next_out = vecOut.data();
    stream.avail_out = static_cast<uInt>(vecOut.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    vecOut.resize(stream.total_out);
    deflateEnd(&stream);
    return vecOut;
}

// Inflates in pieces of at most inPiece and outPiece bytes; the result, or "DAMAGED"/"SHORT".
std::string InflateInPieces(const std::vector<uint8_t>& vecIn, size_t inPiece, size_t outPiece)
{
    CKZRawInflater inflater;
    std::string strOut;
    std::vector<uint8_t> vecBuffer(outPiece);
    size_t at = 0;
    for (int idle = 0; idle < 4;)
    {
        const size_t offered = std::min(inPiece, vecIn.size() - at);
        const uint8_t* pIn = vecIn.data() + at;
        size_t inLeft = offered;
        size_t produced = 0;
        const CKZRawInflater::EResult result = inflater.Inflate(pIn, inLeft, vecBuffer.data(), outPiece, produced);
        at += offered - inLeft;
        strOut.append(reinterpret_cast<const char*>(vecBuffer.data()), produced);
        if (result == CKZRawInflater::RESULT_DAMAGED)
            return "DAMAGED";
        if (result == CKZRawInflater::RESULT_END)
            return strOut;
        idle = produced == 0 && offered == inLeft ? idle + 1 : 0;
    }
    return "SHORT";
}
} // namespace

TEST(KZRawInflaterTest, ZlibStreamsInflateWhateverThePieces)
{
    const std::string strContent = MixedContent(300000);
    for (int level : {0, 1, 6, 9})
    {
        const std::vector<uint8_t> vecStream = Deflate(strContent, level);
        EXPECT_EQ(InflateInPieces(vecStream, vecStream.size(), strContent.size() + 1), strContent) << "level " << level;
        EXPECT_EQ(InflateInPieces(vecStream, 1, 7), strContent) << "level " << level;
        EXPECT_EQ(InflateInPieces(vecStream, 4096, 1 << 20), strContent) << "level " << level;
    }
    EXPECT_EQ(InflateInPieces(Deflate("", 6), 1, 1), "");
}

TEST(KZRawInflaterTest, DamagedAndCutStreamsAreNeverTakenForWhole)
{
    const std::string strContent = MixedContent(100000);
    std::vector<uint8_t> vecStream = Deflate(strContent, 6);
    std::vector<uint8_t> vecCut(vecStream.begin(), vecStream.begin() + static_cast<long>(vecStream.size() / 2));
    EXPECT_EQ(InflateInPieces(vecCut, 1000, 1 << 20), "SHORT");
    std::vector<uint8_t> vecBadType = vecStream;
    vecBadType[0] |= 0x06; // block type 3 does not exist
    EXPECT_EQ(InflateInPieces(vecBadType, 1000, 1 << 20), "DAMAGED");
    // Arbitrary bytes end one way or the other, never past the buffers.
    std::mt19937 rng(3);
    for (int i = 0; i < 200; ++i)
    {
        std::vector<uint8_t> vecNoise(1 + rng() % 2000);
        for (uint8_t& b : vecNoise)
            b = static_cast<uint8_t>(rng());
        InflateInPieces(vecNoise, 1 + rng() % 64, 1 + rng() % 300);
    }
}

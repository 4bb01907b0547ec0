// The checksum must equal zlib's, or packages built elsewhere would be refused.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "package/CRC32.h"

TEST(Crc32, EqualsZlibOnVariedData) {
  std::mt19937 Random(7);
  for (int Length : {1, 2, 3, 7, 8, 255, 256, 4096, 100000}) {
    std::vector<uint8_t> Data(static_cast<size_t>(Length));
    for (auto& B : Data) B = uint8_t(Random());
    SCOPED_TRACE(Length);
    EXPECT_EQ(CalcCrc32(Data.data(), Length), crc32(0, Data.data(), uInt(Length)));
  }
  const char* Text = "123456789";
  EXPECT_EQ(CalcCrc32(Text, 9), 0xCBF43926u);  // the published check value
}

TEST(Crc32, NoBytesGiveZero) {
  uint8_t Byte = 0xAB;
  EXPECT_EQ(CalcCrc32(&Byte, 0), 0u);
  EXPECT_EQ(CalcCrc32(&Byte, -5), 0u);
}

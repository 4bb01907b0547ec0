// Heap memory of the launcher: large blocks grow in place, so a buffer that grows in steps
// up to hundreds of megabytes is never copied over and over, nor held twice.
#include <cstring>

#include "support/Memory.h"
#include "tests/unit/TestSupport.h"

namespace {

using testsupport::LauncherTest;

TEST_F(LauncherTest, AStreamGrowingInSmallStepsKeepsItsBytesAndNeedsNoSecondCopy) {
  sim::RunInSim([] {
    TStream S;
    std::vector<uint8_t> Chunk(1 << 20);
    for (int I = 0; I < 64; ++I) {
      std::memset(Chunk.data(), I, Chunk.size());
      ASSERT_EQ(S.Write(Chunk.data(), int32_t(Chunk.size())), int32_t(Chunk.size()));
    }
    for (int I = 0; I < 64; ++I) ASSERT_EQ(S.Memory[size_t(I) << 20], I) << I;
    // Never more than the final size (plus a page of bookkeeping) at once.
    EXPECT_LT(sim::Sim().PeakHeapBytes, (size_t(64) << 20) + (size_t(1) << 20));
  });
  EXPECT_TRUE(sim::Sim().Misuses.empty());
}

TEST_F(LauncherTest, BlocksMoveBetweenHeapAndReservedSpaceKeepingTheirBytes) {
  sim::RunInSim([] {
    struct Step {
      size_t Bytes;
    } Steps[] = {{100}, {3 << 20}, {5 << 20}, {2 << 20}, {200}, {4 << 20}, {0}};
    uint8_t* Block = static_cast<uint8_t*>(MemAlloc(16));
    std::memset(Block, 0xA5, 16);
    size_t Live = 16;
    for (const Step& S : Steps) {
      SCOPED_TRACE(S.Bytes);
      Block = static_cast<uint8_t*>(MemRealloc(Block, S.Bytes));
      size_t Kept = Live < S.Bytes ? Live : S.Bytes;
      for (size_t I = 0; I < Kept; I += 4093) ASSERT_EQ(Block[I], 0xA5);
      if (S.Bytes > Live) std::memset(Block + Live, 0xA5, S.Bytes - Live);
      Live = S.Bytes;
    }
    MemFree(Block);
    EXPECT_EQ(sim::Sim().HeapBytes, 0u);
  });
  EXPECT_TRUE(sim::Sim().Misuses.empty());
}

TEST_F(LauncherTest, AFailedReservationOrCommitIsExhaustedMemory) {
  for (uint64_t N : {1, 2}) {
    SCOPED_TRACE(N);
    sim::ResetSim();
    sim::Sim().FailNth("VirtualAlloc", N, /*Persistent=*/true);
    EXPECT_EQ(sim::RunInSim([] { MemAlloc(8 << 20); }), OutOfMemoryExitCode);
    EXPECT_TRUE(sim::Sim().Boxes.empty());
  }
}

}  // namespace

// TStream: the launcher's growable buffer.
#include "tests/unit/TestSupport.h"

namespace {

using testsupport::LauncherTest;

struct StreamState {
  int32_t Size, Position, Capacity;
};

void ExpectState(const TStream& S, StreamState Want) {
  EXPECT_EQ(S.Size, Want.Size);
  EXPECT_EQ(S.Position, Want.Position);
  EXPECT_EQ(S.Capacity, Want.Capacity);
  EXPECT_EQ(S.Memory == nullptr, Want.Capacity == 0);
}

// Each case starts from a stream holding "abcdef" at Position 6 (capacity one step).
struct StreamCase {
  const char* Name;
  void (*Act)(TStream& S, int32_t& Result);
  int32_t Result;
  StreamState After;
};

const StreamCase Cases[] = {
    {"ReadAtEndGivesZero", [](TStream& S, int32_t& R) { char B[4]; R = S.Read(B, 4); }, 0,
     {6, 6, 131072}},
    {"ReadFromNegativePosition",
     [](TStream& S, int32_t& R) { char B[4]; S.Position = -1; R = S.Read(B, 4); }, 0,
     {6, -1, 131072}},
    {"ReadNegativeCount",
     [](TStream& S, int32_t& R) { char B[4]; S.Position = 0; R = S.Read(B, -1); }, 0,
     {6, 0, 131072}},
    {"ReadIsBoundedBySize",
     [](TStream& S, int32_t& R) { char B[8]; S.Position = 4; R = S.Read(B, 8); }, 2,
     {6, 6, 131072}},
    {"WriteOfZeroAtZeroChangesNothing",
     [](TStream& S, int32_t& R) { S.Position = 0; R = S.Write("x", 0); }, 0, {6, 0, 131072}},
    {"WriteFromNegativePosition",
     [](TStream& S, int32_t& R) { S.Position = -3; R = S.Write("xyz", 3); }, 0,
     {6, -3, 131072}},
    {"WritePastSizeGrowsSize", [](TStream& S, int32_t& R) { R = S.Write("xyz", 3); }, 3,
     {9, 9, 131072}},
    {"WriteBeyondGapGrowsSize",
     [](TStream& S, int32_t& R) { S.Position = 10; R = S.Write("x", 1); }, 1, {11, 11, 131072}},
    {"WritePastCapacityRoundsUp",
     [](TStream& S, int32_t& R) {
       static char Big[131072];
       R = S.Write(Big, 131072);
     },
     131072, {131078, 131078, 262144}},
    {"SeekFromStart", [](TStream& S, int32_t& R) { R = S.Seek(2, 0); }, 2, {6, 2, 131072}},
    {"SeekFromCurrent", [](TStream& S, int32_t& R) { R = S.Seek(-10, 1); }, -4, {6, -4, 131072}},
    {"SeekFromEnd", [](TStream& S, int32_t& R) { R = S.Seek(5, 2); }, 11, {6, 11, 131072}},
    {"SeekWithUnknownOrigin", [](TStream& S, int32_t& R) { R = S.Seek(5, 3); }, 6,
     {6, 6, 131072}},
    {"GetSizeKeepsPosition",
     [](TStream& S, int32_t& R) { S.Position = 3; R = S.GetSize(); }, 6, {6, 3, 131072}},
    {"SetSizeBelowPositionMovesIt", [](TStream& S, int32_t& R) { S.SetSize(2); R = 0; }, 0,
     {2, 2, 131072}},
    // A request equal to Size is taken exactly: a final fit, not rounded.
    {"SetCapacityEqualToSizeIsExact", [](TStream& S, int32_t& R) { S.SetCapacity(6); R = 0; },
     0, {6, 6, 6}},
    {"SetCapacityZeroReleases", [](TStream& S, int32_t& R) { S.SetCapacity(0); R = 0; }, 0,
     {6, 6, 0}},
    {"ClearResetsAll", [](TStream& S, int32_t& R) { S.Clear(); R = 0; }, 0, {0, 0, 0}},
};

class StreamCaseTest : public LauncherTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamCaseTest, FollowsItsRules) {
  sim::RunInSim([] {
    TStream S;
    ASSERT_EQ(S.Write("abcdef", 6), 6);
    int32_t Result = -99;
    GetParam().Act(S, Result);
    EXPECT_EQ(Result, GetParam().Result);
    ExpectState(S, GetParam().After);
    if (S.Size >= 6 && S.Capacity > 0) EXPECT_EQ(std::string((char*)S.Memory, 3), "abc");
  });
}

INSTANTIATE_TEST_SUITE_P(Operations, StreamCaseTest, ::testing::ValuesIn(Cases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(LauncherTest, SetSizeOneOnAnEmptyStreamTakesOneStep) {
  sim::RunInSim([] {
    TStream S;
    S.SetSize(1);
    ExpectState(S, {1, 0, 131072});
  });
}

TEST_F(LauncherTest, ReadCopiesFromPositionAndAdvances) {
  sim::RunInSim([] {
    TStream S;
    S.Write("abcdef", 6);
    S.Seek(1, 0);
    char Out[3] = {};
    EXPECT_EQ(S.Read(Out, 3), 3);
    EXPECT_EQ(std::string(Out, 3), "bcd");
    EXPECT_EQ(S.Position, 4);
  });
}

TEST_F(LauncherTest, StreamMemoryIsReleasedByItsDestructor) {
  sim::RunInSim([] {
    size_t Before = sim::Sim().HeapBlocks;
    {
      TStream S;
      S.SetSize(300000);
      EXPECT_EQ(sim::Sim().HeapBlocks, Before + 1);
    }
    EXPECT_EQ(sim::Sim().HeapBlocks, Before);
  });
}

}  // namespace

// A program that reaches halvorine_resources only through other static libraries still has the
// skin sheets compiled in.

#include "ResourceProbe.h"

#include <gtest/gtest.h>

TEST(ResourceLinking, SheetsReachAProgramThroughAPrivatelyLinkedLibrary) {
  EXPECT_EQ(ReadThroughProbe(":/skins/SoundSelection.bmp").size(), 28758);
  EXPECT_EQ(ReadThroughProbe(":/skins/KnobStrip.bmp").size(), 97382);
  EXPECT_TRUE(ReadThroughProbe(":/skins/NoSuchSheet.bmp").isEmpty());
}

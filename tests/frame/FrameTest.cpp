#include "link/Frame.h"

#include <gtest/gtest.h>

TEST(Frame, AppendChecksumBuildsTheRequestFrames)
{
    CFrame frame;
    frame.SetText("ASP|");
    EXPECT_EQ(frame.AppendChecksum(), std::string("ASP|60\x04"));
}

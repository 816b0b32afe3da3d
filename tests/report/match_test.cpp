// The feature probe's reply test.
#include <gtest/gtest.h>

#include <string>

#include "report/report.h"

namespace {

bool Match(const std::string &bytes, uint32_t count)
{
    return hct_report::MatchFeatureString(reinterpret_cast<const uint8_t *>(bytes.data()), count);
}

bool Match(const std::string &bytes) { return Match(bytes, static_cast<uint32_t>(bytes.size())); }

TEST(MatchFeatureString, AcceptsStartInAnyMixOfCases)
{
    EXPECT_TRUE(Match("START"));
    EXPECT_TRUE(Match("start"));
    EXPECT_TRUE(Match("StArT"));
    EXPECT_TRUE(Match("sTaRt"));
    std::string reply(255, '\xEE');
    reply.replace(0, 5, "StARt");
    EXPECT_TRUE(Match(reply)) << "bytes after the fifth are not looked at";
}

TEST(MatchFeatureString, RejectsShortRepliesAndOtherWords)
{
    EXPECT_FALSE(Match("STAR"));
    EXPECT_FALSE(Match("START", 4)) << "the count, not the buffer, decides";
    EXPECT_FALSE(Match("START", 0));
    EXPECT_FALSE(Match("STARX"));
    EXPECT_FALSE(Match("XSTART"));
    EXPECT_FALSE(Match(" START"));
    EXPECT_FALSE(Match("ST\0RT"));
    EXPECT_FALSE(Match(std::string("\x53\x54\x41\x52\x54", 5).replace(2, 1, "\xC1")))
        << "a letter with its top bit set is not a case of it";
    EXPECT_FALSE(hct_report::MatchFeatureString(nullptr, 5));
}

TEST(MatchFeatureString, RejectsAStandardStringDescriptorSpellingStart)
{
    EXPECT_FALSE(Match(std::string("\x0C\x03S\0T\0A\0R\0T\0", 12)));
}

}  // namespace

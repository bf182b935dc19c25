#include <lumbrixon/kxDefs.h>
#include <lumbrixon/kxVersion.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(KxVersion, PackChoosesLayoutByVersion)
{
    EXPECT_EQ(kxVersion_Pack(2, 14, 7), 0x2E000007u);
    EXPECT_TRUE(kxVersion_IsLegacyFormat(0x2E000007u));
    EXPECT_EQ(kxVersion_ParseMajor(0x2E000007u), 2);
    EXPECT_EQ(kxVersion_ParseMinor(0x2E000007u), 14);
    EXPECT_EQ(kxVersion_ParsePatch(0x2E000007u), 7u);

    EXPECT_EQ(kxVersion_Pack(2, 15, 0), 0x2F020F00u);
    EXPECT_FALSE(kxVersion_IsLegacyFormat(0x2F020F00u));
    EXPECT_EQ(kxVersion_ParseMajor(0x2F020F00u), 2);
    EXPECT_EQ(kxVersion_ParseMinor(0x2F020F00u), 15);
    EXPECT_EQ(kxVersion_ParsePatch(0x2F020F00u), 0u);

    EXPECT_EQ(kxVersion_Pack(3, 1, 255), 0x2F0301FFu);
    EXPECT_EQ(kxVersion_Pack(1, 3, 200), 0x130000C8u);
    // Only four bits of a legacy minor survive.
    EXPECT_EQ(kxVersion_Pack(1, 0x13, 0), 0x13000000u);
}

TEST(KxVersion, WordsNotMadeByPackingReadAsExtended)
{
    EXPECT_FALSE(kxVersion_IsLegacyFormat(0x2F000000u));
    EXPECT_EQ(kxVersion_ParseMajor(0x2F000000u), 0);
    EXPECT_EQ(kxVersion_ParseMinor(0x2F000000u), 0);
    EXPECT_EQ(kxVersion_ParsePatch(0x2F000000u), 0u);
    EXPECT_FALSE(kxVersion_IsLegacyFormat(0x30000000u));
    EXPECT_TRUE(kxVersion_IsLegacyFormat(0x1FFFFFFFu));
    // A legacy patch has 24 bits.
    EXPECT_EQ(kxVersion_ParsePatch(0x10ABCDEFu), 0xABCDEFu);
}

TEST(KxVersion, ParseStringWritesThreeNumbers)
{
    char text[32];
    EXPECT_EQ(kxVersion_ParseString(0x130000C8u, text, sizeof text), 7);
    EXPECT_STREQ(text, "1.3.200");
    kxVersion_ParseString(kxVersion_Pack(2, 14, 7), text, sizeof text);
    EXPECT_STREQ(text, "2.14.7");
    kxVersion_ParseString(kxVersion_Pack(4, 200, 9), text, sizeof text);
    EXPECT_STREQ(text, "4.200.9");
    // snprintf semantics: cut and terminated, full length returned.
    char small[4];
    EXPECT_EQ(kxVersion_ParseString(0x130000C8u, small, sizeof small), 7);
    EXPECT_STREQ(small, "1.3");
}

TEST(KxVersion, IsAtLeastCompareIsLexicographic)
{
    EXPECT_TRUE(kxVersion_IsAtLeastCompare(2, 12, 1, 2, 12, 1));
    EXPECT_FALSE(kxVersion_IsAtLeastCompare(2, 12, 1, 2, 12, 2));
    EXPECT_TRUE(kxVersion_IsAtLeastCompare(2, 13, 0, 2, 12, 9));
    EXPECT_FALSE(kxVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
    EXPECT_TRUE(kxVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
}

TEST(KxVersion, OwnVersionAndFeatures)
{
    EXPECT_EQ(kxVersion_GetMajor(), 2);
    EXPECT_EQ(kxVersion_GetMinor(), 12);
    EXPECT_EQ(kxVersion_GetPatch(), 1);
    EXPECT_STREQ(kxVersion_GetString(), "2.12.1");
    EXPECT_EQ(kxVersion_GetString(), kxVersion_GetString());
    EXPECT_TRUE(kxVersion_IsAtLeast(2, 12, 1));
    EXPECT_TRUE(kxVersion_IsAtLeast(2, 11, 99));
    EXPECT_FALSE(kxVersion_IsAtLeast(2, 12, 2));

    EXPECT_TRUE(kxVersion_HasFeature("VERSION"));
    EXPECT_FALSE(kxVersion_HasFeature("version"));
    EXPECT_FALSE(kxVersion_HasFeature(nullptr));

    char* list = kxVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    kxVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    kxVersion_DestroyFeatureList(&list);
    kxVersion_DestroyFeatureList(nullptr);
}

TEST(KxDefs, ModelNamesCoverFourToTwentySeven)
{
    EXPECT_STREQ(kxDefs_GetModelName(3), "Unknown");
    EXPECT_STREQ(kxDefs_GetModelName(28), "Unknown");
    EXPECT_STREQ(kxDefs_GetModelName(0xFFFFFFFFu), "Unknown");
    for (unsigned model = 6; model <= 12; ++model)
    {
        EXPECT_STREQ(kxDefs_GetModelName(model), "Unknown") << model;
    }
    for (unsigned model :
         {4u, 5u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 20u, 21u, 22u, 23u, 24u, 25u, 26u, 27u})
    {
        const char* name = kxDefs_GetModelName(model);
        EXPECT_STRNE(name, "Unknown") << model;
        // Must fit a BIRD identity block's model field.
        EXPECT_LE(strlen(name), 16u) << model;
        for (unsigned other = 4; other < model; ++other)
        {
            if (std::string(kxDefs_GetModelName(other)) != "Unknown")
            {
                EXPECT_STRNE(name, kxDefs_GetModelName(other));
            }
        }
    }
}

#include "wharfkeep/settings/setting_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace wharfkeep::settings {
namespace {

// A value of each kind an operator may type, the text stored for it and a value refused.
struct KindSample {
    std::string typed;
    std::string stored;
    std::string refused;
};

const std::map<SettingKind, KindSample>& Samples() {
    static const std::map<SettingKind, KindSample> samples = {
        {SettingKind::kPort, {"8189", "8189", "65536"}},
        {SettingKind::kCount, {"4294967295", "4294967295", "4294967296"}},
        {SettingKind::kRate, {"800kbit/s", "100000", "fast"}},
        {SettingKind::kFlag, {"1", "1", "2"}},
        {SettingKind::kAccessWay, {"0", "0", "-1"}},
        {SettingKind::kIpv4, {"10.0.0.7", "10.0.0.7", "10.0.0.256"}},
        {SettingKind::kHostName, {"media.example.org", "media.example.org", "a\nb"}},
        {SettingKind::kMasterId,
         {" 0123456789abcdefAB ", "0123456789abcdefAB", "0123456789ABCDEF0G"}},
        {SettingKind::kScheduleDays, {"weekend", "65", "someday"}},
        {SettingKind::kTimeOfDay, {"08:30", "510", "24:01"}},
        {SettingKind::kSeconds, {"86400", "86400", "86401"}},
    };
    return samples;
}

TEST(SettingTable, EveryKeyTakesItsKindsValueAndRefusesAnotherWithItsReason) {
    for (const SettingEntry& entry : AllSettings()) {
        ASSERT_TRUE(Samples().contains(entry.kind)) << entry.key;
        const KindSample& sample = Samples().at(entry.kind);

        SettingCheck accepted = CheckSetting(entry, sample.typed);
        ASSERT_TRUE(accepted.value) << entry.key << ": " << accepted.refusal;
        EXPECT_EQ(accepted.value->text, sample.stored) << entry.key;
        // The stored text passes again and stays the same, so what is read back can be set.
        if (entry.kind != SettingKind::kScheduleDays && entry.kind != SettingKind::kTimeOfDay &&
            entry.kind != SettingKind::kRate) {
            SettingCheck again = CheckSetting(entry, accepted.value->text);
            ASSERT_TRUE(again.value) << entry.key;
            EXPECT_EQ(again.value->text, accepted.value->text) << entry.key;
        }

        SettingCheck refused = CheckSetting(entry, sample.refused);
        EXPECT_FALSE(refused.value) << entry.key;
        EXPECT_EQ(refused.refusal, "invalid value \"" + sample.refused + "\" for " + entry.key +
                                       ": " + ExpectedValue(entry.kind));
    }
}

TEST(SettingTable, NumbersOfTheNumericKindsMatchTheirText) {
    EXPECT_EQ(CheckSetting(SettingOf("VP_UploadSpeedLimit"), "2MB/s").value->number, 2000000u);
    EXPECT_EQ(CheckSetting(SettingOf("AccessIP"), "10.0.0.1").value->number, 0x0A000001u);
    EXPECT_EQ(CheckSetting(SettingOf("VP_AltScheduleTo"), "23:59").value->number, 1439u);
    EXPECT_FALSE(CheckSetting(SettingOf("VP_Port"), "").value) << "empty is no number";
    EXPECT_FALSE(CheckSetting(SettingOf("VP_Port"), " 80").value) << "typed text is strict";
    EXPECT_FALSE(CheckSetting(SettingOf("AccessDomain"), std::string(256, 'a')).value);
    EXPECT_TRUE(CheckSetting(SettingOf("AccessDomain"), "").value) << "a domain may be cleared";
}

TEST(SettingTable, KeysAreFoundInAnyCaseAndOnlyOnce) {
    std::set<std::string> lower;
    for (const SettingEntry& entry : AllSettings()) {
        std::string key = entry.key;
        for (char& c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_TRUE(lower.insert(key).second) << "twice: " << entry.key;
        EXPECT_EQ(FindSetting(key), &entry);
        EXPECT_NE(KnownKeys().find(entry.key), std::string::npos);
        EXPECT_STRNE(entry.description, "") << entry.key;
    }
    EXPECT_EQ(FindSetting("VP_Por"), nullptr);
    EXPECT_EQ(FindSetting(""), nullptr);
    EXPECT_THROW(SettingOf("NoSuchKey"), std::logic_error);
}

TEST(SettingTable, FirstRunValuesAreTheDesignedDefaultsAndPassTheirOwnRule) {
    std::map<std::string, std::string> first_run;
    for (const SettingEntry& entry : AllSettings()) {
        if (entry.first_run_value != nullptr) {
            first_run[entry.key] = entry.first_run_value;
            EXPECT_TRUE(CheckSetting(entry, entry.first_run_value).value) << entry.key;
        }
    }
    const std::map<std::string, std::string> designed = {
        {"UseIPFilter", "0"},    {"IP_NameListType", "0"},   {"VP_UploadSpeedLimit", "0"},
        {"VP_ConnLimit", "200"}, {"VP_Port", "8189"},        {"STS_Port", "8190"},
        {"VP_AutoStart", "1"},   {"VP_AddrConnLimit", "32"},
    };
    EXPECT_EQ(first_run, designed);
    EXPECT_EQ(DefaultNumber("VP_Port"), 8189u);
    EXPECT_EQ(DefaultNumber("STS_Port"), 8190u);
    EXPECT_EQ(DefaultNumber("VP_AddrConnLimit"), 32u);
}

TEST(StoredValues, DecimalConversionReadsLeadingDigits) {
    EXPECT_EQ(ParseStoredUnsigned("8189"), 8189u);
    EXPECT_EQ(ParseStoredUnsigned(""), 0u);
    EXPECT_EQ(ParseStoredUnsigned("abc"), 0u);
    EXPECT_EQ(ParseStoredUnsigned("  12x"), 12u);
}

TEST(OperatorValues, WholeNumbersWithinBounds) {
    EXPECT_EQ(ParseOperatorUnsigned("65535", 65535), 65535u);
    EXPECT_FALSE(ParseOperatorUnsigned("65536", 65535));
    EXPECT_FALSE(ParseOperatorUnsigned("12x", 65535));
    EXPECT_FALSE(ParseOperatorUnsigned("", 65535));
    EXPECT_FALSE(ParseOperatorUnsigned("-1", 65535));
}

TEST(OperatorValues, MasterIdIsEighteenHexDigitsAfterTrimming) {
    EXPECT_EQ(ValidMasterId("  0123456789abcdefAB \n"), "0123456789abcdefAB");
    EXPECT_FALSE(ValidMasterId("0123456789ABCDEF0G"));
    EXPECT_FALSE(ValidMasterId("0123456789ABCDEF0"));
    EXPECT_FALSE(ValidMasterId("0123456789ABCDEF012"));
    EXPECT_FALSE(ValidMasterId(""));
}

}  // namespace
}  // namespace wharfkeep::settings

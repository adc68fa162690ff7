// The updater's version numbers, version comparison and update decision.
#include "updater/updater.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using zem::VersionOrder;

struct NumberCase {
    const char* name;
    const char* text;
    uint32_t value;
    size_t consumed;  // how far the cursor moves
};

// Shown by name in test listings.
void PrintTo(const NumberCase& c, std::ostream* os) {
    *os << c.name;
}

class VersionNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(VersionNumber, ReadsLikeStrtoulWithA32BitResult) {
    const NumberCase& c = GetParam();
    const char* cursor = c.text;
    EXPECT_EQ(c.value, zem::read_version_number(&cursor));
    EXPECT_EQ(c.consumed, static_cast<size_t>(cursor - c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VersionNumber,
    testing::Values(
        NumberCase{"plain", "42", 42, 2},
        NumberCase{"stops_at_dot", "10.3", 10, 2},
        NumberCase{"stops_at_text_after_digits", "2b", 2, 1},
        NumberCase{"leading_zeros", "007", 7, 3},
        NumberCase{"leading_white_space_of_every_kind", " \t\n\v\f\r5x", 5, 7},
        NumberCase{"plus_sign", "+9", 9, 2},
        NumberCase{"minus_negates_modulo_2_32", "-1", 4294967295u, 2},
        NumberCase{"minus_two", "-2.0", 4294967294u, 2},
        NumberCase{"minus_zero", "-0", 0, 2},
        NumberCase{"minus_largest", "-4294967295", 1, 11},
        NumberCase{"largest_32_bit", "4294967295", 4294967295u, 10},
        NumberCase{"one_above_saturates", "4294967296", 4294967295u, 10},
        NumberCase{"far_above_saturates_and_reads_every_digit", "99999999999999999999999.1", 4294967295u, 23},
        NumberCase{"negative_overflow_saturates_too", "-4294967296", 4294967295u, 11},
        NumberCase{"no_digit_stays", "beta", 0, 0},
        NumberCase{"empty_stays", "", 0, 0},
        NumberCase{"sign_without_digit_stays", "-beta", 0, 0},
        NumberCase{"blanks_without_digit_stay", "  .1", 0, 0},
        NumberCase{"two_signs_stay", "+-1", 0, 0},
        NumberCase{"hex_prefix_is_not_read", "0x1f", 0, 1},
        NumberCase{"blank_between_sign_and_digits_stays", "- 1", 0, 0}),
    [](const testing::TestParamInfo<NumberCase>& info) { return std::string(info.param.name); });

struct CompareCase {
    const char* name;
    const char* server;
    const char* installed;
    VersionOrder expected;
};

// Shown by name in test listings.
void PrintTo(const CompareCase& c, std::ostream* os) {
    *os << c.name;
}

class CompareVersions : public testing::TestWithParam<CompareCase> {};

TEST_P(CompareVersions, ServerAgainstInstalled) {
    const CompareCase& c = GetParam();
    EXPECT_EQ(c.expected, zem::compare_versions(c.server, c.installed))
        << "server \"" << c.server << "\" installed \"" << c.installed << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CompareVersions,
    testing::Values(
        CompareCase{"numbers_not_text", "1.10", "1.9", VersionOrder::newer},
        CompareCase{"numbers_not_text_older", "1.9", "1.10", VersionOrder::older},
        CompareCase{"missing_component_is_zero", "1.2", "1.2.0", VersionOrder::same},
        CompareCase{"missing_component_is_zero_other_way", "1.2.0", "1.2", VersionOrder::same},
        CompareCase{"extra_component", "1.2.0.1", "1.2", VersionOrder::newer},
        CompareCase{"extra_component_older", "1.2", "1.2.0.1", VersionOrder::older},
        CompareCase{"text_difference_b_a", "1.2b", "1.2a", VersionOrder::newer},
        CompareCase{"text_difference_a_b", "1.2a", "1.2b", VersionOrder::newer},
        CompareCase{"suffix_on_installed", "1.2", "1.2-beta", VersionOrder::newer},
        CompareCase{"suffix_on_server", "1.2-beta", "1.2", VersionOrder::newer},
        CompareCase{"same_text", "release-3", "release-3", VersionOrder::same},
        CompareCase{"text_then_other_number", "release-3", "release-4", VersionOrder::newer},
        CompareCase{"text_then_lower_number", "release-4", "release-3", VersionOrder::newer},
        CompareCase{"against_empty", "2", "", VersionOrder::newer},
        CompareCase{"zero_against_empty", "0", "", VersionOrder::same},
        CompareCase{"empty_against_zero", "", "0.0", VersionOrder::same},
        CompareCase{"empty_against_one", "", "1", VersionOrder::older},
        CompareCase{"both_empty", "", "", VersionOrder::same},
        CompareCase{"equal", "1.4.2", "1.4.2", VersionOrder::same},
        CompareCase{"older_major", "1.4", "1.5", VersionOrder::older},
        CompareCase{"leading_zeros_equal", "01.002", "1.2", VersionOrder::same},
        CompareCase{"same_text_after_numbers", "2.0 rc", "2.0 rc", VersionOrder::same},
        CompareCase{"blanks_before_numbers_skipped", "1. 2", "1.2", VersionOrder::same},
        CompareCase{"minus_one_is_largest", "-1", "4294967294", VersionOrder::newer},
        CompareCase{"minus_one_equals_largest", "1.-1", "1.4294967295", VersionOrder::same},
        CompareCase{"saturated_numbers_equal", "4294967296", "99999999999", VersionOrder::same},
        CompareCase{"saturated_above_largest_less_one", "5000000000", "4294967294", VersionOrder::newer},
        CompareCase{"larger_than_unsigned_long_on_windows", "4294967297", "1", VersionOrder::newer},
        CompareCase{"empty_component_is_zero", "1..2", "1.0.2", VersionOrder::same},
        CompareCase{"trailing_dot", "1.", "1", VersionOrder::same},
        CompareCase{"plus_sign_equal", "+3", "3", VersionOrder::same}),
    [](const testing::TestParamInfo<CompareCase>& info) { return std::string(info.param.name); });

// The order signed updates follow: each version here comes after every
// one before it, and each pair answers the same both ways round. (A
// version that starts with text has 0 for its numbers.)
TEST(ReleaseOrder, SortsAChainOfReleasesOneWayOnly) {
    const char* const chain[] = {"",       "v0.9",   "v0.10",  "v1.0",   "0.9",    "1.0-beta", "1.0-rc1",
                                 "1.0-rc2", "1.0-rc10", "1.0~x", "1.0",   "1.0.1",  "1.0.2",    "1.0.2a",
                                 "1.0.2b", "1.2.0.1", "1.10",   "2.0 rc", "4294967295"};
    const size_t count = sizeof chain / sizeof chain[0];
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = 0; j < count; ++j) {
            const VersionOrder expected = i < j ? VersionOrder::older : i > j ? VersionOrder::newer : VersionOrder::same;
            EXPECT_EQ(expected, zem::release_order(chain[i], chain[j])) << chain[i] << " against " << chain[j];
        }
    }
    // Spellings of one release: neither comes after the other.
    for (const auto& pair : {std::make_pair("1.2", "1.2.0"), std::make_pair("01.2", "1.2"),
                             std::make_pair("1.0-rc01", "1.0-rc1"), std::make_pair("+3", "3")}) {
        EXPECT_EQ(VersionOrder::same, zem::release_order(pair.first, pair.second)) << pair.first;
        EXPECT_EQ(VersionOrder::same, zem::release_order(pair.second, pair.first)) << pair.second;
    }
}

TEST(ReleaseOrder, ASignedUpdateReplacesOnlyWhatItComesAfter) {
    EXPECT_TRUE(zem::release_may_replace("2.0", "2.0-rc2"));
    EXPECT_TRUE(zem::release_may_replace("1.2.0", "1.2.0"));  // the installed release itself
    EXPECT_TRUE(zem::release_may_replace("0-beta", ""));       // nothing installed to go back from
    EXPECT_FALSE(zem::release_may_replace("2.0-rc1", "2.0-rc2"));
    EXPECT_FALSE(zem::release_may_replace("v0.9", "v1.0"));
    EXPECT_FALSE(zem::release_may_replace("1.2", "1.2.0"));  // the same numbers, another text
}

struct DecisionCase {
    const char* name;
    const char* server;
    const char* installed;
    bool installation_is_known;  // stored hash non-empty or full-install marker present
    bool fetch;
};

// Shown by name in test listings.
void PrintTo(const DecisionCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateDecision : public testing::TestWithParam<DecisionCase> {};

TEST_P(UpdateDecision, FetchesOnlyWhenNeeded) {
    const DecisionCase& c = GetParam();
    EXPECT_EQ(c.fetch, zem::update_archive_is_needed(c.server, c.installed, c.installation_is_known));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateDecision,
    testing::Values(DecisionCase{"no_server_version_known", "", "1.0", true, true},
                    DecisionCase{"no_server_version_unknown", "", "1.0", false, true},
                    DecisionCase{"newer_known", "1.1", "1.0", true, true},
                    DecisionCase{"newer_unknown", "1.1", "1.0", false, true},
                    DecisionCase{"text_difference_known", "1.0a", "1.0", true, true},
                    DecisionCase{"same_known", "1.0", "1.0", true, false},
                    DecisionCase{"older_known", "1.4", "1.5", true, false},
                    DecisionCase{"same_unknown", "1.0", "1.0", false, true},
                    DecisionCase{"older_unknown", "1.4", "1.5", false, true},
                    DecisionCase{"zero_against_nothing_installed_known", "0", "", true, false}),
    [](const testing::TestParamInfo<DecisionCase>& info) { return std::string(info.param.name); });

}  // namespace

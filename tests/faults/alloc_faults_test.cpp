// Out-of-memory at every allocation of a repair, one at a time: each must
// surface as std::bad_alloc and free everything the repair had taken, and the
// next call must work as if nothing happened.
#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "parser/repair.hpp"

// The allocation hook (alloc_hook.cpp), linked into this binary: the same
// one the Python fault tests preload into the interpreter.
extern "C" {
void corvane_faults_arm(long k);
void corvane_faults_disarm();
long corvane_faults_attempts();
long corvane_faults_live();
}

namespace {

// From arm(k) on, the k-th allocation throws std::bad_alloc.
void arm(long k) { corvane_faults_arm(k); }
void disarm() { corvane_faults_disarm(); }

struct FaultCase {
    const char* name;
    std::string input;
    long min_allocations;  // the walk must meet at least this many allocation points
};

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

std::vector<FaultCase> fault_cases() {
    std::vector<FaultCase> cases = {
        // Inputs short enough for the small-string buffer may allocate nothing.
        {"empty", "", 0},
        {"tiny_object", "{a:1}", 0},
        {"object_with_repairs", "{'name': 'Ann', age: 31, tags: [\"a\" \"b\",], active: True, "
                                "note: None, // comment\n \"score\": .5, nested: {\"k\": [1, 2}",
         1},
        // Control bytes escape to six bytes each, so the output outgrows its
        // reservation several times over.
        {"output_grows", "\"" + std::string(4000, '\x01') + "\"", 2},
        {"many_members", "{" + repeat("k: 'v' ", 500) + "}", 2},
        {"nesting_at_limit", std::string(128, '[') + "1", 1},
        {"long_prose_first", repeat("words before the value ", 100) + "[1, 2, 3]", 1},
    };
    return cases;
}

struct RefusalCase {
    const char* name;
    std::string input;
    corvane::RepairError error;
};

std::vector<RefusalCase> refusal_cases() {
    return {
        {"depth", std::string(129, '[') + "1", corvane::RepairError::DepthExceeded},
        {"depth_after_output", "[" + repeat("\"some text\", ", 200) + std::string(128, '['),
         corvane::RepairError::DepthExceeded},
        {"ambiguous", "{\"a\": \"" + std::string(300, 'x') + " said \"hi\" ok\"}",
         corvane::RepairError::AmbiguousQuote},
    };
}

class AllocationFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(AllocationFaults, EachAllocationFailureIsBadAllocAndLeavesNothing) {
    const FaultCase& c = GetParam();
    const corvane::RepairResult expected = corvane::repair_text(c.input);
    ASSERT_TRUE(expected.ok());

    long k = 1;
    for (;; ++k) {
        arm(k);
        bool threw = false;
        try {
            corvane::RepairResult result = corvane::repair_text(c.input);
            disarm();
            // Every allocation point has been failed once: the walk is over.
            ASSERT_TRUE(result.ok()) << "at k=" << k;
            EXPECT_EQ(result.text(), expected.text()) << "at k=" << k;
        } catch (const std::bad_alloc&) {
            disarm();
            threw = true;
        } catch (...) {
            disarm();
            FAIL() << "an exception other than std::bad_alloc at k=" << k;
        }
        EXPECT_EQ(corvane_faults_live(), 0) << "blocks left behind at k=" << k;
        if (!threw) break;
        ASSERT_EQ(corvane_faults_attempts(), k) << "failed at an allocation never attempted";
        ASSERT_LT(k, 100000) << "the walk does not end";
    }
    EXPECT_GE(k - 1, c.min_allocations) << "fewer allocation points than expected";

    // Afterwards the engine works unchanged.
    corvane::RepairResult again = corvane::repair_text(c.input);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.text(), expected.text());
}

INSTANTIATE_TEST_SUITE_P(Inputs, AllocationFaults, ::testing::ValuesIn(fault_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

class RefusalFaults : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalFaults, AllocationFailureOnTheRefusalPathIsBadAlloc) {
    const RefusalCase& c = GetParam();
    long k = 1;
    for (;; ++k) {
        arm(k);
        bool threw = false;
        try {
            corvane::RepairResult result = corvane::repair_text(c.input);
            disarm();
            ASSERT_FALSE(result.ok()) << "at k=" << k;
            EXPECT_EQ(result.error(), c.error) << "at k=" << k;
        } catch (const std::bad_alloc&) {
            disarm();
            threw = true;
        }
        EXPECT_EQ(corvane_faults_live(), 0) << "blocks left behind at k=" << k;
        if (!threw) break;
        ASSERT_LT(k, 100000) << "the walk does not end";
    }
    EXPECT_GE(k - 1, 1) << "the refusal path allocated nothing";
}

INSTANTIATE_TEST_SUITE_P(Inputs, RefusalFaults, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

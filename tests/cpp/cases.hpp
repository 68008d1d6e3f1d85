// The repair tables, one per rule group. Each test file owns the tables of
// its rules; the property checks run over all of them.
#pragma once

#include <vector>

#include "support.hpp"

namespace corvane_test {

const std::vector<Case>& framing_cases();
const std::vector<Case>& comment_and_bareword_cases();
const std::vector<Case>& container_start_cases();
const std::vector<Case>& stray_and_scalar_cases();
const std::vector<Case>& number_cases();
const std::vector<Case>& keyword_cases();
const std::vector<Case>& array_and_comma_cases();
const std::vector<Case>& closer_cases();
const std::vector<Case>& key_and_colon_cases();
const std::vector<Case>& depth_cases();
const std::vector<Case>& string_cases();
const std::vector<Case>& ambiguous_quote_cases();
const std::vector<Case>& escaping_cases();
const std::vector<Case>& nul_byte_cases();
const std::vector<Case>& model_profile_cases();

inline std::vector<const std::vector<Case>*> all_tables() {
    return {&framing_cases(),        &comment_and_bareword_cases(), &container_start_cases(),
            &stray_and_scalar_cases(), &number_cases(),             &keyword_cases(),
            &array_and_comma_cases(), &closer_cases(),              &key_and_colon_cases(),
            &depth_cases(),           &string_cases(),              &ambiguous_quote_cases(),
            &escaping_cases(),        &nul_byte_cases(),              &model_profile_cases()};
}

}  // namespace corvane_test

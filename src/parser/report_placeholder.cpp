// PLACEHOLDER: removed when the engine's report is merged
// A stand-in for the engine's report, so that the module and the command
// build and run before it lands: the repair's text or refusal over the whole
// input, with no edits and nothing dropped.
#include "parser/repair.hpp"
#include "parser/report.hpp"

namespace corvane {

RepairReport report_text(const char* data, std::size_t length) {
    RepairResult result = repair_text(data, length);
    RepairReport report;
    if (result) {
        report.text = std::string(result.text());
    } else {
        report.error = result.error();
    }
    report.found = true;
    report.start = 0;
    report.end = length;
    return report;
}

}  // namespace corvane

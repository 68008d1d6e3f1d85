#include "cli/lines.hpp"

#include "cli/text.hpp"
#include "parser/repair.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace corvane::cli {

namespace {

// Big enough that the hand-over between threads costs nothing next to the
// repair, small enough that a few blocks in flight keep memory low.
constexpr std::size_t BLOCK_BYTES = 1 << 20;

struct LineIssue {
    enum class Kind { Refused, InvalidUtf8, WouldChange };
    Kind kind;
    std::size_t line;  // 0-based, within the block
    RepairError error = RepairError::DepthExceeded;
    std::size_t column = 0;  // 1-based byte column of invalid UTF-8
};

struct BlockResult {
    std::string output;
    std::vector<LineIssue> issues;
    std::size_t lines = 0;  // lines looked at, up to and including a stop
    std::size_t records = 0;
    bool stopped = false;   // the run must end after this block
};

// What a block's records are repaired by and what a refusal gives.
struct RecordPolicy {
    OnError on_error;
    bool check;
    Profile profile;
};

RecordPolicy record_policy(const Options& options) { return {options.on_error, options.check, options.profile}; }

// Repairs every line of a block of whole lines. Pure: the result depends on
// the block's bytes and the policy only, whatever thread runs it.
BlockResult repair_block(std::string_view block, const RecordPolicy& policy) {
    const auto [on_error, check, profile] = policy;
    BlockResult result;
    result.output.reserve(check ? 0 : block.size() + block.size() / 8);
    std::size_t start = 0;
    while (start < block.size()) {
        const char* newline = static_cast<const char*>(std::memchr(block.data() + start, '\n', block.size() - start));
        const std::size_t stop = newline ? static_cast<std::size_t>(newline - block.data()) : block.size();
        std::string_view line = block.substr(start, stop - start);
        start = stop + 1;
        const std::size_t index = result.lines++;
        if (is_blank(line)) continue;
        ++result.records;

        if (const std::size_t bad = find_invalid_utf8(line); bad != line.size()) {
            result.issues.push_back({LineIssue::Kind::InvalidUtf8, index, {}, bad + 1});
            result.stopped = true;
            return result;
        }
        RepairResult repaired = repair_text(line.data(), line.size(), profile);
        if (!repaired.ok()) {
            result.issues.push_back({LineIssue::Kind::Refused, index, repaired.error(), 0});
            if (check) continue;
            if (on_error == OnError::Fail) {
                result.stopped = true;
                return result;
            }
            if (on_error == OnError::Null) result.output.append("null\n");
            continue;
        }
        if (check) {
            if (!equals_ignoring_whitespace(line, repaired.text()))
                result.issues.push_back({LineIssue::Kind::WouldChange, index, {}, 0});
            continue;
        }
        result.output.append(repaired.text());
        result.output.push_back('\n');
    }
    return result;
}

// A fixed set of threads that repair blocks in the order they are handed in.
class BlockPool {
public:
    // Starts up to `threads` threads: as many as the system grants (it may
    // refuse some under a memory or process limit, or all of them).
    BlockPool(unsigned threads, const RecordPolicy& policy) : policy_(policy) {
        workers_.reserve(threads);
        try {
            for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { run(); });
        } catch (const std::system_error&) {
        }
    }
    unsigned size() const noexcept { return static_cast<unsigned>(workers_.size()); }
    ~BlockPool() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        ready_.notify_all();
        for (auto& worker : workers_) worker.join();
    }
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    std::future<BlockResult> submit(std::string block) {
        Job job{std::move(block), {}};
        auto future = job.promise.get_future();
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
        return future;
    }

private:
    struct Job {
        std::string block;
        std::promise<BlockResult> promise;
    };

    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
                // Once closing, queued blocks are abandoned: nobody waits for them.
                if (closing_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            try {
                job.promise.set_value(repair_block(job.block, policy_));
            } catch (...) {
                job.promise.set_exception(std::current_exception());
            }
        }
    }

    const RecordPolicy policy_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    bool closing_ = false;
    std::vector<std::thread> workers_;
};

// Reads the next block of whole lines (the last one may lack its line feed).
// `carry` holds the start of a line that the previous block cut off.
bool read_block(InputFile& input, std::string& carry, std::string& block) {
    block = std::move(carry);
    carry.clear();
    std::size_t searched = 0;
    for (;;) {
        while (block.size() < searched + BLOCK_BYTES) {
            if (input.read_some(block, searched + BLOCK_BYTES - block.size()) == 0) return !block.empty();
        }
        const std::size_t newline = std::string_view(block).rfind('\n');
        if (newline != std::string_view::npos && newline >= searched) {
            const std::size_t cut = newline + 1;
            carry.assign(block, cut);
            block.resize(cut);
            return true;
        }
        searched = block.size();  // one line longer than a block: keep reading
    }
}

void report(const std::string& name, std::size_t line, const LineIssue& issue) {
    switch (issue.kind) {
    case LineIssue::Kind::Refused: {
        const std::string_view message = error_message(issue.error);
        std::fprintf(stderr, "%s:%zu: %.*s\n", name.c_str(), line, static_cast<int>(message.size()), message.data());
        break;
    }
    case LineIssue::Kind::InvalidUtf8:
        std::fprintf(stderr, "%s:%zu: invalid UTF-8 at column %zu\n", name.c_str(), line, issue.column);
        break;
    case LineIssue::Kind::WouldChange:
        std::fprintf(stderr, "%s:%zu: would change\n", name.c_str(), line);
        break;
    }
}

}  // namespace

int repair_lines(InputFile& input, OutputSink* output, const Options& options, Progress& progress) {
    unsigned threads = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    int status = 0;
    std::size_t first_line = 1;

    // Writes a finished block and reports its issues; false once the run must stop.
    auto consume = [&](BlockResult result, std::size_t bytes) {
        if (output) output->write(result.output);
        if (!result.issues.empty()) progress.clear();
        for (const LineIssue& issue : result.issues) {
            report(input.name(), first_line + issue.line, issue);
            const int issue_status = issue.kind == LineIssue::Kind::InvalidUtf8 ? 2
                                     : issue.kind == LineIssue::Kind::WouldChange || options.check ||
                                             options.on_error == OnError::Fail
                                         ? 1
                                         : 0;
            status = std::max(status, issue_status);
        }
        first_line += result.lines;
        progress.advance(bytes, result.records);
        return !result.stopped;
    };

    std::string carry;
    std::string block;
    std::optional<BlockPool> pool;
    std::deque<std::pair<std::future<BlockResult>, std::size_t>> in_flight;
    bool going = true;
    while (going && read_block(input, carry, block)) {
        const std::size_t bytes = block.size();
        if (!pool && threads > 1) {
            // An input that fits in one block needs no pool; a pool of one
            // thread (all the system would give) is no faster than this one.
            const bool more = !carry.empty() || input.read_some(carry, BLOCK_BYTES) > 0;
            if (more) pool.emplace(threads, record_policy(options));
            threads = more ? pool->size() : 1;
            if (threads <= 1) pool.reset();
        }
        if (threads <= 1) {
            going = consume(repair_block(block, record_policy(options)), bytes);
            continue;
        }
        const std::size_t most_in_flight = 2 * static_cast<std::size_t>(threads);
        in_flight.emplace_back(pool->submit(std::move(block)), bytes);
        while (going && !in_flight.empty() &&
               (in_flight.size() >= most_in_flight ||
                in_flight.front().first.wait_for(std::chrono::seconds(0)) == std::future_status::ready)) {
            going = consume(in_flight.front().first.get(), in_flight.front().second);
            in_flight.pop_front();
        }
    }
    while (going && !in_flight.empty()) {
        going = consume(in_flight.front().first.get(), in_flight.front().second);
        in_flight.pop_front();
    }
    progress.finish();
    return status;
}

}  // namespace corvane::cli

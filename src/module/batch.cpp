#include "module/batch.hpp"

#include "parser/utf8.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace corvane::module {

void TextBuffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    char* larger = static_cast<char*>(std::realloc(bytes_.get(), capacity));
    if (larger == nullptr) throw std::bad_alloc();
    static_cast<void>(bytes_.release());
    bytes_.reset(larger);
    capacity_ = capacity;
}

void TextBuffer::append(const char* bytes, std::size_t count) {
    if (capacity_ - size_ < count) reserve(std::max({capacity_ * 2, size_ + count, std::size_t(4096)}));
    if (count != 0) std::memcpy(bytes_.get() + size_, bytes, count);
    size_ += count;
}

namespace {

// Rows are handed to threads in blocks of about this much text: big enough
// that the hand-over costs nothing next to the repairs, small enough that a
// few blocks in flight keep memory low (as the command's --lines does).
constexpr std::size_t BLOCK_BYTES = std::size_t(1) << 20;
// What a row costs beyond its bytes, counted in bytes, so that a block of
// tiny or null rows stays short too.
constexpr std::size_t ROW_WEIGHT = 32;

struct Block {
    std::size_t begin;
    std::size_t end;
};

std::vector<Block> cut_blocks(std::span<const BatchRow> rows) {
    std::vector<Block> blocks;
    std::size_t begin = 0;
    std::size_t weight = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        weight += rows[i].size + ROW_WEIGHT;
        if (weight >= BLOCK_BYTES) {
            blocks.push_back({begin, i + 1});
            begin = i + 1;
            weight = 0;
        }
    }
    if (begin < rows.size()) blocks.push_back({begin, rows.size()});
    return blocks;
}

// Repairs rows[block] and appends them to `out`; `ends` are offsets into
// out.text. Pure: the result depends on the rows and the policy only.
void repair_rows(std::span<const BatchRow> rows, Block block, const BatchPolicy& policy, BatchOutput& out) {
    out.ends.reserve(out.ends.size() + (block.end - block.begin));
    out.states.reserve(out.states.size() + (block.end - block.begin));
    for (std::size_t i = block.begin; i < block.end; ++i) {
        const BatchRow& row = rows[i];
        if (row.data == nullptr) {
            out.states.push_back(RowState::Null);
            out.ends.push_back(out.text.size());
            continue;
        }
        if (policy.check_utf8 && !is_valid_utf8(row.data, row.size)) {
            out.stop = BatchStop{BatchStop::Kind::InvalidUtf8, i, {}, find_invalid_utf8(row.data, row.size) + 1};
            return;
        }
        RepairResult repaired = repair_text(row.data, row.size, policy.profile);
        if (!repaired) {
            if (policy.on_error == OnError::Fail) {
                out.stop = BatchStop{BatchStop::Kind::Refused, i, repaired.error(), 0};
                return;
            }
            out.states.push_back(policy.on_error == OnError::Null ? RowState::Null : RowState::Skipped);
        } else if (repaired.text().size() >= policy.apart_from) {
            out.apart.push_back(repaired.take_text());
            out.states.push_back(RowState::RepairedApart);
        } else {
            out.text.append(repaired.text().data(), repaired.text().size());
            out.states.push_back(RowState::Repaired);
        }
        out.ends.push_back(out.text.size());
    }
}

// Blocks repaired by a crew of threads and taken back in order by the
// caller, which appends each to the output as soon as it is its turn and
// repairs blocks itself while it waits: on a machine with as many cores as
// threads, a caller that only waited would leave a core to the hand-over.
// A block is started only while fewer than `window` blocks wait to be
// taken, so memory stays at a few blocks beyond the output.
class Crew {
public:
    Crew(std::span<const BatchRow> rows, std::span<const Block> blocks, const BatchPolicy& policy, unsigned threads)
        : rows_(rows), blocks_(blocks), policy_(policy), window_(2 * static_cast<std::size_t>(threads)),
          done_(blocks.size()) {
        // The caller is one of the threads. The system may grant fewer others
        // (under a memory or process limit), or none: the caller then does
        // every block itself.
        workers_.reserve(threads - 1);
        try {
            for (unsigned i = 1; i < threads; ++i) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
        }
    }
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // Every way out of the caller's loop stops and joins the crew.
    ~Crew() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    // Block `k`'s result, once it is done; the ones before it were taken.
    BatchOutput take(std::size_t k) {
        std::unique_lock lock(mutex_);
        taken_ = k;
        changed_.notify_all();
        while (!done_[k]) {
            if (can_start()) {
                run(lock);
            } else {
                changed_.wait(lock);
            }
        }
        Finished finished = std::move(*done_[k]);
        done_[k].reset();
        if (finished.failure) std::rethrow_exception(finished.failure);
        return std::move(finished.output);
    }

private:
    struct Finished {
        BatchOutput output;
        std::exception_ptr failure;
    };

    bool can_start() const noexcept {
        return !stopping_ && next_ < blocks_.size() && next_ < taken_ + window_;
    }

    // Repairs the next block, with `lock` let go meanwhile.
    void run(std::unique_lock<std::mutex>& lock) {
        const std::size_t k = next_++;
        lock.unlock();
        Finished finished;
        try {
            repair_rows(rows_, blocks_[k], policy_, finished.output);
        } catch (...) {
            finished.failure = std::current_exception();
        }
        lock.lock();
        done_[k].emplace(std::move(finished));
        changed_.notify_all();
    }

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || next_ >= blocks_.size() || can_start(); });
            if (!can_start()) return;
            run(lock);
        }
    }

    std::span<const BatchRow> rows_;
    std::span<const Block> blocks_;
    BatchPolicy policy_;
    std::size_t window_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<Finished>> done_;
    std::size_t next_ = 0;   // the next block to start
    std::size_t taken_ = 0;  // the block the caller waits for
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// Appends a block's repaired rows (ends relative to its own text) to `out`.
void append_block(BatchOutput& out, BatchOutput&& part) {
    const std::uint64_t base = out.text.size();
    out.text.append(part.text.data(), part.text.size());
    for (std::uint64_t end : part.ends) out.ends.push_back(base + end);
    out.states.insert(out.states.end(), part.states.begin(), part.states.end());
    for (OutputText& text : part.apart) out.apart.push_back(std::move(text));
    out.stop = part.stop;
}

}  // namespace

BatchOutput repair_batch(std::span<const BatchRow> rows, unsigned threads, const BatchPolicy& policy) {
    const std::vector<Block> blocks = cut_blocks(rows);
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, blocks.size()));

    BatchOutput out;
    std::size_t text_bytes = 0;
    for (const BatchRow& row : rows) text_bytes += row.size < policy.apart_from ? row.size : 0;
    // Repairs mostly add a little; unused room is address space, not memory.
    out.text.reserve(text_bytes + text_bytes / 8 + 1);
    out.ends.reserve(rows.size());
    out.states.reserve(rows.size());

    if (threads <= 1) {
        repair_rows(rows, Block{0, rows.size()}, policy, out);
        return out;
    }
    Crew crew(rows, blocks, policy, threads);
    for (std::size_t k = 0; k < blocks.size() && !out.stop; ++k) append_block(out, crew.take(k));
    return out;
}

}  // namespace corvane::module

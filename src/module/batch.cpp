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
void repair_rows(std::span<const BatchRow> rows, Block block, OnError on_error, bool check_utf8,
                 BatchOutput& out) {
    out.ends.reserve(out.ends.size() + (block.end - block.begin));
    out.states.reserve(out.states.size() + (block.end - block.begin));
    for (std::size_t i = block.begin; i < block.end; ++i) {
        const BatchRow& row = rows[i];
        if (row.data == nullptr) {
            out.states.push_back(RowState::Null);
            out.ends.push_back(out.text.size());
            continue;
        }
        if (check_utf8 && !is_valid_utf8(row.data, row.size)) {
            out.stop = BatchStop{BatchStop::Kind::InvalidUtf8, i, {}, find_invalid_utf8(row.data, row.size) + 1};
            return;
        }
        RepairResult repaired = repair_text(row.data, row.size);
        if (!repaired) {
            if (on_error == OnError::Fail) {
                out.stop = BatchStop{BatchStop::Kind::Refused, i, repaired.error(), 0};
                return;
            }
            out.states.push_back(on_error == OnError::Null ? RowState::Null : RowState::Skipped);
        } else {
            out.text.append(repaired.text().data(), repaired.text().size());
            out.states.push_back(RowState::Repaired);
        }
        out.ends.push_back(out.text.size());
    }
}

// Blocks repaired by a crew of threads and taken back in order by the
// caller, which appends each to the output as soon as it is its turn. A
// thread starts a block only while fewer than `window` blocks wait to be
// taken, so memory stays at a few blocks beyond the output.
class Crew {
public:
    Crew(std::span<const BatchRow> rows, std::span<const Block> blocks, OnError on_error, bool check_utf8)
        : rows_(rows), blocks_(blocks), on_error_(on_error), check_utf8_(check_utf8), done_(blocks.size()) {}
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // Starts up to `threads` threads: as many as the system grants.
    void start(unsigned threads) {
        window_ = 2 * static_cast<std::size_t>(threads);
        workers_.reserve(threads);
        try {
            for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
        }
    }
    std::size_t size() const noexcept { return workers_.size(); }

    // Every way out of the caller's loop stops and joins the crew.
    ~Crew() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    // Block `k`'s result, once it is done; marks the ones before it taken.
    BatchOutput take(std::size_t k) {
        std::unique_lock lock(mutex_);
        taken_ = k;
        changed_.notify_all();
        changed_.wait(lock, [&] { return done_[k].has_value(); });
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

    void work() {
        for (;;) {
            std::size_t k;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || next_ >= blocks_.size() || next_ < taken_ + window_; });
                if (stopping_ || next_ >= blocks_.size()) return;
                k = next_++;
            }
            Finished finished;
            try {
                repair_rows(rows_, blocks_[k], on_error_, check_utf8_, finished.output);
            } catch (...) {
                finished.failure = std::current_exception();
            }
            {
                std::lock_guard lock(mutex_);
                done_[k].emplace(std::move(finished));
            }
            changed_.notify_all();
        }
    }

    std::span<const BatchRow> rows_;
    std::span<const Block> blocks_;
    OnError on_error_;
    bool check_utf8_;
    std::size_t window_ = 2;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<Finished>> done_;
    std::size_t next_ = 0;   // the next block a thread starts
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
    out.stop = part.stop;
}

}  // namespace

BatchOutput repair_batch(std::span<const BatchRow> rows, unsigned threads, OnError on_error, bool check_utf8) {
    const std::vector<Block> blocks = cut_blocks(rows);
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, blocks.size()));

    BatchOutput out;
    std::size_t text_bytes = 0;
    for (const BatchRow& row : rows) text_bytes += row.size;
    // Repairs mostly add a little; unused room is address space, not memory.
    out.text.reserve(text_bytes + text_bytes / 8 + 1);
    out.ends.reserve(rows.size());
    out.states.reserve(rows.size());

    std::optional<Crew> crew;
    if (threads > 1) {
        crew.emplace(rows, blocks, on_error, check_utf8);
        crew->start(threads);
        if (crew->size() == 0) crew.reset();
    }
    if (!crew) {
        repair_rows(rows, Block{0, rows.size()}, on_error, check_utf8, out);
        return out;
    }
    for (std::size_t k = 0; k < blocks.size() && !out.stop; ++k) append_block(out, crew->take(k));
    return out;
}

}  // namespace corvane::module

// A decoder run on its own thread, a few buffers ahead of the reader: while
// the calling thread parses one buffer of text, the next is being inflated.
#include "parse/decode.hpp"

#include <sched.h>

#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "parse/cond_var.hpp"

namespace palisar::parse {

unsigned usable_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    int n = CPU_COUNT(&set);
    return n > 0 ? unsigned(n) : 1;
}

namespace {

// The first this many bytes are decoded on the calling thread: a small file
// is done before a thread would have paid for itself.
constexpr size_t kDirectBytes = 4 << 20;
constexpr size_t kBufferSize = 1 << 20;
constexpr size_t kBuffers = 4;  // text decoded ahead of the reader, at most

class PipelinedSource final : public ByteSource {
public:
    explicit PipelinedSource(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}
    ~PipelinedSource() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (worker_.joinable()) worker_.join();
    }
    PipelinedSource(const PipelinedSource&) = delete;
    PipelinedSource& operator=(const PipelinedSource&) = delete;

    size_t read(uint8_t* dst, size_t cap) override {
        if (!worker_.joinable()) {
            if (direct_ < kDirectBytes || !start()) {
                size_t n = inner_->read(dst, cap);
                direct_ += n;
                return n;
            }
        }
        if (served_ == current_.size()) {
            std::unique_lock lock(mutex_);
            if (!current_.empty()) free_.push_back(std::move(current_));
            cv_.notify_all();
            cv_.wait(lock, [this] { return !full_.empty() || finished_; });
            if (full_.empty()) {
                if (failure_) std::rethrow_exception(failure_);
                return 0;
            }
            current_ = std::move(full_.front());
            full_.pop_front();
            served_ = 0;
        }
        size_t n = std::min(cap, current_.size() - served_);
        std::memcpy(dst, current_.data() + served_, n);
        served_ += n;
        return n;
    }

private:
    bool start() {
        try {
            worker_ = std::thread([this] { work(); });
            return true;
        } catch (const std::system_error&) {
            direct_ = 0;  // no thread to be had: go on without one
            return false;
        }
    }

    void work() {
        std::vector<uint8_t> buf;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return stop_ || !free_.empty() || made_ < kBuffers; });
                if (stop_) return;
                if (!free_.empty()) {
                    buf = std::move(free_.back());
                    free_.pop_back();
                } else {
                    ++made_;
                }
            }
            size_t filled = 0;
            std::exception_ptr failure;
            try {
                buf.resize(kBufferSize);
                while (filled < buf.size()) {
                    size_t n = inner_->read(buf.data() + filled, buf.size() - filled);
                    if (n == 0) break;
                    filled += n;
                }
            } catch (...) {
                failure = std::current_exception();
            }
            bool end = failure || filled < kBufferSize;
            buf.resize(filled);
            {
                std::lock_guard lock(mutex_);
                if (filled) full_.push_back(std::move(buf));
                if (end) {
                    failure_ = failure;
                    finished_ = true;
                }
            }
            cv_.notify_all();
            if (end) return;
        }
    }

    std::unique_ptr<ByteSource> inner_;  // on the worker once it runs
    size_t direct_ = 0;
    std::vector<uint8_t> current_;
    size_t served_ = 0;

    std::mutex mutex_;
    CondVar cv_;
    std::deque<std::vector<uint8_t>> full_;  // decoded text, in order
    std::vector<std::vector<uint8_t>> free_;
    size_t made_ = 0;
    bool stop_ = false, finished_ = false;
    std::exception_ptr failure_;  // after the text in full_
    std::thread worker_;
};

}  // namespace

std::unique_ptr<ByteSource> pipelined(std::unique_ptr<ByteSource> inner, unsigned threads) {
    if (threads == 0) threads = usable_cpus();
    if (threads < 2) return inner;
    return std::make_unique<PipelinedSource>(std::move(inner));
}

}  // namespace palisar::parse

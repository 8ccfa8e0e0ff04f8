#include "common/stop_poll.hpp"

namespace vorlent {

std::chrono::steady_clock::duration g_stop_period = std::chrono::milliseconds(10);

StopPoll::StopPoll(const StopCheck& check)
    : check_(check ? &check : nullptr), owner_(std::this_thread::get_id()) {
    if (check_ != nullptr) due_ = std::chrono::steady_clock::now() + g_stop_period;
}

void StopPoll::run_if_due() {
    const auto now = std::chrono::steady_clock::now();
    if (now < due_) return;
    due_ = now + g_stop_period;
    (*check_)();
}

void StopPoll::finished() {
    if (check_ == nullptr) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    ++finished_;
    all_finished_.notify_one();
}

void StopPoll::wait_for_others(int others) {
    if (check_ == nullptr) return;
    std::unique_lock<std::mutex> lock(mutex_);
    // An abandoned computation needs no more checks: the others return at their next poll.
    const auto done = [&] { return finished_ >= others || abandoned_.load(); };
    while (!all_finished_.wait_until(lock, due_, done)) {
        lock.unlock();
        run_if_due();
        lock.lock();
    }
    finished_ = 0;  // the computation's next region counts afresh
}

}  // namespace vorlent

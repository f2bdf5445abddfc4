// A condition variable for std::mutex, on the POSIX one. Built with GCC 12,
// std::condition_variable::wait asks for a newer libstdc++ symbol version
// (GLIBCXX_3.4.30) than the rest of the module does, which would raise the
// oldest Linux a wheel can install on.
#pragma once

#include <pthread.h>
#include <time.h>

#include <mutex>

namespace palisar::parse {

class CondVar {
public:
    CondVar() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cv_, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~CondVar() { pthread_cond_destroy(&cv_); }
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void wait(std::unique_lock<std::mutex>& lock) { pthread_cond_wait(&cv_, lock.mutex()->native_handle()); }
    template <class Predicate>
    void wait(std::unique_lock<std::mutex>& lock, Predicate ready) {
        while (!ready()) wait(lock);
    }
    // Waits for a notification or for `micros` microseconds, whichever comes
    // first (or spuriously).
    void wait_for(std::unique_lock<std::mutex>& lock, long micros) {
        timespec at;
        clock_gettime(CLOCK_MONOTONIC, &at);
        at.tv_nsec += micros * 1000;
        at.tv_sec += at.tv_nsec / 1000000000;
        at.tv_nsec %= 1000000000;
        pthread_cond_timedwait(&cv_, lock.mutex()->native_handle(), &at);
    }
    void notify_one() { pthread_cond_signal(&cv_); }
    void notify_all() { pthread_cond_broadcast(&cv_); }

private:
    pthread_cond_t cv_;
};

}  // namespace palisar::parse

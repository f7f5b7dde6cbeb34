// Fork safety of the parallel regions: a child forked after the parent ran a team cannot start
// one with the GNU OpenMP runtime (it waits forever), so children run regions on one thread.
#include "frame/parallel.hpp"

#include <pthread.h>

#include <atomic>

namespace korvel::frame {
namespace {

std::atomic<bool> forked{false};

void mark_forked() noexcept { forked.store(true, std::memory_order_relaxed); }

}  // namespace

bool in_forked_child() noexcept { return forked.load(std::memory_order_relaxed); }

void watch_forks() noexcept {
    static const bool installed = pthread_atfork(nullptr, nullptr, mark_forked) == 0;
    (void)installed;
}

}  // namespace korvel::frame

// The one parallel region of a call: static block partition over the team the runtime formed,
// with the GIL released around it. Relies on OpenMP and the CPython thread-state API.
#pragma once

#include <Python.h>

#include <omp.h>

#include <atomic>

namespace korvel::frame {

struct Range {
    Py_ssize_t begin;
    Py_ssize_t end;
    constexpr bool operator==(const Range&) const = default;
};

// Iterations of thread `thread` in a team of `team`: the first n % team threads take one extra.
constexpr Range block_range(Py_ssize_t n, int team, int thread) noexcept {
    const Py_ssize_t q = n / team, r = n % team;
    const Py_ssize_t begin = thread < r ? thread * (q + 1) : r + thread * q;
    return {begin, begin + (thread < r ? q + 1 : q)};
}
static_assert(block_range(10, 3, 0) == Range{0, 4} && block_range(10, 3, 1) == Range{4, 7} &&
              block_range(10, 3, 2) == Range{7, 10} && block_range(2, 4, 3) == Range{2, 2});

// RAII over PyEval_SaveThread / PyEval_RestoreThread.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// True in a process forked after the module was loaded. The GNU OpenMP runtime cannot start a
// team there once the parent has used one, so such a child runs every region on its own thread.
bool in_forked_child() noexcept;
// Installs the fork handler behind in_forked_child(); called once at module initialisation.
void watch_forks() noexcept;

// The team a region of n iterations requests for `num_threads`: no more threads than
// iterations, than the runtime's thread limit, or than max(64, 8 per processor). The runtime
// aborts the process when it cannot make a requested thread, and any team gives the same bits.
inline int team_size(int num_threads, Py_ssize_t n) noexcept {
    const int processors = omp_get_num_procs();
    int team = processors > 8 ? 8 * processors : 64;
    if (num_threads < team) team = num_threads;
    if (omp_get_thread_limit() < team) team = omp_get_thread_limit();
    return n < team ? static_cast<int>(n) : team;
}

// Releases the GIL, runs `body(begin, end)` once per thread of one region of team_size()
// requested threads over n iterations, and takes the GIL back. No region starts when n is 0.
template <class Body>
void run_region(int num_threads, Py_ssize_t n, Body&& body) {
    const GilRelease released;
    if (n <= 0) return;
    const int team = num_threads == 1 || in_forked_child() ? 1 : team_size(num_threads, n);
    if (team == 1) {
        body(Py_ssize_t{0}, n);  // a team of one owns every iteration
        return;
    }
#pragma omp parallel num_threads(team)
    {  // split by the team the runtime formed, not the one requested
        const Range own = block_range(n, omp_get_num_threads(), omp_get_thread_num());
        body(own.begin, own.end);
    }
}

// As run_region, with the iterations handed out in chunks of about n / (16 x team) in
// ascending order to whichever thread is free: a thread that shares its core with another
// process takes fewer chunks instead of holding the team up. For bodies whose iterations are
// independent, so that any assignment gives the same bits.
template <class Body>
void run_region_dynamic(int num_threads, Py_ssize_t n, Body&& body) {
    const GilRelease released;
    if (n <= 0) return;
    const int team = num_threads == 1 || in_forked_child() ? 1 : team_size(num_threads, n);
    if (team == 1) {
        body(Py_ssize_t{0}, n);
        return;
    }
    const Py_ssize_t chunks_per_thread = 16;
    const Py_ssize_t chunk =
        n / (chunks_per_thread * team) > 1 ? n / (chunks_per_thread * team) : 1;
    std::atomic<Py_ssize_t> next{0};
#pragma omp parallel num_threads(team)
    {
        for (;;) {
            const Py_ssize_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= n) break;
            body(begin, n - begin < chunk ? n : begin + chunk);
        }
    }
}

}  // namespace korvel::frame

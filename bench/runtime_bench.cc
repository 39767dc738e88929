// Runtime costs against their obvious peers: the tracked heap against
// malloc/free, the reference lock against a pthread mutex, alone and with
// two threads handing the lock back and forth.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "bench/bench_support.h"
#include "davro_kuv.h"

namespace {

void TrackedAllocFree64(benchmark::State &state) {
    for (auto _ : state) {
        void *block = kuv_xapi_alloc(64);
        benchmark::DoNotOptimize(block);
        kuv_xapi_free(block);
    }
}
BENCHMARK(TrackedAllocFree64);

void MallocFree64(benchmark::State &state) {
    for (auto _ : state) {
        void *block = std::malloc(64);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}
BENCHMARK(MallocFree64);

void LockUnlockUncontended(benchmark::State &state) {
    kuv_lock_t lock{};
    for (auto _ : state) {
        kuv_mapi_lock_v0(&lock, "bench", __LINE__);
        benchmark::ClobberMemory();
        kuv_mapi_unlock_v0(&lock);
    }
}
BENCHMARK(LockUnlockUncontended);

void PthreadMutexUncontended(benchmark::State &state) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&mutex);
    }
}
BENCHMARK(PthreadMutexUncontended);

// Two threads take the lock 500k times each and bump a shared counter: 1M
// hand-overs in all. Reported per take.
constexpr int kTakesPerThread = 500000;

template <typename Take, typename Give>
void contend(benchmark::State &state, Take take, Give give) {
    for (auto _ : state) {
        uint64_t counter = 0;
        auto worker = [&] {
            for (int i = 0; i < kTakesPerThread; ++i) {
                take();
                ++counter;
                give();
            }
        };
        std::thread a(worker), b(worker);
        a.join();
        b.join();
        if (counter != 2u * kTakesPerThread) state.SkipWithError("lost update");
    }
    state.SetItemsProcessed(state.iterations() * 2 * kTakesPerThread);
}

void LockTwoThreads(benchmark::State &state) {
    kuv_lock_t lock{};
    contend(
        state, [&] { kuv_mapi_lock_v0(&lock, "bench", __LINE__); },
        [&] { kuv_mapi_unlock_v0(&lock); });
}
BENCHMARK(LockTwoThreads)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void PthreadMutexTwoThreads(benchmark::State &state) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    contend(
        state, [&] { pthread_mutex_lock(&mutex); }, [&] { pthread_mutex_unlock(&mutex); });
}
BENCHMARK(PthreadMutexTwoThreads)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread keep_process_threaded;
    return kuv_bench::run_with_ratios(
        argc, argv,
        {{"tracked alloc+free of 64 bytes / malloc+free", "TrackedAllocFree64", "MallocFree64"},
         {"lock+unlock, uncontended / pthread mutex", "LockUnlockUncontended",
          "PthreadMutexUncontended"},
         {"lock hand-over between two threads / pthread mutex",
          "LockTwoThreads/iterations:3/real_time",
          "PthreadMutexTwoThreads/iterations:3/real_time"}});
}

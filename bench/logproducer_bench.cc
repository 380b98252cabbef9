// Log producer speed and memory, each figure next to its reference:
//   add_log throughput (1 and 4 threads) and heap allocations per log;
//   finishing a 4 MiB batch (serialise + LZ4) against LZ4_compress_default alone;
//   our log-group encoding against libprotobuf's generated message;
//   resident memory with the service unreachable and adds running flat out.
// Run: see bench/README.md.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "logproducer/log_builder.h"
#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_manager.h"
#include "logproducer_bench.pb.h"

// Counting heap allocations: every malloc-family call of this process passes
// through here (glibc's own entry points do the work).
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}
static thread_local uint64_t t_allocations = 0;
extern "C" void *malloc(size_t n) {
    ++t_allocations;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
    ++t_allocations;
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
    ++t_allocations;
    return __libc_realloc(p, n);
}

namespace {

// A typical usage event: five pairs, about 300 bytes.
struct Event {
    std::vector<std::string> keys{"event", "session", "version", "os", "detail"};
    std::vector<std::string> values{
        "downloadFinished", "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "4.12.0 (4120)", "macOS 14.1 (23B74)",
        "{\"bytes\":184467440,\"seconds\":37.5,\"speed\":\"4.9 MB/s\",\"resumed\":false,\"cache\":\"miss\","
        "\"url\":\"https://downloads.example.com/pkg/Product-4.12.0.dmg\",\"md5\":\"9e107d9d372bb6826bd81d3542a419d6\","
        "\"attempt\":1,\"mirror\":\"primary\"}"};
    char *k[5];
    char *v[5];
    size_t kl[5];
    size_t vl[5];
    Event() {
        for (int i = 0; i < 5; ++i) {
            k[i] = keys[i].data();
            v[i] = values[i].data();
            kl[i] = keys[i].size();
            vl[i] = values[i].size();
        }
    }
    size_t bytes() const {
        size_t n = 0;
        for (int i = 0; i < 5; ++i) n += kl[i] + vl[i];
        return n;
    }
};

// A producer whose flusher is held and whose closed batches are thrown away
// by a drainer thread, so that only the add path is measured.
struct AddPath {
    log_producer *producer = nullptr;
    log_producer_client *client = nullptr;
    log_producer_manager *manager = nullptr;
    std::thread drainer;
    std::atomic<bool> stop{false};

    AddPath() {
        log_producer_env_init();
        log_producer_config *config = create_log_producer_config();
        log_producer_config_set_endpoint(config, "localhost:9");
        log_producer_config_set_project(config, "bench");
        log_producer_config_set_logstore(config, "events");
        log_producer_config_set_access_id(config, "id");
        log_producer_config_set_access_key(config, "key");
        log_producer_config_set_log_queue_size(config, 4096);
        producer = create_log_producer(config, nullptr, nullptr);
        client = get_log_producer_client(producer, nullptr);
        manager = log_producer_client_manager(client);
        manager->flusher_paused = 1;
        drainer = std::thread([this] {
            while (!stop.load()) {
                auto *b = static_cast<log_group_builder *>(log_queue_pop(manager->loggroup_queue, 10));
                if (b == nullptr) continue;
                {
                    std::lock_guard<std::mutex> guard(manager->lock);
                    manager->totalBufferSize -= static_cast<int64_t>(b->loggroupSize);
                }
                log_group_destroy(b);
            }
        });
    }
    ~AddPath() {
        stop = true;
        drainer.join();
        destroy_log_producer(producer);
    }
};

AddPath &addPath() {
    static AddPath *path = new AddPath();  // lives until exit: threads of all runs share it
    return *path;
}

void BM_AddLog(benchmark::State &state) {
    AddPath &path = addPath();
    Event event;
    uint64_t drops = 0;
    uint64_t allocationsBefore = t_allocations;
    for (auto _ : state) {
        if (log_producer_client_add_log_with_len(path.client, 5, event.k, event.kl, event.v, event.vl, 0) !=
            LOG_PRODUCER_OK)
            ++drops;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * event.bytes()));
    state.counters["drops"] = benchmark::Counter(static_cast<double>(drops), benchmark::Counter::kAvgThreads);
    state.counters["allocs_per_log"] = benchmark::Counter(
        static_cast<double>(t_allocations - allocationsBefore) / static_cast<double>(std::max<int64_t>(1, state.iterations())),
        benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_AddLog)->Threads(1)->Threads(4)->UseRealTime();

// A batch of typical events of about 4 MiB.
log_group_builder *fourMiBBatch() {
    Event event;
    log_group_builder *b = log_group_create();
    uint32_t t = 1700000000;
    while (b->grp->logs.now_buffer_len < 4u * 1024 * 1024) add_log_full(b, t++, 5, event.k, event.kl, event.v, event.vl);
    add_topic(b, "usage", 5);
    add_source(b, "10.0.0.1", 8);
    add_tag(b, "app", 3, "installer", 9);
    add_pack_id(b, "0123456789ABCDEF", 16, 7);
    return b;
}

void BM_FinishBatch_Ours(benchmark::State &state) {
    log_group_builder *b = fourMiBBatch();
    for (auto _ : state) {
        lz4_log_buf *buf = serialize_to_proto_buf_with_malloc_lz4(b);
        benchmark::DoNotOptimize(buf->length);
        free_lz4_log_buf(buf);
    }
    log_group_destroy(b);
}
BENCHMARK(BM_FinishBatch_Ours)->Unit(benchmark::kMillisecond);

void BM_FinishBatch_Lz4Only(benchmark::State &state) {
    log_group_builder *b = fourMiBBatch();
    lz4_log_buf *raw = serialize_to_proto_buf_with_malloc_no_lz4(b);
    log_group_destroy(b);
    int bound = LZ4_compressBound(static_cast<int>(raw->length));
    std::vector<char> out(static_cast<size_t>(bound));
    for (auto _ : state) {
        int n = LZ4_compress_default(reinterpret_cast<const char *>(raw->data), out.data(),
                                     static_cast<int>(raw->length), bound);
        benchmark::DoNotOptimize(n);
    }
    free_lz4_log_buf(raw);
}
BENCHMARK(BM_FinishBatch_Lz4Only)->Unit(benchmark::kMillisecond);

constexpr int kEncodeLogs = 1000;

void BM_Encode_Ours(benchmark::State &state) {
    Event event;
    for (auto _ : state) {
        log_group_builder *b = log_group_create();
        for (int i = 0; i < kEncodeLogs; ++i) add_log_full(b, 1700000000 + i, 5, event.k, event.kl, event.v, event.vl);
        add_topic(b, "usage", 5);
        add_source(b, "10.0.0.1", 8);
        add_tag(b, "app", 3, "installer", 9);
        lz4_log_buf *buf = serialize_to_proto_buf_with_malloc_no_lz4(b);
        benchmark::DoNotOptimize(buf->length);
        free_lz4_log_buf(buf);
        log_group_destroy(b);
    }
}
BENCHMARK(BM_Encode_Ours)->Unit(benchmark::kMicrosecond);

void BM_Encode_Protobuf(benchmark::State &state) {
    Event event;
    std::string out;
    for (auto _ : state) {
        lpbench::LogGroup group;
        for (int i = 0; i < kEncodeLogs; ++i) {
            lpbench::Log *log = group.add_logs();
            log->set_time(1700000000 + i);
            for (int j = 0; j < 5; ++j) {
                lpbench::Content *c = log->add_contents();
                c->set_key(event.keys[j]);
                c->set_value(event.values[j]);
            }
        }
        group.set_topic("usage");
        group.set_source("10.0.0.1");
        lpbench::LogTag *tag = group.add_tags();
        tag->set_key("app");
        tag->set_value("installer");
        out.clear();
        group.SerializeToString(&out);
        benchmark::DoNotOptimize(out.size());
    }
}
BENCHMARK(BM_Encode_Protobuf)->Unit(benchmark::kMicrosecond);

long residentKiB(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

// The service is unreachable (nothing listens); two threads add flat out.
void BM_MemoryUnreachable(benchmark::State &state) {
    for (auto _ : state) {
        log_producer_env_init();
        long before = residentKiB("VmRSS:");
        log_producer_config *config = create_log_producer_config();
        log_producer_config_set_endpoint(config, "localhost:9");
        log_producer_config_set_project(config, "bench");
        log_producer_config_set_logstore(config, "events");
        log_producer_config_set_access_id(config, "id");
        log_producer_config_set_access_key(config, "key");
        log_producer_config_set_send_thread_count(config, 4);
        log_producer_config_set_connect_timeout_sec(config, 1);
        log_producer_config_set_send_timeout_sec(config, 1);
        log_producer *producer = create_log_producer(config, nullptr, nullptr);
        log_producer_client *client = get_log_producer_client(producer, nullptr);
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> added{0}, dropped{0};
        std::vector<std::thread> adders;
        for (int t = 0; t < 2; ++t) {
            adders.emplace_back([&, t] {
                Event event;
                std::string id;
                uint64_t ok = 0, drop = 0;
                while (!stop.load(std::memory_order_relaxed)) {
                    // Vary one value so batches do not compress to nothing.
                    id = std::to_string(t) + "-" + std::to_string(ok + drop);
                    event.v[1] = id.data();
                    event.vl[1] = id.size();
                    if (log_producer_client_add_log_with_len(client, 5, event.k, event.kl, event.v, event.vl, 0) ==
                        LOG_PRODUCER_OK)
                        ++ok;
                    else
                        ++drop;
                }
                added += ok;
                dropped += drop;
            });
        }
        long peak = before;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
        while (std::chrono::steady_clock::now() < end) {
            peak = std::max(peak, residentKiB("VmRSS:"));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop = true;
        for (auto &th : adders) th.join();
        peak = std::max(peak, residentKiB("VmRSS:"));
        destroy_log_producer(producer);
        state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
        state.counters["growth_MiB"] = static_cast<double>(peak - before) / 1024.0;
        state.counters["added"] = static_cast<double>(added.load());
        state.counters["dropped"] = static_cast<double>(dropped.load());
    }
}
BENCHMARK(BM_MemoryUnreachable)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Aggregate adds per second of `threads` threads adding at once, by the wall
// clock from the first add to the last (no per-thread averaging).
double wallClockAddRate(int threads, int perThread, uint64_t &drops) {
    AddPath &path = addPath();
    std::atomic<uint64_t> dropped{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            Event event;
            ++ready;
            while (!go.load()) std::this_thread::yield();
            uint64_t d = 0;
            for (int i = 0; i < perThread; ++i)
                d += log_producer_client_add_log_with_len(path.client, 5, event.k, event.kl, event.v, event.vl, 0) !=
                     LOG_PRODUCER_OK;
            dropped += d;
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    auto begin = std::chrono::steady_clock::now();
    go = true;
    for (auto &w : workers) w.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    drops = dropped.load();
    return static_cast<double>(threads) * perThread / seconds;
}

// Keeps every run's figures for the comparison printed at the end.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, Run> runs;
    void ReportRuns(const std::vector<Run> &report) override {
        for (const auto &run : report) runs[run.benchmark_name()] = run;
        ConsoleReporter::ReportRuns(report);
    }
};

double counter(const benchmark::BenchmarkReporter::Run &run, const char *name) {
    auto it = run.counters.find(name);
    return it == run.counters.end() ? 0.0 : it->second.value;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &r = reporter.runs;
    std::printf("\n== Log producer: figures and comparisons ==\n");
    auto find = [&](const std::string &prefix) -> const benchmark::BenchmarkReporter::Run * {
        for (auto &[name, run] : r)
            if (name.rfind(prefix, 0) == 0) return &run;
        return nullptr;
    };
    // On a shared machine the wall clock also counts other processes' time;
    // the CPU-time figures are the ones to compare.
    if (auto *one = find("BM_AddLog/real_time/threads:1"))
        std::printf("add_log, 1 thread:   %.2f M logs/s by CPU time, %.2f M by wall clock (target >= 2.00), "
                    "%.4f heap allocations per log\n",
                    1e3 / one->GetAdjustedCPUTime(), counter(*one, "items_per_second") / 1e6,
                    counter(*one, "allocs_per_log"));
    if (auto *four = find("BM_AddLog/real_time/threads:4"))
        std::printf("add_log, 4 threads:  %.2f M logs/s per thread, %.4f heap allocations per log\n",
                    counter(*four, "items_per_second") / 1e6, counter(*four, "allocs_per_log"));
    uint64_t drops1 = 0, drops4 = 0;
    double one = wallClockAddRate(1, 2000000, drops1);
    double four = wallClockAddRate(4, 500000, drops4);
    std::printf("add_log, wall clock: 1 thread %.2f M logs/s (%llu dropped), 4 threads %.2f M logs/s in all "
                "(%llu dropped)\n",
                one / 1e6, static_cast<unsigned long long>(drops1), four / 1e6,
                static_cast<unsigned long long>(drops4));
    auto *ours = find("BM_FinishBatch_Ours");
    auto *lz4 = find("BM_FinishBatch_Lz4Only");
    if (ours && lz4)
        std::printf("finish 4 MiB batch:  %.3f ms CPU vs LZ4_compress_default alone %.3f ms CPU: ratio %.3f "
                    "(target <= 1.15)\n",
                    ours->GetAdjustedCPUTime(), lz4->GetAdjustedCPUTime(),
                    ours->GetAdjustedCPUTime() / lz4->GetAdjustedCPUTime());
    auto *enc = find("BM_Encode_Ours");
    auto *pb = find("BM_Encode_Protobuf");
    if (enc && pb)
        std::printf("encode %d logs:    ours %.1f us CPU vs libprotobuf %.1f us CPU: ours %.2fx as fast (target >= 1)\n",
                    kEncodeLogs, enc->GetAdjustedCPUTime(), pb->GetAdjustedCPUTime(),
                    pb->GetAdjustedCPUTime() / enc->GetAdjustedCPUTime());
    if (auto *mem = find("BM_MemoryUnreachable"))
        std::printf("memory, unreachable: peak RSS %.1f MiB (growth %.1f MiB) vs ceiling 64 + 16 = 80 MiB; "
                    "%.0f logs added, %.0f dropped\n",
                    counter(*mem, "peak_rss_MiB"), counter(*mem, "growth_MiB"), counter(*mem, "added"),
                    counter(*mem, "dropped"));
    benchmark::Shutdown();
    return 0;
}

#include "logproducer/log_producer_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <mbedtls/md5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "logproducer/log_api.h"
#include "logproducer/log_producer_sender.h"

namespace {

void notify_send_done(log_producer_manager *manager, log_producer_result result, size_t rawBytes,
                      size_t compressed, const char *message) {
    if (manager->send_done_function == nullptr) return;
    manager->send_done_function(manager->producer_config->logstore, result, rawBytes, compressed, nullptr,
                                message, nullptr, manager->user_param);
}

// Group-level fields, then serialise and compress; absent on failure.
lz4_log_buf *finish_batch(log_producer_manager *manager, log_group_builder *builder) {
    log_producer_config *config = manager->producer_config;
    for (int32_t i = 0; i < config->tagCount; ++i) {
        add_tag(builder, config->tags[i].key, sdslen(config->tags[i].key), config->tags[i].value,
                sdslen(config->tags[i].value));
    }
    if (config->topic != nullptr) add_topic(builder, config->topic, sdslen(config->topic));
    if (manager->source != nullptr) add_source(builder, manager->source, sdslen(manager->source));
    if (manager->pack_prefix != nullptr) {
        add_pack_id(builder, manager->pack_prefix, sdslen(manager->pack_prefix), manager->pack_index++);
    }
    return config->compressType == 1 ? serialize_to_proto_buf_with_malloc_lz4(builder)
                                     : serialize_to_proto_buf_with_malloc_no_lz4(builder);
}

// Finishes a closed batch and puts it into the send ring.
void finish_and_queue(log_producer_manager *manager, log_group_builder *builder) {
    log_producer_config *config = manager->producer_config;
    {
        std::lock_guard<std::mutex> guard(manager->lock);
        manager->totalBufferSize -= static_cast<int64_t>(builder->loggroupSize);
    }
    lz4_log_buf *buf = finish_batch(manager, builder);
    if (buf == nullptr) {
        lp_error_log("serialize loggroup to proto buf with lz4 failed");
        notify_send_done(manager, LOG_PRODUCER_DROP_ERROR, builder->loggroupSize, 0,
                         "serialize loggroup to proto buf with lz4 failed");
        --manager->pending_batches;
    } else {
        int64_t total;
        {
            std::lock_guard<std::mutex> guard(manager->lock);
            total = (manager->totalBufferSize += static_cast<int64_t>(buf->length));
        }
        lp_debug_log("push loggroup to sender, config %s, loggroup size %d, lz4 size %d, now buffer size %d",
                     config->logstore, static_cast<int>(buf->rawLength), static_cast<int>(buf->length),
                     static_cast<int>(total));
        log_producer_send_param *param =
            create_log_producer_send_param(config, manager, buf, builder->createTime);
        manager->send_param_queue[manager->send_param_queue_write % manager->send_param_queue_size] = param;
        ++manager->send_param_queue_write;
    }
    log_group_destroy(builder);
}

// --- The spool file -------------------------------------------------------
//
// "LPSPOOL1", then per batch: magic, builder time, compress type, raw length,
// length (little-endian fixed-width integers), the MD5 of the data, the data.
// A file that fails any check is dropped whole: it may be truncated by a
// crash, damaged, or not ours.

constexpr char kSpoolHeader[8] = {'L', 'P', 'S', 'P', 'O', 'O', 'L', '1'};
constexpr uint32_t kSpoolRecordMagic = 0x4C4F5053;  // "SPOL"
constexpr size_t kSpoolRecordHead = 4 + 4 + 4 + 8 + 8 + 16;
constexpr uint64_t kSpoolMaxRawLength = 64ull * 1024 * 1024;

void put_le(std::string &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t get_le(const char *in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(in[i]);
    return value;
}

void md5_of(const std::string &data, unsigned char digest[16]) {
    mbedtls_md5_ret(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
}

}  // namespace

const char *log_spool_parse(const std::string &text, int64_t max_bytes, int32_t compress_type,
                            std::vector<log_producer_manager::spooled_batch> *batches) {
    const char *why = nullptr;
    size_t at = sizeof kSpoolHeader;
    if (text.size() > static_cast<size_t>(max_bytes) + sizeof kSpoolHeader) {
        why = "larger than its limit";
    } else if (text.size() < sizeof kSpoolHeader || std::memcmp(text.data(), kSpoolHeader, sizeof kSpoolHeader) != 0) {
        why = "not a spool file";
    }
    while (why == nullptr && at < text.size()) {
        if (text.size() - at < kSpoolRecordHead) {
            why = "truncated";
            break;
        }
        const char *head = text.data() + at;
        log_producer_manager::spooled_batch batch;
        uint32_t magic = static_cast<uint32_t>(get_le(head, 4));
        batch.builder_time = static_cast<uint32_t>(get_le(head + 4, 4));
        uint32_t compress = static_cast<uint32_t>(get_le(head + 8, 4));
        batch.raw_length = get_le(head + 12, 8);
        uint64_t length = get_le(head + 20, 8);
        if (magic != kSpoolRecordMagic || length == 0 || length > text.size() - at - kSpoolRecordHead ||
            batch.raw_length == 0 || batch.raw_length > kSpoolMaxRawLength ||
            (compress == 0 && batch.raw_length != length) || compress > 1) {
            why = "damaged";
            break;
        }
        batch.data.assign(head + kSpoolRecordHead, length);
        unsigned char digest[16];
        md5_of(batch.data, digest);
        if (std::memcmp(digest, head + 28, 16) != 0) {
            why = "damaged";
            break;
        }
        at += kSpoolRecordHead + length;
        // A batch made for the other wire format cannot be sent as it is.
        if (static_cast<int32_t>(compress) == compress_type) batches->push_back(std::move(batch));
    }
    if (why != nullptr) batches->clear();
    return why;
}

namespace {

// Creates the missing directories of `dir`, each private to this user
// (directories that exist keep their mode). Failures show up at the write.
void make_private_directories(const std::filesystem::path &dir) {
    if (dir.empty()) return;
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) return;
    if (dir.has_parent_path() && dir.parent_path() != dir) make_private_directories(dir.parent_path());
    ::mkdir(dir.c_str(), 0700);
}

// The spool's bytes, read only when it is a regular file of at most `limit`
// bytes; otherwise (a FIFO, a link, a device, too large) nothing, with the
// reason in `why`, and never blocks. Absent: no spool at all.
std::optional<std::string> spool_read(const char *path, uint64_t limit, const char **why) {
    int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        *why = errno == ELOOP ? "a link" : "unreadable";
        return std::string();
    }
    std::string text;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *why = "unreadable";
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > limit) {
        *why = "larger than its limit";
    } else {
        text.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < text.size()) {
            ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);  // shrunk meanwhile: the checks below drop it
    }
    ::close(fd);
    return text;
}

// Reads and removes the spool, queueing its batches in the send ring ahead
// of anything else. Runs in create, before the flusher starts.
void spool_load(log_producer_manager *manager) {
    log_producer_config *config = manager->producer_config;
    if (config->spoolPath == nullptr) return;
    const char *why = nullptr;
    std::optional<std::string> read =
        spool_read(config->spoolPath, static_cast<uint64_t>(config->spoolMaxBytes) + sizeof kSpoolHeader, &why);
    if (!read) return;
    // Removes the name only: a link goes, not what it points to.
    std::error_code ec;
    std::filesystem::remove(config->spoolPath, ec);

    std::vector<log_producer_manager::spooled_batch> batches;
    if (why == nullptr) why = log_spool_parse(*read, config->spoolMaxBytes, config->compressType, &batches);
    if (why != nullptr) {
        lp_warn_log("discarding log spool %s: %s", config->spoolPath, why);
        return;
    }
    for (auto &batch : batches) {
        if (manager->send_param_queue_write - manager->send_param_queue_read >= manager->send_param_queue_size) {
            lp_warn_log("log spool %s holds more batches than can be queued; the rest are dropped", config->spoolPath);
            break;
        }
        lz4_log_buf *buf = create_lz4_log_buf(batch.data.data(), batch.data.size(), batch.raw_length);
        manager->totalBufferSize += static_cast<int64_t>(buf->length);
        ++manager->pending_batches;
        manager->send_param_queue[manager->send_param_queue_write % manager->send_param_queue_size] =
            create_log_producer_send_param(config, manager, buf, batch.builder_time);
        ++manager->send_param_queue_write;
    }
    lp_info_log("log spool %s: %d batches queued", config->spoolPath, static_cast<int>(batches.size()));
}

// Writes the kept batches, newest first within the size limit, to the spool
// file (aside, then renamed over it). Runs in destroy after every thread has
// been joined.
void spool_write(log_producer_manager *manager) {
    log_producer_config *config = manager->producer_config;
    if (config->spoolPath == nullptr) return;
    std::vector<log_producer_manager::spooled_batch> batches;
    {
        std::lock_guard<std::mutex> guard(manager->spool_lock);
        batches.swap(manager->spool);
    }
    if (batches.empty()) return;
    std::stable_sort(batches.begin(), batches.end(),
                     [](const auto &a, const auto &b) { return a.builder_time < b.builder_time; });
    size_t first = batches.size();
    uint64_t total = 0;
    while (first > 0 && total + kSpoolRecordHead + batches[first - 1].data.size() <=
                            static_cast<uint64_t>(config->spoolMaxBytes)) {
        --first;
        total += kSpoolRecordHead + batches[first].data.size();
    }
    if (first > 0) lp_warn_log("log spool full: %d oldest batches dropped", static_cast<int>(first));
    if (first == batches.size()) return;

    std::string out(kSpoolHeader, sizeof kSpoolHeader);
    for (size_t i = first; i < batches.size(); ++i) {
        const auto &batch = batches[i];
        put_le(out, kSpoolRecordMagic, 4);
        put_le(out, batch.builder_time, 4);
        put_le(out, static_cast<uint64_t>(config->compressType), 4);
        put_le(out, batch.raw_length, 8);
        put_le(out, batch.data.size(), 8);
        unsigned char digest[16];
        md5_of(batch.data, digest);
        out.append(reinterpret_cast<const char *>(digest), 16);
        out += batch.data;
    }
    // Private: written aside with mode 0600 (never through a link), then
    // renamed over the spool.
    std::filesystem::path path(config->spoolPath);
    make_private_directories(path.parent_path());
    std::filesystem::path aside = path;
    aside += ".new";
    std::error_code ec;
    std::filesystem::remove(aside, ec);
    int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    size_t written = 0;
    if (fd >= 0) {
        while (written < out.size()) {
            ssize_t n = ::write(fd, out.data() + written, out.size() - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            written += static_cast<size_t>(n);
        }
        if (::close(fd) != 0) written = 0;
    }
    if (fd < 0 || written != out.size()) {
        lp_error_log("cannot write log spool %s", config->spoolPath);
        std::filesystem::remove(aside, ec);
        return;
    }
    std::filesystem::rename(aside, path, ec);
    if (ec) {
        lp_error_log("cannot write log spool %s", config->spoolPath);
        std::filesystem::remove(aside, ec);
    }
}

void log_producer_flush_thread(log_producer_manager *manager) {
    log_producer_config *config = manager->producer_config;
    lp_info_log("start run flusher thread, config : %s", config->logstore);
    while (manager->shutdown.load() == 0) {
        {
            std::unique_lock<std::mutex> lock(manager->lock);
            manager->triger_cond.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (manager->flusher_paused.load() != 0) {
            manager->flusher_paused.store(2);  // acknowledged: no work until cleared
            continue;
        }

        while (manager->send_param_queue_write - manager->send_param_queue_read <
               manager->send_param_queue_size) {
            auto *builder = static_cast<log_group_builder *>(log_queue_trypop(manager->loggroup_queue));
            if (builder == nullptr) break;
            finish_and_queue(manager, builder);
        }

        // A quiet batch leaves once it is older than the packet time-out.
        log_group_builder *aged = nullptr;
        bool dropped = false;
        size_t droppedSize = 0;
        {
            std::lock_guard<std::mutex> guard(manager->lock);
            uint32_t now = lp_local_time();
            if (manager->builder != nullptr &&
                static_cast<int64_t>(now) - static_cast<int64_t>(manager->firstLogTime) >
                    config->packetTimeout / 1000) {
                aged = manager->builder;
                manager->builder = nullptr;
                size_t size = aged->loggroupSize;
                int status = log_queue_push(manager->loggroup_queue, aged);
                lp_debug_log("try push loggroup to flusher, size : %d, status : %d", static_cast<int>(size),
                             status);
                if (status != 0) {
                    lp_error_log("try push loggroup to flusher failed, force drop this log group, error code : %d",
                                 status);
                    dropped = true;
                    droppedSize = size;
                } else {
                    manager->totalBufferSize += static_cast<int64_t>(size);
                    ++manager->pending_batches;
                    manager->triger_cond.notify_all();
                }
            }
        }
        if (dropped) {
            notify_send_done(manager, LOG_PRODUCER_DROP_ERROR, droppedSize, 0,
                             "try push loggroup to flusher failed, force drop this log group");
            log_group_destroy(aged);
        }

        if (manager->sender_data_queue != nullptr) {
            while (manager->send_param_queue_read < manager->send_param_queue_write) {
                log_producer_send_param *param =
                    manager->send_param_queue[manager->send_param_queue_read % manager->send_param_queue_size];
                if (log_queue_push(manager->sender_data_queue, param) != 0) break;
                ++manager->send_param_queue_read;
            }
        } else if (manager->send_param_queue_read < manager->send_param_queue_write) {
            log_producer_send_param *param =
                manager->send_param_queue[manager->send_param_queue_read % manager->send_param_queue_size];
            ++manager->send_param_queue_read;
            log_producer_send_data(param);
        }
    }
    lp_info_log("exit flusher thread, config : %s", config->logstore);
}

}  // namespace

log_producer_manager *create_log_producer_manager(log_producer_config *producer_config) {
    lp_debug_log("create log producer manager : %s", producer_config->logstore);
    auto *manager = new log_producer_manager();
    manager->producer_config = producer_config;

    int64_t q = producer_config->logQueueSize;
    if (q < 1) {
        q = static_cast<int64_t>(producer_config->maxBufferBytes) /
                (static_cast<int64_t>(producer_config->logBytesPerPackage) + 1) + 10;
    }
    if (q > 102400) q = 102400;
    if (q < 32) q = 32;
    auto base = static_cast<int32_t>(q);
    manager->loggroup_queue = log_queue_create(base);
    manager->send_param_queue_size = static_cast<uint64_t>(base) * 2;
    manager->send_param_queue = new log_producer_send_param *[manager->send_param_queue_size]();

    manager->source = sdsnew(producer_config->source != nullptr ? producer_config->source : "undefined");
    manager->pack_prefix = _get_pack_id(producer_config->logstore, manager->source);
    if (manager->pack_prefix == nullptr) {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        char digits[17];
        for (int i = 0; i < 16; ++i) digits[i] = static_cast<char>('0' + std::rand() % 10);
        manager->pack_prefix = sdsnewlen(digits, 16);
    }

    spool_load(manager);

    if (producer_config->sendThreadCount > 0) {
        manager->sender_data_queue = log_queue_create(base * 2);
        manager->send_thread_count = producer_config->sendThreadCount;
        manager->send_threads = new std::thread[static_cast<size_t>(manager->send_thread_count)];
        for (int32_t i = 0; i < manager->send_thread_count; ++i) {
            manager->send_threads[i] = std::thread(log_producer_send_thread, manager);
        }
    }
    manager->flush_thread = std::thread(log_producer_flush_thread, manager);
    return manager;
}

void destroy_log_producer_manager(log_producer_manager *manager) {
    if (manager == nullptr) return;
    log_producer_config *config = manager->producer_config;
    {
        std::lock_guard<std::mutex> guard(manager->lock);
        if (manager->builder != nullptr) {
            log_group_builder *builder = manager->builder;
            manager->builder = nullptr;
            size_t size = builder->loggroupSize;
            lp_debug_log("try push loggroup to flusher, size : %d, log size %d", static_cast<int>(size),
                         static_cast<int>(builder->grp->n_logs));
            int status = log_queue_push(manager->loggroup_queue, builder);
            if (status != 0) {
                lp_error_log("try push loggroup to flusher failed, force drop this log group, error code : %d",
                             status);
                log_group_destroy(builder);
            } else {
                manager->totalBufferSize += static_cast<int64_t>(size);
                ++manager->pending_batches;
                manager->triger_cond.notify_all();
            }
        }
    }

    lp_info_log("flush out producer loggroup begin");
    int32_t polls = (config->destroyFlusherWaitSec > 0 ? config->destroyFlusherWaitSec * 100 : 100) +
                    (config->destroySenderWaitSec > 0 ? config->destroySenderWaitSec * 100 : 100);
    // The bound is polls x 10 ms of real time: on a busy machine each sleep
    // overruns, and counting polls alone would stretch the quit.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(10 * (polls + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool drained = false;
    while (true) {
        if (manager->pending_batches.load() == 0 && log_queue_size(manager->loggroup_queue) == 0 &&
            manager->send_param_queue_read.load() == manager->send_param_queue_write.load() &&
            (manager->sender_data_queue == nullptr || log_queue_size(manager->sender_data_queue) == 0)) {
            drained = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= give_up) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (drained) {
        lp_info_log("flush out producer loggroup success");
    } else {
        lp_error_log("try flush out producer loggroup error, force exit, now loggroup %d",
                     log_queue_size(manager->loggroup_queue));
    }

    {
        std::lock_guard<std::mutex> guard(manager->lock);
        manager->shutdown.store(1);
        manager->triger_cond.notify_all();
    }
    lp_info_log("join flush thread begin");
    manager->flush_thread.join();
    lp_info_log("join flush thread success");
    if (manager->send_threads != nullptr) {
        lp_info_log("join sender thread pool begin");
        for (int32_t i = 0; i < manager->send_thread_count; ++i) manager->send_threads[i].join();
        delete[] manager->send_threads;
        manager->send_threads = nullptr;
        lp_info_log("join sender thread pool success");
    }

    // Batches the flusher never finished are not sent (but spooled).
    while (auto *builder = static_cast<log_group_builder *>(log_queue_trypop(manager->loggroup_queue))) {
        if (config->spoolPath != nullptr) {
            if (lz4_log_buf *buf = finish_batch(manager, builder)) {
                log_producer_spool_keep(manager, buf, builder->createTime);
                free_lz4_log_buf(buf);
            }
        }
        log_group_destroy(builder);
    }
    log_queue_destroy(manager->loggroup_queue);

    // Finished batches still in the ring or the sender queue are reported as
    // abandoned (shutdown is set, so the send function does not post them).
    while (manager->send_param_queue_read < manager->send_param_queue_write) {
        log_producer_send_param *param =
            manager->send_param_queue[manager->send_param_queue_read % manager->send_param_queue_size];
        ++manager->send_param_queue_read;
        log_producer_send_fun(param);
    }
    if (manager->sender_data_queue != nullptr) {
        lp_info_log("flush out sender queue begin");
        while (auto *param = static_cast<log_producer_send_param *>(log_queue_trypop(manager->sender_data_queue))) {
            log_producer_send_fun(param);
        }
        log_queue_destroy(manager->sender_data_queue);
    }

    spool_write(manager);

    sdsfree(manager->pack_prefix);
    sdsfree(manager->source);
    delete[] manager->send_param_queue;
    delete manager;
}

void log_producer_spool_keep(log_producer_manager *manager, const lz4_log_buf *buf, uint32_t builder_time) {
    if (manager == nullptr || buf == nullptr || manager->producer_config->spoolPath == nullptr) return;
    log_producer_manager::spooled_batch batch{builder_time, buf->rawLength,
                                              std::string(reinterpret_cast<const char *>(buf->data), buf->length)};
    std::lock_guard<std::mutex> guard(manager->spool_lock);
    manager->spool.push_back(std::move(batch));
}

log_producer_result log_producer_manager_add_log(log_producer_manager *manager, int32_t pair_count, char **keys,
                                                 size_t *key_lens, char **values, size_t *val_lens, int flush) {
    return log_producer_manager_add_log_with_time(manager, LOG_GET_TIME(), pair_count, keys, key_lens, values,
                                                  val_lens, flush);
}

log_producer_result log_producer_manager_add_log_with_time(log_producer_manager *manager, uint32_t time_sec,
                                                           int32_t pair_count, char **keys, size_t *key_lens,
                                                           char **values, size_t *val_lens, int flush) {
    log_producer_config *config = manager->producer_config;
    if (manager->totalBufferSize.load(std::memory_order_relaxed) > config->maxBufferBytes) {
        return LOG_PRODUCER_DROP_ERROR;
    }
    std::lock_guard<std::mutex> guard(manager->lock);
    if (manager->builder == nullptr) {
        if (log_queue_isfull(manager->loggroup_queue)) return LOG_PRODUCER_DROP_ERROR;
        manager->builder = log_group_create();
        manager->firstLogTime = manager->builder->createTime;
        manager->builder->privateValue = manager;
    }
    log_group_builder *builder = manager->builder;
    add_log_full(builder, time_sec, pair_count, keys, key_lens, values, val_lens);

    if (flush == 0 && builder->loggroupSize < static_cast<size_t>(config->logBytesPerPackage) &&
        static_cast<int64_t>(lp_local_time()) - static_cast<int64_t>(manager->firstLogTime) <
            config->packetTimeout / 1000 &&
        static_cast<int64_t>(builder->grp->n_logs) < config->logCountPerPackage) {
        return LOG_PRODUCER_OK;
    }

    manager->builder = nullptr;
    size_t size = builder->loggroupSize;
    lp_debug_log("try push loggroup to flusher, size : %d, log count %d", static_cast<int>(size),
                 static_cast<int>(builder->grp->n_logs));
    int status = log_queue_push(manager->loggroup_queue, builder);
    if (status != 0) {
        lp_error_log("try push loggroup to flusher failed, force drop this log group, error code : %d", status);
        log_group_destroy(builder);
        return LOG_PRODUCER_DROP_ERROR;
    }
    manager->totalBufferSize += static_cast<int64_t>(size);
    ++manager->pending_batches;
    manager->triger_cond.notify_all();
    return LOG_PRODUCER_OK;
}

log_producer_result log_producer_manager_send_raw_buffer(log_producer_manager *manager, size_t log_bytes,
                                                         size_t compressed_bytes,
                                                         const unsigned char *raw_buffer) {
    if (raw_buffer == nullptr) return LOG_PRODUCER_INVALID;
    lz4_log_buf *buf = create_lz4_log_buf(raw_buffer, compressed_bytes, log_bytes);
    log_producer_send_param *param =
        create_log_producer_send_param(manager->producer_config, manager, buf, LOG_GET_TIME());
    {
        std::lock_guard<std::mutex> guard(manager->lock);
        manager->totalBufferSize += static_cast<int64_t>(compressed_bytes);
    }
    ++manager->pending_batches;
    if (manager->sender_data_queue != nullptr) {
        if (log_queue_push(manager->sender_data_queue, param) != 0) {
            {
                std::lock_guard<std::mutex> guard(manager->lock);
                manager->totalBufferSize -= static_cast<int64_t>(compressed_bytes);
            }
            --manager->pending_batches;
            free_lz4_log_buf(buf);
            delete param;
            return LOG_PRODUCER_DROP_ERROR;
        }
        return LOG_PRODUCER_OK;
    }
    log_producer_send_data(param);
    return LOG_PRODUCER_OK;
}

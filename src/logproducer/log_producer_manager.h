// The producer manager: the open batch, the flusher thread, the sender pool
// and the memory ceiling behind one client. Internal to the library (C++).
//
// Threads: any number of adders; one flusher; sendThreadCount senders.
// `lock` guards builder, firstLogTime and the close decision; totalBufferSize
// is changed under `lock` and read without it (atomic). sendRing is touched by
// the flusher only (and by destroy once the flusher has been joined).
#ifndef LOGPRODUCER_LOG_PRODUCER_MANAGER_H
#define LOGPRODUCER_LOG_PRODUCER_MANAGER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logproducer/log_builder.h"
#include "logproducer/log_multi_thread.h"
#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_config.h"

struct log_producer_send_param;

struct log_producer_manager {
    log_producer_config *producer_config = nullptr;  // owned by the producer
    std::atomic<int32_t> shutdown{0};
    std::atomic<int32_t> networkRecover{0};
    std::atomic<int64_t> totalBufferSize{0};
    log_queue *loggroup_queue = nullptr;
    log_queue *sender_data_queue = nullptr;  // only with sender threads
    std::thread *send_threads = nullptr;
    int32_t send_thread_count = 0;
    std::thread flush_thread;
    std::mutex lock;
    std::condition_variable triger_cond;
    log_group_builder *builder = nullptr;
    uint32_t firstLogTime = 0;
    sds source = nullptr;
    sds pack_prefix = nullptr;
    size_t pack_index = 0;
    on_log_producer_send_done_function send_done_function = nullptr;
    void *user_param = nullptr;
    log_producer_send_param **send_param_queue = nullptr;  // the send ring
    uint64_t send_param_queue_size = 0;
    // Written by the flusher only; atomic so destroy can watch the ring drain.
    std::atomic<uint64_t> send_param_queue_read{0};
    std::atomic<uint64_t> send_param_queue_write{0};
    std::atomic<int32_t> multi_thread_send_count{0};
    // Batches accepted and not yet finished (sent, discarded or abandoned),
    // wherever they are: queued, in the flusher's hands or being sent. Destroy
    // waits for this to reach 0, so a batch in flight is not mistaken for a
    // drained pipeline.
    std::atomic<int64_t> pending_batches{0};
    // Test seam: set to 1 to hold the flusher's work (not its wait); the
    // flusher answers 2 once it has seen it. Clear to resume.
    std::atomic<int32_t> flusher_paused{0};
    // Finished batches given up at shutdown, for the spool file; guarded by
    // spool_lock (senders and the destroying thread add to it).
    struct spooled_batch {
        uint32_t builder_time;
        uint64_t raw_length;
        std::string data;  // as sent: compressed when compressType is 1
    };
    std::mutex spool_lock;
    std::vector<spooled_batch> spool;
};

log_producer_manager *create_log_producer_manager(log_producer_config *producer_config);
void destroy_log_producer_manager(log_producer_manager *manager);

log_producer_result log_producer_manager_add_log(log_producer_manager *manager, int32_t pair_count,
                                                 char **keys, size_t *key_lens, char **values,
                                                 size_t *val_lens, int flush);
log_producer_result log_producer_manager_add_log_with_time(log_producer_manager *manager, uint32_t time_sec,
                                                           int32_t pair_count, char **keys, size_t *key_lens,
                                                           char **values, size_t *val_lens, int flush);
log_producer_result log_producer_manager_send_raw_buffer(log_producer_manager *manager, size_t log_bytes,
                                                         size_t compressed_bytes,
                                                         const unsigned char *raw_buffer);

// Keeps a copy of a batch given up at shutdown for the spool file; does
// nothing without config->spoolPath. Any thread.
void log_producer_spool_keep(log_producer_manager *manager, const lz4_log_buf *buf, uint32_t builder_time);

// Reads the bytes of a spool file into its batches, keeping those made for
// compress_type. Returns NULL when the whole file is sound, else why it is
// not ("not a spool file", "truncated", "damaged", "larger than its limit";
// batches is then left empty). Pure; any thread.
const char *log_spool_parse(const std::string &text, int64_t max_bytes, int32_t compress_type,
                            std::vector<log_producer_manager::spooled_batch> *batches);

// The manager behind a client (test and bridge access).
log_producer_manager *log_producer_client_manager(log_producer_client *client);

#endif

// Bounded pointer queues shared by the producer's threads.
//
// A log_queue is a fixed ring of `size` slots with ever-increasing write and
// read counts, one mutex and one condition variable. Push never waits; pop
// waits at most once, up to waitMs, when the queue is empty. Every function
// may be called from any thread; the queue does not own the items it holds
// (whoever pops an item owns it). Destroying a queue while another thread
// still uses it is not allowed. Internal to the library (C++ only).
#ifndef LOGPRODUCER_LOG_MULTI_THREAD_H
#define LOGPRODUCER_LOG_MULTI_THREAD_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

struct log_queue {
    void **data = nullptr;
    uint64_t head = 0;  // write count
    uint64_t tail = 0;  // read count
    int32_t size = 0;
    std::mutex mutex;
    std::condition_variable notempty;
};

log_queue *log_queue_create(int32_t size);
void log_queue_destroy(log_queue *queue);
int32_t log_queue_size(log_queue *queue);
int32_t log_queue_isfull(log_queue *queue);
// 0 on success, -1 when full.
int32_t log_queue_push(log_queue *queue, void *data);
// The oldest item, or absent after waiting up to waitMs on an empty queue.
void *log_queue_pop(log_queue *queue, int32_t waitMs);
void *log_queue_trypop(log_queue *queue);

#endif

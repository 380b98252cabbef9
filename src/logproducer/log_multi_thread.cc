#include "logproducer/log_multi_thread.h"

#include <chrono>

log_queue *log_queue_create(int32_t size) {
    if (size < 1) size = 1;
    auto *queue = new log_queue();
    queue->data = new void *[static_cast<size_t>(size)]();
    queue->size = size;
    return queue;
}

void log_queue_destroy(log_queue *queue) {
    if (queue == nullptr) return;
    delete[] queue->data;
    delete queue;
}

int32_t log_queue_size(log_queue *queue) {
    std::lock_guard<std::mutex> guard(queue->mutex);
    return static_cast<int32_t>(queue->head - queue->tail);
}

int32_t log_queue_isfull(log_queue *queue) {
    std::lock_guard<std::mutex> guard(queue->mutex);
    return queue->head - queue->tail >= static_cast<uint64_t>(queue->size) ? 1 : 0;
}

int32_t log_queue_push(log_queue *queue, void *data) {
    {
        std::lock_guard<std::mutex> guard(queue->mutex);
        if (queue->head - queue->tail >= static_cast<uint64_t>(queue->size)) return -1;
        queue->data[queue->head % static_cast<uint64_t>(queue->size)] = data;
        ++queue->head;
    }
    queue->notempty.notify_one();
    return 0;
}

void *log_queue_pop(log_queue *queue, int32_t waitMs) {
    std::unique_lock<std::mutex> lock(queue->mutex);
    if (queue->head == queue->tail && waitMs > 0) {
        queue->notempty.wait_for(lock, std::chrono::milliseconds(waitMs));
    }
    if (queue->head == queue->tail) return nullptr;
    void *item = queue->data[queue->tail % static_cast<uint64_t>(queue->size)];
    ++queue->tail;
    return item;
}

void *log_queue_trypop(log_queue *queue) { return log_queue_pop(queue, 0); }

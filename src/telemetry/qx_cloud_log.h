/* The plain-function bridge to the cloud log service: one log producer per
 * process, held behind one statically created mutex.
 *
 * Every function may be called from any thread; the mutex serialises init,
 * add and shutdown, so an add never races the destruction of the client.
 * Nothing here throws or waits on the network, except qx_cl_shutdown, which
 * flushes and joins the producer's threads (a few seconds at most).
 */
#ifndef TELEMETRY_QX_CLOUD_LOG_H
#define TELEMETRY_QX_CLOUD_LOG_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the environment and the producer (4 MiB / 4096-log batches, 3 s
 * packet timeout, 64 MiB buffer, 4 senders) and the background clock sync.
 * False, with the state untouched, when any argument is absent or empty;
 * false when the environment or the producer cannot be started. True without
 * effect when a producer already exists. The endpoint is host[:port]. */
bool qx_cl_init(const char *endpoint, const char *project, const char *logstore,
                const char *access_key_id, const char *access_key_secret);

/* Adds one log with the keys, in order, "Attribute" (attribute, "" when
 * absent), "Activity", "GenerateUuid" ("{uuid}", "{}" when absent, cut to 79
 * bytes), "Window" = "AppDownloader" and "Timestamp" = "0". False when the
 * activity is absent or empty, when no producer runs, or when the producer
 * refuses the log (buffer limit); the log is then lost. */
bool qx_cl_add_log(const char *activity, const char *attribute, const char *uuid);

/* Destroys the producer (flushing what it can) and the environment; nothing
 * when none exists. */
void qx_cl_shutdown(void);

/* Writes the machine identifier into out (NUL-terminated), or leaves out
 * with an empty first byte when it cannot: no buffer, no readable platform
 * identifier, or too small a buffer. Mode 1: the platform identifier
 * lower-cased (size must exceed its length). Any other mode: SHA-256 of
 * "darwin|" + the platform identifier as 64 lower-case hex digits (size must
 * be at least 65). Nothing at all is written when size is 0. */
void qx_cl_machine_id(char *out, size_t size, int mode);

#ifdef __cplusplus
}
#endif

#endif

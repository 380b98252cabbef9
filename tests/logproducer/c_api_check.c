/* Compiled as C: the public headers must stay usable from C callers. */
#include "logproducer/log_api.h"
#include "logproducer/log_builder.h"
#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_config.h"
#include "logproducer/sds.h"

int lp_c_api_check(void) {
    log_producer_config *config = create_log_producer_config();
    log_producer_config_set_endpoint(config, "https://example.invalid");
    sds s = sdsnew("c");
    s = sdscatprintf(s, "%d", 1);
    int ok = sdslen(s) == 2 && config->compressType == 1 && LOG_PRODUCER_SEND_EXIT_BUFFERED == 10;
    sdsfree(s);
    destroy_log_producer_config(config);
    return ok;
}

/* Compiled as C: the bridge must stay callable from C. */
#include "telemetry/qx_cloud_log.h"

bool qx_c_caller_machine_id(char *out, size_t size) {
    qx_cl_machine_id(out, size, 0);
    qx_cl_shutdown();
    return !qx_cl_init(NULL, "p", "l", "i", "s") && !qx_cl_add_log(NULL, NULL, NULL);
}

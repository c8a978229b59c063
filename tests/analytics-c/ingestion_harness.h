#ifndef KESTRO_TEST_INGESTION_HARNESS_H
#define KESTRO_TEST_INGESTION_HARNESS_H
/* The loopback ingestion server, for the C program. */

#include <stdbool.h>
#include <stddef.h>

#include "analytics/capi/plover.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ingestion ingestion;

/* A server on 127.0.0.1 answering batches with 200 and flag requests with `flags_body`. It points
 * XDG_DATA_HOME and XDG_CONFIG_HOME at a private folder that ingestion_stop removes. */
ingestion *ingestion_start(const char *flags_body);
void ingestion_stop(ingestion *server);
/* "http://127.0.0.1:<port>"; valid while the server runs. */
const char *ingestion_host(const ingestion *server);
/* Waits (up to `timeout_ms`) until the uploaded batches hold at least `count` events named
   `event`; answers how many there are then. */
size_t ingestion_wait_for_events(ingestion *server, const char *event, size_t count, int timeout_ms);
/* The JSON text of the properties of the last uploaded event named `event`, or NULL; free with
   plover_string_free. */
char *ingestion_last_properties(ingestion *server, const char *event);
/* How many different events (by their "uuid") named `event` arrived: an upload cut short by an exit
   may arrive twice. */
size_t ingestion_distinct_events(ingestion *server, const char *event);
/* How many flag requests arrived. */
size_t ingestion_flag_requests(ingestion *server);

/* Keeps the instance off the machine's network monitoring and flush timer: uploads then follow
   only the flush threshold. */
void harness_prepare_config(plover_config *config);

#ifdef __cplusplus
}
#endif

#endif

/*
 * Sets up the analytics client through its C interface against the loopback ingestion server,
 * captures, reads a flag, checks what arrived and closes. Exit status 0 when every check held.
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "analytics/capi/plover.h"
#include "ingestion_harness.h"

static int failures = 0;

#define CHECK(condition)                                                         \
    do {                                                                         \
        if (!(condition)) {                                                      \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

/* True when `text` is non-NULL and holds `part`; frees `text`. */
static bool contains_and_free(char *text, const char *part) {
    bool found = text != NULL && strstr(text, part) != NULL;
    plover_string_free(text);
    return found;
}

static bool equals_and_free(char *text, const char *expected) {
    bool same = text != NULL && strcmp(text, expected) == 0;
    plover_string_free(text);
    return same;
}

/* ---- A before-send function: drops "c dropped", marks every other event. ---- */

static atomic_int before_send_destroyed = 0;

static bool mark_or_drop(plover_event *event, void *user_data) {
    const char *mark = user_data;
    char *name = plover_event_get_event(event);
    bool keep = name != NULL && strcmp(name, "c dropped") != 0;
    if (keep && strcmp(name, "c event") == 0) {
        char *properties = plover_event_get_properties(event);
        if (properties != NULL && strcmp(properties, "{}") != 0) {
            /* Replace the closing brace with the mark's member. */
            size_t length = strlen(properties);
            size_t size = length + strlen(mark) + 16;
            char *changed = malloc(size);
            if (changed != NULL) {
                properties[length - 1] = '\0';
                snprintf(changed, size, "%s,\"mark\":\"%s\"}", properties, mark);
                if (plover_event_set_properties(event, changed) != PLOVER_OK) keep = false;
                free(changed);
            }
        }
        plover_string_free(properties);
    }
    plover_string_free(name);
    return keep;
}

static void count_destroy(void *user_data) {
    (void)user_data;
    atomic_fetch_add(&before_send_destroyed, 1);
}

/* ---- Flag reloads ---- */

static atomic_int reloads_done = 0;

static void reload_done(void *user_data) {
    (void)user_data;
    atomic_fetch_add(&reloads_done, 1);
}

static void wait_for_reload(int at_least) {
    struct timespec pause = {0, 20 * 1000 * 1000};
    for (int i = 0; i < 500 && atomic_load(&reloads_done) < at_least; ++i) nanosleep(&pause, NULL);
}

/* Waits until `count` events named `event` have arrived. Events added while a batch is in flight
   wait for the next flush, and this program has no flush timer, so it flushes while it waits. */
static size_t wait_for_events(ingestion *server, plover_sdk *sdk, const char *event, size_t count) {
    size_t found = 0;
    for (int i = 0; i < 200; ++i) {
        found = ingestion_wait_for_events(server, event, count, 50);
        if (found >= count) break;
        plover_flush(sdk);
    }
    return found;
}

static void arguments_are_checked(plover_sdk *sdk) {
    CHECK(plover_capture(sdk, NULL, NULL, NULL, NULL, NULL, NULL, NULL) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_capture(sdk, "c bad", NULL, "{not json", NULL, NULL, NULL, NULL) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_capture(sdk, "c bad", NULL, "[1,2]", NULL, NULL, NULL, NULL) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_capture(sdk, "c bad", NULL, NULL, NULL, NULL, "{\"company\":7}", NULL) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_capture(sdk, "c \xff bad", NULL, NULL, NULL, NULL, NULL, NULL) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_capture(NULL, "c bad", NULL, NULL, NULL, NULL, NULL, NULL) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_register_properties(sdk, NULL) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_get_distinct_id(NULL) == NULL);
}

/* ---- Leaving the process with requests still pending ---- */

/* A listening socket on 127.0.0.1 that never accepts: a request to it stays pending for ever.
   Writes its "http://127.0.0.1:<port>" into `host`. */
static int silent_listener(char *host, size_t size) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
        return -1;
    }
    snprintf(host, size, "http://127.0.0.1:%u", (unsigned)ntohs(address.sin_port));
    return listener;
}

/* Sets up against a server that never answers and returns from main while the flag and remote
   configuration requests are pending: the client completes them as the process ends, and nothing
   they touch may be gone by then (the sanitizers report it otherwise). */
static int exit_with_pending_requests(void) {
    char host[64];
    int listener = silent_listener(host, sizeof host);
    if (listener < 0) {
        fprintf(stderr, "no loopback listener\n");
        return 1;
    }
    ingestion *storage = ingestion_start(NULL); /* only for its private storage folders */
    plover_config *config = plover_config_new("c-exit-key", host);
    CHECK(config != NULL);
    harness_prepare_config(config);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_DEBUG, true) == PLOVER_OK);
    plover_sdk *sdk = plover_sdk_with(config);
    CHECK(sdk != NULL);
    plover_reload_feature_flags(sdk, NULL, NULL, NULL);
    /* Time for the requests to reach the listener's queue. */
    struct timespec pause = {0, 200 * 1000 * 1000};
    nanosleep(&pause, NULL);
    /* Dropped without a close: the instance goes, its requests stay with the client. */
    plover_sdk_free(sdk);
    plover_config_free(config);
    ingestion_stop(storage);
    /* The listener stays open: closing it would end the pending requests before the exit. */
    return failures == 0 ? 0 : 1;
}

/* ---- Closing and returning from main with an upload just taken ---- */

static const char *const exit_key = "c-exit-after-close-key";
enum { exit_runs = 30 };

/* Uploads every event at once; no flag requests, no screen views. */
static plover_config *uploading_config(const char *key, const char *host) {
    plover_config *config = plover_config_new(key, host);
    harness_prepare_config(config);
    CHECK(plover_config_set_int(config, PLOVER_CONFIG_FLUSH_AT, 1) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_REMOTE_CONFIG, false) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_PRELOAD_FEATURE_FLAGS, false) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_CAPTURE_SCREEN_VIEWS, false) == PLOVER_OK);
    return config;
}

/* Runs this program again with `arguments` (the first its name) and waits: the wait status. */
static int run_again(const char *self, char **arguments) {
    extern char **environ;
    pid_t child;
    int status = -1;
    CHECK(posix_spawn(&child, self, NULL, NULL, arguments, environ) == 0);
    CHECK(waitpid(child, &status, 0) == child);
    return status;
}

static plover_config *exit_config(const char *host) {
    plover_config *config = uploading_config(exit_key, host);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_CAPTURE_APPLICATION_LIFECYCLE_EVENTS, false) == PLOVER_OK);
    return config;
}

/* One capture, a close and the return from main at once, while the queue's thread may be taking
   the batch or starting its upload to a host that never answers. */
static int capture_close_return(const char *host) {
    plover_config *config = exit_config(host);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_DEBUG, true) == PLOVER_OK);
    plover_sdk *sdk = plover_sdk_with(config);
    CHECK(sdk != NULL);
    CHECK(plover_capture(sdk, "c exit", NULL, NULL, NULL, NULL, NULL, NULL) == PLOVER_OK);
    plover_sdk_close(sdk);
    plover_sdk_free(sdk);
    plover_config_free(config);
    return failures == 0 ? 0 : 1;
}

/* A port on 127.0.0.1 that nothing listens on: a request to it is refused. */
static void refused_host(char *host, size_t size) {
    int listener = silent_listener(host, size);
    if (listener >= 0) close(listener);
}

/* Every run ends without a crash (the sanitizers turn a use of anything already destroyed into a
   failed run), and every event captured in them is still on disk and arrives at the next start. */
static void exits_cleanly_after_close(ingestion *server, const char *self, const char *name) {
    char silent[64];
    char refused[64];
    int listener = silent_listener(silent, sizeof silent);
    CHECK(listener >= 0);
    refused_host(refused, sizeof refused);
    for (int i = 0; i < exit_runs; ++i) {
        /* Its own name, which names its storage folder, so that the last start finds the same one. */
        char *arguments[] = {(char *)name, "--capture-close-return", i % 2 == 0 ? silent : refused, NULL};
        int status = run_again(self, arguments);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "run %d after close: %s %d\n", i, WIFSIGNALED(status) ? "signal" : "exit status",
                    WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
            ++failures;
        }
    }
    if (listener >= 0) close(listener);

    plover_config *config = exit_config(ingestion_host(server));
    plover_sdk *sdk = plover_sdk_with(config);
    CHECK(wait_for_events(server, sdk, "c exit", exit_runs) == exit_runs);
    CHECK(ingestion_distinct_events(server, "c exit") == exit_runs);
    plover_sdk_close(sdk);
    plover_sdk_free(sdk);
    plover_config_free(config);
}

/* ---- Restarts: one installation, one update per new build ---- */

static const char *const restart_key = "c-restart-key";

static plover_config *restart_config(const char *host) { return uploading_config(restart_key, host); }

/* One start of the application: "-" for a version or build it does not know. */
static int start_once(const char *host, const char *version, const char *build) {
    plover_config *config = restart_config(host);
    CHECK(plover_config_set_application(config, "c program", strcmp(version, "-") == 0 ? NULL : version,
                                        strcmp(build, "-") == 0 ? NULL : build) == PLOVER_OK);
    plover_sdk *sdk = plover_sdk_with(config);
    CHECK(sdk != NULL);
    /* Time for the upload; what does not make it stays queued for the next start. */
    struct timespec pause = {0, 300 * 1000 * 1000};
    nanosleep(&pause, NULL);
    plover_sdk_close(sdk);
    plover_sdk_free(sdk);
    plover_config_free(config);
    return failures == 0 ? 0 : 1;
}

static void run_start(const char *self, const char *host, const char *version, const char *build) {
    char *arguments[] = {(char *)self, "--start", (char *)host, (char *)version, (char *)build, NULL};
    int status = run_again(self, arguments);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

static void installs_once_across_restarts(ingestion *server, const char *self) {
    for (int i = 0; i < 5; ++i) run_start(self, ingestion_host(server), "-", "-");
    run_start(self, ingestion_host(server), "1.0", "41");
    run_start(self, ingestion_host(server), "1.0", "41");
    run_start(self, ingestion_host(server), "1.1", "42");
    run_start(self, ingestion_host(server), "1.1", "42");

    /* What a start left queued goes now. */
    plover_config *config = restart_config(ingestion_host(server));
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_CAPTURE_APPLICATION_LIFECYCLE_EVENTS, false) == PLOVER_OK);
    plover_sdk *sdk = plover_sdk_with(config);
    CHECK(wait_for_events(server, sdk, "Application Updated", 1) >= 1);
    CHECK(ingestion_distinct_events(server, "Application Installed") == 1);
    CHECK(ingestion_distinct_events(server, "Application Updated") == 1);
    char *updated = ingestion_last_properties(server, "Application Updated");
    CHECK(updated != NULL && strstr(updated, "\"previous_build\":\"41\"") != NULL);
    CHECK(updated != NULL && strstr(updated, "\"$app_name\":\"c program\"") != NULL);
    CHECK(contains_and_free(updated, "\"build\":\"42\""));
    plover_sdk_close(sdk);
    plover_sdk_free(sdk);
    plover_config_free(config);
}

/* ---- A full disk: nothing stored, and the caller is told ---- */

static void full_disk_is_reported(ingestion *server) {
    plover_config *config = plover_config_new("c-full-disk-key", ingestion_host(server));
    harness_prepare_config(config);
    CHECK(plover_config_set_int(config, PLOVER_CONFIG_FLUSH_AT, 1000) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_CAPTURE_APPLICATION_LIFECYCLE_EVENTS, false) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_CAPTURE_SCREEN_VIEWS, false) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_REMOTE_CONFIG, false) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_PRELOAD_FEATURE_FLAGS, false) == PLOVER_OK);
    plover_sdk *sdk = plover_sdk_with(config);
    CHECK(sdk != NULL);
    CHECK(plover_capture(sdk, "c before", NULL, NULL, NULL, NULL, NULL, NULL) == PLOVER_OK);

    /* No file of this process may grow: every write fails as on a full disk. */
    struct rlimit previous;
    CHECK(getrlimit(RLIMIT_FSIZE, &previous) == 0);
    struct rlimit none = {0, previous.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    CHECK(setrlimit(RLIMIT_FSIZE, &none) == 0);
    for (int i = 0; i < 3; ++i) {
        CHECK(plover_capture(sdk, "c lost", NULL, "{\"n\":1}", NULL, NULL, NULL, NULL) == PLOVER_NOT_STORED);
    }
    CHECK(plover_identify(sdk, "c-full-user", NULL, NULL) == PLOVER_NOT_STORED);
    CHECK(setrlimit(RLIMIT_FSIZE, &previous) == 0);

    CHECK(plover_capture(sdk, "c after", NULL, NULL, NULL, NULL, NULL, NULL) == PLOVER_OK);
    plover_sdk_close(sdk);
    plover_sdk_free(sdk);
    plover_config_free(config);
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--exit-with-pending-requests") == 0) return exit_with_pending_requests();
    if (argc > 4 && strcmp(argv[1], "--start") == 0) return start_once(argv[2], argv[3], argv[4]);
    if (argc > 2 && strcmp(argv[1], "--capture-close-return") == 0) return capture_close_return(argv[2]);
    if (argc > 1 && strcmp(argv[1], "--exit-after-close") == 0) {
        ingestion *server = ingestion_start("{}");
        exits_cleanly_after_close(server, "/proc/self/exe", argv[0]);
        ingestion_stop(server);
        return failures == 0 ? 0 : 1;
    }

    ingestion *server = ingestion_start("{\"featureFlags\":{\"c-flag\":true,\"c-variant\":\"blue\"},"
                                        "\"featureFlagPayloads\":{\"c-variant\":\"{\\\"size\\\":3}\"},"
                                        "\"requestId\":\"c-request\"}");

    plover_config *config = plover_config_new("c-program-key", ingestion_host(server));
    CHECK(config != NULL);
    CHECK(equals_and_free(plover_config_get_host(config), ingestion_host(server)));
    CHECK(equals_and_free(plover_config_get_api_key(config), "c-program-key"));
    CHECK(plover_config_get_int(config, PLOVER_CONFIG_FLUSH_AT) == 20);
    CHECK(plover_config_set_int(config, PLOVER_CONFIG_FLUSH_AT, 1) == PLOVER_OK);
    CHECK(plover_config_set_int(config, PLOVER_CONFIG_DATA_MODE, 3) == PLOVER_INVALID_ARGUMENT);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_REMOTE_CONFIG, false) == PLOVER_OK);
    CHECK(plover_config_set_bool(config, PLOVER_CONFIG_CAPTURE_APPLICATION_LIFECYCLE_EVENTS, false) == PLOVER_OK);
    CHECK(plover_config_get_bool(config, PLOVER_CONFIG_PRELOAD_FEATURE_FLAGS));
    harness_prepare_config(config);

    static char mark[] = "from C";
    plover_before_send *box = plover_before_send_new(mark_or_drop, mark, count_destroy);
    CHECK(box != NULL);
    CHECK(plover_config_set_before_send(config, &box, 1) == PLOVER_OK);
    plover_before_send_free(box);
    CHECK(atomic_load(&before_send_destroyed) == 0); /* the configuration still holds it */

    plover_sdk *sdk = plover_sdk_with(config);
    CHECK(sdk != NULL);
    CHECK(!plover_is_opt_out(sdk));
    CHECK(strcmp(plover_did_start_notification(), "PloverDidStart") == 0);

    /* The flags asked for at setup, then once more to know when they are in. */
    plover_reload_feature_flags(sdk, reload_done, NULL, NULL);
    wait_for_reload(1);
    CHECK(atomic_load(&reloads_done) == 1);
    CHECK(ingestion_flag_requests(server) >= 1);

    char *distinct = plover_get_distinct_id(sdk);
    CHECK(distinct != NULL && strlen(distinct) == 36);
    CHECK(equals_and_free(plover_get_anonymous_id(sdk), distinct));

    CHECK(plover_register_properties(sdk, "{\"plan\":\"pro\"}") == PLOVER_OK);
    double when = 1700000000.5;
    CHECK(plover_capture(sdk, "c event", NULL, "{\"answer\":42}", NULL, NULL, NULL, &when) == PLOVER_OK);
    CHECK(plover_capture(sdk, "c dropped", NULL, NULL, NULL, NULL, NULL, NULL) == PLOVER_OK);
    CHECK(wait_for_events(server, sdk, "c event", 1) == 1);
    char *properties = ingestion_last_properties(server, "c event");
    CHECK(properties != NULL && strstr(properties, "\"answer\":42") != NULL);
    CHECK(properties != NULL && strstr(properties, "\"mark\":\"from C\"") != NULL);
    CHECK(properties != NULL && strstr(properties, "\"plan\":\"pro\"") != NULL);
    CHECK(contains_and_free(properties, "\"$lib\""));

    /* A flag read answers from the loaded flags and is reported once. */
    CHECK(equals_and_free(plover_get_feature_flag(sdk, "c-flag"), "true"));
    CHECK(equals_and_free(plover_get_feature_flag(sdk, "c-variant"), "\"blue\""));
    CHECK(plover_is_feature_enabled(sdk, "c-variant"));
    CHECK(!plover_is_feature_enabled(sdk, "c-missing"));
    CHECK(plover_get_feature_flag(sdk, "c-missing") == NULL);
    CHECK(equals_and_free(plover_get_feature_flag_payload(sdk, "c-variant"), "{\"size\":3}"));
    CHECK(wait_for_events(server, sdk, "$feature_flag_called", 3) == 3);
    char *called = ingestion_last_properties(server, "$feature_flag_called");
    CHECK(contains_and_free(called, "\"$feature_flag_request_id\":\"c-request\""));

    plover_screen(sdk, "C Screen", NULL);
    CHECK(wait_for_events(server, sdk, "$screen", 1) == 1);
    CHECK(contains_and_free(ingestion_last_properties(server, "$screen"), "\"$screen_name\":\"C Screen\""));

    CHECK(plover_identify(sdk, "c-user", "{\"email\":\"c@example.com\"}", NULL) == PLOVER_OK);
    CHECK(wait_for_events(server, sdk, "$identify", 1) == 1);
    CHECK(equals_and_free(plover_get_distinct_id(sdk), "c-user"));

    arguments_are_checked(sdk);

    /* The event dropped by the before-send function never arrived. */
    CHECK(ingestion_wait_for_events(server, "c dropped", 1, 0) == 0);

    plover_opt_out(sdk);
    CHECK(plover_is_opt_out(sdk));
    plover_opt_in(sdk);
    CHECK(!plover_is_opt_out(sdk));

    plover_sdk_close(sdk);
    /* Closed: the instance answers as one that is not set up. */
    CHECK(equals_and_free(plover_get_distinct_id(sdk), ""));
    CHECK(plover_get_session_id(sdk) == NULL);
    CHECK(plover_is_opt_out(sdk));
    plover_sdk_free(sdk);
    plover_config_free(config);
    /* The client's own threads may hold the instance a moment longer; then the function goes. */
    struct timespec pause = {0, 20 * 1000 * 1000};
    for (int i = 0; i < 500 && atomic_load(&before_send_destroyed) == 0; ++i) nanosleep(&pause, NULL);
    CHECK(atomic_load(&before_send_destroyed) == 1);

    plover_string_free(distinct);

    full_disk_is_reported(server);
    installs_once_across_restarts(server, "/proc/self/exe");
    ingestion_stop(server);

    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}

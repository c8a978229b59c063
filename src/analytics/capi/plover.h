#ifndef KESTRO_PLOVER_H
#define KESTRO_PLOVER_H
/*
 * The Plover analytics client for callers in C and in languages that call C.
 *
 * Conventions:
 * - Objects are opaque handles. Every handle a function returns is owned by the caller and freed
 *   with the matching plover_*_free function (the shared instance too: its handle is freed, the
 *   instance lives on).
 * - Strings are UTF-8 and NUL-terminated. Strings that are not valid UTF-8 are refused.
 * - Dictionaries and arrays travel as JSON text: properties and groups are JSON objects (groups map
 *   a group type to a group key, both strings); flag values and payloads are any JSON value.
 * - NULL stands for an absent value, in both directions.
 * - Strings returned as `char *` are new copies that the caller frees with plover_string_free.
 * - Functions that take arguments the client may refuse answer with a plover_status; a refused
 *   call changes nothing. Refusals of the client itself (not set up, opted out) are not errors:
 *   they appear only in the debug log, as for every other caller.
 * - Callbacks get the user data given with them. Where a destroy function is accepted, it is
 *   called once with the user data when the client no longer needs the callback (NULL: none).
 * - The instance functions may be called from any thread. A configuration's fields carry no lock:
 *   finish configuring before setup, as in every other language.
 */

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum plover_status {
    PLOVER_OK = 0,
    /* A required argument is NULL, a string is not valid UTF-8, a JSON text does not parse or is
       not of the expected kind, or a value lies outside its range. */
    PLOVER_INVALID_ARGUMENT = 1,
    /* The client failed inside (out of memory, say); the call had no effect. */
    PLOVER_FAILED = 2,
    /* What the call had to keep could not be stored (a full disk, a read-only or broken storage
       folder, an event larger than the queue holds): the event is lost, or the new identity holds
       only until the process ends. The cause is written once. */
    PLOVER_NOT_STORED = 3
} plover_status;

typedef struct plover_config plover_config;
typedef struct plover_sdk plover_sdk;
typedef struct plover_event plover_event;
typedef struct plover_before_send plover_before_send;

typedef void (*plover_destroy_fn)(void *user_data);

/* Length of a UUID's text form ("XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX") with its NUL. */
#define PLOVER_UUID_STRING_SIZE 37

void plover_string_free(char *text);

/* ---- Configuration ---- */

/* A configuration with every default; `host` NULL gives the default host. A host that is not an
   http or https URL with a host name ("analytics.example.com" without its scheme, say) is never
   replaced by another: setup refuses the configuration (PLOVER_INVALID_ARGUMENT, with a line
   saying why), and plover_config_get_host gives "" for a text that is no URL at all.
   NULL when `api_key` is NULL or a text is not valid UTF-8. */
plover_config *plover_config_new(const char *api_key, const char *host);
void plover_config_free(plover_config *config);

char *plover_config_get_host(const plover_config *config);
char *plover_config_get_api_key(const plover_config *config);

typedef enum plover_config_int {
    PLOVER_CONFIG_FLUSH_AT = 0,
    PLOVER_CONFIG_MAX_QUEUE_SIZE = 1,
    PLOVER_CONFIG_MAX_BATCH_SIZE = 2,
    /* plover_data_mode */
    PLOVER_CONFIG_DATA_MODE = 3,
    /* plover_person_profiles */
    PLOVER_CONFIG_PERSON_PROFILES = 4
} plover_config_int;

typedef enum plover_data_mode { PLOVER_DATA_MODE_WIFI = 0, PLOVER_DATA_MODE_CELLULAR = 1, PLOVER_DATA_MODE_ANY = 2 } plover_data_mode;

typedef enum plover_person_profiles {
    PLOVER_PERSON_PROFILES_NEVER = 0,
    PLOVER_PERSON_PROFILES_ALWAYS = 1,
    PLOVER_PERSON_PROFILES_IDENTIFIED_ONLY = 2
} plover_person_profiles;

typedef enum plover_config_bool {
    PLOVER_CONFIG_SEND_FEATURE_FLAG_EVENT = 0,
    PLOVER_CONFIG_PRELOAD_FEATURE_FLAGS = 1,
    PLOVER_CONFIG_REMOTE_CONFIG = 2,
    PLOVER_CONFIG_CAPTURE_APPLICATION_LIFECYCLE_EVENTS = 3,
    PLOVER_CONFIG_CAPTURE_SCREEN_VIEWS = 4,
    PLOVER_CONFIG_DEBUG = 5,
    PLOVER_CONFIG_OPT_OUT = 6,
    PLOVER_CONFIG_REUSE_ANONYMOUS_ID = 7,
    PLOVER_CONFIG_SET_DEFAULT_PERSON_PROPERTIES = 8,
    PLOVER_CONFIG_SURVEYS = 9
} plover_config_bool;

typedef enum plover_config_string {
    /* May be set to NULL. */
    PLOVER_CONFIG_APP_GROUP_IDENTIFIER = 0,
    PLOVER_CONFIG_SNAPSHOT_ENDPOINT = 1
} plover_config_string;

/* What the application says about itself: its name, version (such as "1.4.2") and build (such as
   "142"), each NULL when unknown. They go into every event's context, and the version and build
   tell an installation ("Application Installed", sent once per user) from an update
   ("Application Updated", once per change of the build); without them only the program's name is
   known. Handed to the instances set up with this configuration afterwards. */
plover_status plover_config_set_application(plover_config *config, const char *name, const char *version,
                                            const char *build);

/* `field` is one of the enumeration of the value's type (an int, so that any value a caller
   passes is defined; an unknown one is refused). The data mode and the person profiles accept only
   their enumerations' values. */
plover_status plover_config_set_int(plover_config *config, int field, long long value);
/* 0 for a NULL configuration or an unknown field. */
long long plover_config_get_int(const plover_config *config, int field);
plover_status plover_config_set_bool(plover_config *config, int field, bool value);
bool plover_config_get_bool(const plover_config *config, int field);
/* Seconds between flushes; it must be finite. */
plover_status plover_config_set_flush_interval_seconds(plover_config *config, double seconds);
double plover_config_get_flush_interval_seconds(const plover_config *config);
plover_status plover_config_set_string(plover_config *config, int field, const char *value);
/* NULL when the field is absent. */
char *plover_config_get_string(const plover_config *config, int field);

/* Called with each freshly generated anonymous id; `replacement` holds that id on entry and the
   id to use on return. A replacement that is not a UUID leaves the generated id in place. */
typedef void (*plover_anonymous_id_fn)(const char *generated, char replacement[PLOVER_UUID_STRING_SIZE],
                                       void *user_data);
/* NULL `callback`: the generated id is used unchanged. */
plover_status plover_config_set_get_anonymous_id(plover_config *config, plover_anonymous_id_fn callback,
                                                 void *user_data, plover_destroy_fn destroy);

/* Gets an event's properties as a JSON object and returns the properties to use, as JSON text
   allocated with malloc (the client frees it), or NULL to keep them as they are. */
typedef char *(*plover_sanitize_fn)(const char *properties_json, void *user_data);
/* NULL `callback` removes the sanitizer. */
plover_status plover_config_set_properties_sanitizer(plover_config *config, plover_sanitize_fn callback,
                                                     void *user_data, plover_destroy_fn destroy);

/* One before-send function: it may change the event through the plover_event functions (the
   handle is valid only during the call) and returns false to drop it. */
typedef bool (*plover_before_send_fn)(plover_event *event, void *user_data);
plover_before_send *plover_before_send_new(plover_before_send_fn callback, void *user_data, plover_destroy_fn destroy);
void plover_before_send_free(plover_before_send *box);
/* Replaces the chain with the given functions in order (`count` 0: no chain); a function that
   drops the event ends it. The boxes may be freed afterwards. */
plover_status plover_config_set_before_send(plover_config *config, plover_before_send *const *boxes, size_t count);

/* ---- Events, as before-send functions see them ---- */

char *plover_event_get_event(const plover_event *event);
plover_status plover_event_set_event(plover_event *event, const char *name);
char *plover_event_get_distinct_id(const plover_event *event);
plover_status plover_event_set_distinct_id(plover_event *event, const char *distinct_id);
/* A JSON object; NULL when a property has no JSON form. */
char *plover_event_get_properties(const plover_event *event);
plover_status plover_event_set_properties(plover_event *event, const char *properties_json);
/* Seconds since 1970-01-01T00:00:00Z. */
double plover_event_get_timestamp(const plover_event *event);
plover_status plover_event_set_timestamp(plover_event *event, double seconds_since_1970);
char *plover_event_get_uuid(const plover_event *event);
plover_status plover_event_set_uuid(plover_event *event, const char *uuid);

/* ---- Setup and teardown ---- */

/* The process-wide instance, not set up until plover_sdk_setup is called on it. */
plover_sdk *plover_sdk_shared(void);
/* A new instance set up with `config`; NULL when `config` is NULL or its host cannot be used. */
plover_sdk *plover_sdk_with(plover_config *config);
void plover_sdk_free(plover_sdk *sdk);
/* The instance keeps using `config` (the same object, not a copy) until it is closed.
   PLOVER_INVALID_ARGUMENT: the configuration's host cannot be used; the instance is not set up. */
plover_status plover_sdk_setup(plover_sdk *sdk, plover_config *config);
void plover_sdk_close(plover_sdk *sdk);
void plover_sdk_debug(plover_sdk *sdk, bool enabled);
/* The notification names; static texts, not to be freed. */
const char *plover_did_start_notification(void);
const char *plover_did_receive_feature_flags_notification(void);

/* ---- Facade ---- */

void plover_flush(plover_sdk *sdk);
void plover_reset(plover_sdk *sdk);
/* Super-properties, carried by every later event. */
plover_status plover_register_properties(plover_sdk *sdk, const char *properties_json);
plover_status plover_unregister_properties(plover_sdk *sdk, const char *key);
/* The empty string when not set up; NULL only for a NULL instance. */
char *plover_get_distinct_id(plover_sdk *sdk);
char *plover_get_anonymous_id(plover_sdk *sdk);
/* NULL when there is no session. */
char *plover_get_session_id(plover_sdk *sdk);
void plover_start_session(plover_sdk *sdk);
void plover_end_session(plover_sdk *sdk);

/* ---- Capture, identify, alias, screen and group ---- */

/* Every argument after `event` may be NULL; `timestamp` points at seconds since 1970.
   PLOVER_NOT_STORED: the event was not stored and will not be sent (an event whose JSON is larger
   than 32 MiB always). */
plover_status plover_capture(plover_sdk *sdk, const char *event, const char *distinct_id, const char *properties_json,
                             const char *user_properties_json, const char *user_properties_set_once_json,
                             const char *groups_json, const double *timestamp);
/* PLOVER_NOT_STORED: the new identity or its event could not be stored. */
plover_status plover_identify(plover_sdk *sdk, const char *distinct_id, const char *user_properties_json,
                              const char *user_properties_set_once_json);
plover_status plover_alias(plover_sdk *sdk, const char *alias);
plover_status plover_screen(plover_sdk *sdk, const char *title, const char *properties_json);
plover_status plover_group(plover_sdk *sdk, const char *type, const char *key, const char *group_properties_json);

/* ---- Feature flags and opt-out ---- */

plover_status plover_set_person_properties_for_flags(plover_sdk *sdk, const char *properties_json,
                                                     bool reload_feature_flags);
void plover_reset_person_properties_for_flags(plover_sdk *sdk);
plover_status plover_set_group_properties_for_flags(plover_sdk *sdk, const char *group_type,
                                                    const char *properties_json, bool reload_feature_flags);
/* `group_type` NULL: every group type. */
plover_status plover_reset_group_properties_for_flags(plover_sdk *sdk, const char *group_type);
/* `callback` (may be NULL) runs on the client's own thread once the flags have been asked for,
   whatever the answer; an instance without a flag store never calls it. */
void plover_reload_feature_flags(plover_sdk *sdk, void (*callback)(void *user_data), void *user_data,
                                 plover_destroy_fn destroy);
/* The flag's value as JSON text (true, false or a variant name in quotes), NULL when absent. */
char *plover_get_feature_flag(plover_sdk *sdk, const char *key);
bool plover_is_feature_enabled(plover_sdk *sdk, const char *key);
char *plover_get_feature_flag_payload(plover_sdk *sdk, const char *key);
void plover_opt_in(plover_sdk *sdk);
void plover_opt_out(plover_sdk *sdk);
/* True when not set up, and for a NULL instance. */
bool plover_is_opt_out(plover_sdk *sdk);

#ifdef __cplusplus
}
#endif

#endif /* KESTRO_PLOVER_H */

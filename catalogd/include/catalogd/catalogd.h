#ifndef CATALOGD_CATALOGD_H
#define CATALOGD_CATALOGD_H
/*
 * catalogd: the list server. A small HTTP service on one TCP port (default 8190) that hands
 * out the list of published files ("/urls") and answers encrypted movie-info queries with the
 * stored stream-description file of a content identifier.
 *
 * Threading: one service thread runs the event loop, every connection and every callback.
 * sts_start and sts_stop belong to one controlling thread of the host. sts_close_file and
 * sts_close_all_files post their work to the service thread and wait for it; a call that
 * races a stop is released and still takes effect.
 *
 * Every function returns 0 on success and 1 on failure where a failure exists.
 */

#include <netinet/in.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STS_EXPORT __attribute__((visibility("default")))

/* Writes the path of the stream-description file of `gcid` (40 upper-case hexadecimal
 * characters) into `path_out` (`size` bytes, 4096 here; NUL-terminated) and returns true;
 * false when the identifier is unknown or the path does not fit. Called on the service
 * thread. */
typedef bool (*sts_gcid2path_function)(const char* gcid, char* path_out, unsigned size);
/* Returns true when the connecting peer must be refused. Called on the service thread. */
typedef bool (*sts_ip_filter_function)(struct in_addr* peer);
/* Writes the list of published files into the file at `path`; false on failure. Called on
 * the service thread. */
typedef bool (*sts_export_lists_function)(const char* path);

/* Starts the service on `port` (0 keeps the stored port, 8190 unless changed). Returns 0 when
 * it runs (also when it was already running: nothing changes then) and 1 when it could not
 * listen. */
STS_EXPORT int sts_start(unsigned short port);
/* Stops the service and waits for its thread to end; 0. */
STS_EXPORT int sts_stop(void);
/* 1 while the event loop runs, else 0. */
STS_EXPORT int sts_run_stat(void);
/* Fills AF_INET, the port (network order) and the host's first IPv4 address (INADDR_ANY when
 * the host name does not resolve); 0, or 1 when `out` is null. */
STS_EXPORT int sts_get_bind_addr(struct sockaddr_in* out);

STS_EXPORT void sts_set_gcid2path_function(sts_gcid2path_function function);
STS_EXPORT void sts_set_ip_filter_function(sts_ip_filter_function function);
STS_EXPORT void sts_set_export_lists_function(sts_export_lists_function function);

/* Forgets the prepared response of one identifier (its text form), so that the next query
 * reads the stream-description file again. 0, also when the service is not running (the
 * response is forgotten all the same). From inside a callback it runs at once. */
STS_EXPORT int sts_close_file(const char* gcid_text);
/* Forgets every prepared response; 0. */
STS_EXPORT int sts_close_all_files(void);

/* Whether the service thread's loop still turns: it runs a no-op through the same queue as
 * every host request and answers. 0 when it ran within `timeout_ms`, 1 when the server is
 * not running, 2 when it did not run in time (the caller is not held longer). */
STS_EXPORT int sts_probe_loop(unsigned int timeout_ms);

/* Requests answered since the library was loaded (kept across stop and start), by answer. */
typedef struct sts_query_stat {
    unsigned long long lists;       /* "/urls" answered with the list */
    unsigned long long found;       /* movie-info queries answered with a description */
    unsigned long long not_found;   /* movie-info queries for an identifier not served */
    unsigned long long malformed;   /* requests dropped unanswered as broken or undecodable */
    unsigned long long list_failed; /* "/urls" dropped because the list could not be made */
} sts_query_stat;
/* Fills `out`; 0, or 1 when `out` is null. Any thread. */
STS_EXPORT int sts_get_query_stat(sts_query_stat* out);

#ifdef __cplusplus
}
#endif

#endif /* CATALOGD_CATALOGD_H */

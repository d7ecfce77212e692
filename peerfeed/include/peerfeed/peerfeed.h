/* peerfeed: the peer upload server. It listens on a TCP port and serves byte ranges of
 * the host's published files to peers that ask for them by GCID.
 *
 * The host installs its callbacks, starts the server with vp_start and polls the
 * statistics below. Every export may be called from any host thread; the callbacks are
 * called on the server's own network thread and must not call the blocking exports
 * (statistics, speed limit, close file) themselves.
 *
 * Usable from C and C++. Integer results: 0 success, 1 failure. */
#ifndef PEERFEED_PEERFEED_H
#define PEERFEED_PEERFEED_H

#include <netinet/in.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VP_EXPORT __attribute__((visibility("default")))

/* Longest path (with its terminator) the gcid-to-path callback may return. */
#define VP_PATH_BUFFER_SIZE 4096u

/* Writes the local path of `gcid` (40 upper-case hexadecimal digits, NUL-terminated)
 * into `path_out` (`path_size` bytes) as a NUL-terminated text and returns true when the
 * host publishes that content; false otherwise. A path that does not fit is refused. */
typedef bool (*vp_gcid2path_function)(const char* gcid, char* path_out, unsigned int path_size);
/* Called for every accepted connection with the peer's IPv4 address: true refuses it. */
typedef bool (*vp_ip_filter_function)(struct in_addr* address);

/* Server-wide figures. */
typedef struct peerfeed_stat {
    uint64_t upload_speed;     /* bytes per second, all sessions together */
    uint64_t total_bytes_sent; /* since the library was loaded */
    uint32_t live_sessions;
    uint32_t resource_count; /* entries vp_get_resource_stat_list would return now */
} peerfeed_stat;

typedef struct vp_cache_stat {
    uint16_t hit_ratio;       /* page hits in percent of all page look-ups; 0 before any */
    uint64_t disk_bytes_read; /* since the library was loaded */
    uint64_t disk_read_speed; /* bytes per second */
} vp_cache_stat;

/* The page cache's own counters, beside the designed vp_cache_stat. */
typedef struct vp_cache_counters {
    uint64_t page_hits;    /* page look-ups answered from memory since the server started */
    uint64_t page_misses;  /* page look-ups that had to read the disk */
    uint64_t cached_bytes; /* memory the cache holds now */
    uint64_t budget_bytes; /* most memory the cache may hold */
} vp_cache_counters;

/* One GCID with live handshaken sessions. */
typedef struct resource_stat {
    char gcid[40]; /* upper-case hexadecimal, no terminator */
    uint32_t sessions;
    uint64_t speed;      /* sum of those sessions' speeds, bytes per second */
    uint64_t bytes_sent; /* finished sessions' bytes plus the live sessions' bytes */
} resource_stat;

typedef struct resource_stat_list {
    uint32_t count;
    resource_stat* entries; /* NULL when count is 0 */
} resource_stat_list;

/* One live session. */
typedef struct vp_connection {
    char gcid[40];              /* no terminator; zeros before the handshake */
    uint8_t peer_id[16];        /* first 16 bytes of the handshake's peer id, zero-filled */
    struct sockaddr_in address; /* as accepted, port and address in network byte order */
    uint64_t speed;             /* bytes per second */
    uint64_t bytes_sent;
    uint64_t duration; /* seconds since the connection was accepted */
} vp_connection;

typedef struct vp_connection_list {
    uint32_t count;
    vp_connection* entries; /* NULL when count is 0 */
} vp_connection_list;

/* Starts the server on `port` (0: the port of the last start, 8189 at first). 0 when it
 * runs (or already ran), 1 when the port could not be bound. */
VP_EXPORT int vp_start(unsigned short port);
/* Stops the server and waits for its threads. Always 0. */
VP_EXPORT int vp_stop(void);
/* 1 while the server runs, else 0. */
VP_EXPORT int vp_run_stat(void);
/* The address peers reach the server on: this host's first IPv4 address (INADDR_ANY when
 * the host name does not resolve) and the listen port. Always 0. */
VP_EXPORT int vp_get_bind_addr(struct sockaddr_in* out);

VP_EXPORT void vp_set_gcid2path_function(vp_gcid2path_function function);
VP_EXPORT void vp_set_ip_filter_function(vp_ip_filter_function function);

/* Upload limit in bytes per second for all sessions together; 0 = unlimited. Returns the
 * value when the server runs (it applies at once), 0 when it does not (it applies at the
 * next start). */
VP_EXPORT unsigned int vp_set_speed_limit(unsigned int bytes_per_second);
VP_EXPORT unsigned int vp_get_speed_limit(void);
/* Maximum simultaneous sessions, checked for new connections only; 0 = unlimited.
 * Returns the new limit. */
VP_EXPORT unsigned int vp_set_connection_limit(unsigned int limit);
VP_EXPORT unsigned int vp_get_connection_limit(void);

/* Additions beyond the classic interface. */

/* Maximum simultaneous sessions from one IPv4 address, checked for new connections only;
 * 0 = no cap (the default). Returns the new cap. */
VP_EXPORT unsigned int vp_set_address_connection_limit(unsigned int limit);
VP_EXPORT unsigned int vp_get_address_connection_limit(void);

/* Connections closed right after accept, by reason, since the library was loaded. A
 * connection the ip filter refuses counts as refused by the filter only. */
typedef struct vp_refusal_stat {
    uint64_t ip_filter;        /* the ip filter callback returned true */
    uint64_t connection_limit; /* the connection limit was reached */
    uint64_t address_limit;    /* the address held its cap of sessions already */
} vp_refusal_stat;
/* 0 and `out` filled; 1 when `out` is NULL. */
VP_EXPORT int vp_get_refusal_stat(vp_refusal_stat* out);

/* Sessions the server ended to make room for others, by reason, since the library was
 * loaded. A peer that stopped reading is one whose answers have waited in the server with
 * its socket full: it holds cache pages and a connection while taking nothing. */
typedef struct vp_session_drop_stat {
    uint64_t silent_pushed_out;  /* sent no handshake; a newcomer that spoke took its place */
    uint64_t stalled_pushed_out; /* stopped reading for seconds while the connection limit
                                    was full; a newcomer that spoke took its place */
    uint64_t stalled_for_pages;  /* stopped reading while other peers' reads waited for
                                    cache pages: its pages went to them */
} vp_session_drop_stat;
/* 0 and `out` filled; 1 when `out` is NULL. */
VP_EXPORT int vp_get_session_drop_stat(vp_session_drop_stat* out);

/* A histogram as Prometheus has it: ascending upper bounds, the observations at or below
 * each (cumulative), the count of all of them (those above the last bound too) and their
 * sum. */
#define VP_HISTOGRAM_MAX_BOUNDS 16u
typedef struct vp_histogram {
    uint32_t bound_count; /* bounds in use */
    double upper_bounds[VP_HISTOGRAM_MAX_BOUNDS];
    uint64_t cumulative_counts[VP_HISTOGRAM_MAX_BOUNDS];
    uint64_t count;
    double sum;
} vp_histogram;

/* How the peer server's answers went, since the library was loaded. */
typedef struct vp_histograms {
    vp_histogram answer_bytes;      /* answers with file data, bytes */
    vp_histogram disk_wait_seconds; /* a request until its data was at hand (page cache or
                                       disk) */
    vp_histogram send_wait_seconds; /* an answer from being queued until the kernel took its
                                       last byte: the upload limit, or a peer reading slowly */
} vp_histograms;
/* 0 and `out` filled, whether or not the server runs; 1 when `out` is NULL. Cheap: it only
 * reads counters. */
VP_EXPORT int vp_get_histograms(vp_histograms* out);

/* Whether the server's loop still turns: it runs a no-op through the same queue as every
 * host request and answers. 0 when it ran within `timeout_ms`, 1 when the server is not
 * running, 2 when it did not run in time (the caller is not held longer). */
VP_EXPORT int vp_probe_loop(unsigned int timeout_ms);

/* Reads section [vp] of Wharfkeep.ini again: disk_read_buffer_size and
 * auto_dump_cache_interval_seconds apply at once; a changed key of the others (the page
 * pool, the popularity window, max_inprogress_file_io) is logged as waiting for the next
 * start. Sessions are not touched. 0 when applied, 1 when the server is not running (its
 * next start reads the whole section). */
VP_EXPORT int vp_reload_settings(void);

/* Told of each peer session as it opens (the connection was let in: admitted and its
 * first bytes looked like the protocol) and as it ends, with the peer's address as accepted
 * (network byte order). Called on the server's loop thread, also for the sessions a stop
 * ends; it must not call the blocking exports and should return at once. */
#define VP_SESSION_ENDED 0
#define VP_SESSION_OPENED 1
typedef void (*vp_session_function)(const struct sockaddr_in* peer, int what);
/* Installs the session callback (null: none), kept across restarts. */
VP_EXPORT void vp_set_session_function(vp_session_function function);

/* Nonzero stops all sending to peers (sessions stay open and keep reading their requests);
 * 0 sends again. Applies at once while running and to every session accepted later. */
VP_EXPORT void vp_set_upload_paused(int paused);
VP_EXPORT int vp_get_upload_paused(void);

/* 0 and `out` filled while the server runs; 1 when `out` is NULL or the server is not
 * running. */
VP_EXPORT int vp_get_server_stat(peerfeed_stat* out);
VP_EXPORT int vp_get_cache_stat(vp_cache_stat* out);
/* 0 and `out` filled while the server runs; 1 when `out` is NULL or it is not running. */
VP_EXPORT int vp_get_cache_counters(vp_cache_counters* out);
/* Lists allocated by the server (empty when it is not running); free them with the
 * matching vp_free_* function. */
VP_EXPORT resource_stat_list* vp_get_resource_stat_list(void);
VP_EXPORT void vp_free_resource_stat_list(resource_stat_list* list);
/* The sessions whose GCID text equals `gcid` exactly ("" lists those that have not shaken
 * hands yet). */
VP_EXPORT vp_connection_list* vp_get_connection_list(const char* gcid);
VP_EXPORT void vp_free_connection_list(vp_connection_list* list);

/* Closes and forgets the open file of `gcid` (or every open file): sessions still reading
 * it end, and the next peer asking for it makes the server ask the host again. Always 0. */
VP_EXPORT int vp_close_file(const char* gcid);
VP_EXPORT int vp_close_all_files(void);

/* Levels of the lines the server writes through its log sink. */
#define VP_LOG_ERROR 0
#define VP_LOG_WARNING 1
#define VP_LOG_INFO 2
#define VP_LOG_DEBUG 3
/* A log sink: one line of text (no line feed) at one of the levels above. Called on the
 * server's loop thread; it must not call back into the server's blocking exports. */
typedef void (*vp_log_function)(int level, const char* text);

/* Selects the standard-error log sink (the default after vp_start). */
VP_EXPORT void vp_log_to_debugview(void);
/* Makes `function` the log sink, kept across restarts; null goes back to standard error. */
VP_EXPORT void vp_set_log_function(vp_log_function function);

#ifdef __cplusplus
}
#endif

#endif /* PEERFEED_PEERFEED_H */

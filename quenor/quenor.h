/* quenor.h: the C interface of libquenor, for C, Objective-C, Swift (through the module
 * map beside this header) and anything with a C foreign-function interface (Python's
 * ctypes, for one).
 *
 * C99, no other quenor header and no platform header: the handles are opaque and every
 * value is a plain C type. The functions are exported by libquenor itself and wrap the
 * C++ classes; no C++ exception ever leaves them (running out of memory answers
 * QUENOR_STATUS_NO_MEMORY).
 *
 * Statuses. A quenor_status is the platform status the library reports (an IOReturn
 * widened with its sign to 64 bits), 0 for success. quenor_status_text() says it in
 * words. The few the interface itself answers are named below.
 *
 * Threads. Every function may be called from any thread. quenor_device_close(),
 * quenor_device_destroy() and quenor_device_set_report_filtering() must not run at the
 * same time as another call on the same device; everything else on one device may run
 * concurrently. Requests, lists and monitors are independent of the device they came
 * from: they stay valid after it is closed or destroyed.
 *
 * Ownership. Whatever a function hands out (a device, a request, a monitor, an entry
 * list, a string) belongs to the caller, who gives it back with the one function named
 * in its description. Strings are UTF-8 and NUL-terminated. Time-outs are milliseconds;
 * -1 waits without limit. */
#ifndef QUENOR_QUENOR_H
#define QUENOR_QUENOR_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QUENOR_C_EXPORT
#else
#define QUENOR_C_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ==== Statuses ============================================================ */

typedef int64_t quenor_status;

#define QUENOR_STATUS_OK ((quenor_status)0)
/* kIOReturnError (0xE00002BC): a failure the library recorded without a platform status. */
#define QUENOR_STATUS_ERROR ((quenor_status)-536870212)
/* kIOReturnNoMemory (0xE00002BD): no memory could be had. */
#define QUENOR_STATUS_NO_MEMORY ((quenor_status)-536870211)
/* kIOReturnNoResources (0xE00002BE): no thread or platform object could be had. */
#define QUENOR_STATUS_NO_RESOURCES ((quenor_status)-536870210)
/* kIOReturnNoDevice (0xE00002C0): no device at the entry's path (it was unplugged). */
#define QUENOR_STATUS_NO_DEVICE ((quenor_status)-536870208)
/* kIOReturnBadArgument (0xE00002C2): a null pointer or a value out of range. */
#define QUENOR_STATUS_BAD_ARGUMENT ((quenor_status)-536870206)
/* kIOReturnExclusiveAccess (0xE00002C5): another client holds the device exclusively. */
#define QUENOR_STATUS_EXCLUSIVE_ACCESS ((quenor_status)-536870203)
/* kIOReturnNotOpen (0xE00002CD): the device is not open (closed, or never opened). */
#define QUENOR_STATUS_NOT_OPEN ((quenor_status)-536870195)
/* kIOReturnTimeout (0xE00002D6): the time-out passed first (an input read: no report came). */
#define QUENOR_STATUS_TIMEOUT ((quenor_status)-536870186)
/* kIOReturnNotReady (0xE00002D8): the request has no result yet. */
#define QUENOR_STATUS_NOT_READY ((quenor_status)-536870184)
/* kIOReturnNotAttached (0xE00002D9): the device is no longer plugged in. */
#define QUENOR_STATUS_NOT_ATTACHED ((quenor_status)-536870183)
/* kIOReturnNotPermitted (0xE00002E2): the user has not granted Input Monitoring (keyboards,
 * mice and touch pads). */
#define QUENOR_STATUS_NOT_PERMITTED ((quenor_status)-536870174)
/* kIOReturnAborted (0xE00002EB): the device was destroyed before the request ran. */
#define QUENOR_STATUS_ABORTED ((quenor_status)-536870165)

/* Writes the status in words (English, UTF-8) into `text`, cut to `capacity` bytes with
 * the NUL, and returns the length of the whole text without the NUL, as snprintf does:
 * call with capacity 0 to learn the size. `text` may be NULL when capacity is 0. Never
 * fails; an unknown status is described by its number. */
QUENOR_C_EXPORT size_t quenor_status_text(quenor_status status, char* text, size_t capacity);

/* ==== Version ============================================================= */

/* The version of the library loaded at run time: (major << 16) | (minor << 8) | patch,
 * and "major.minor.patch" (a static string). */
QUENOR_C_EXPORT int quenor_version_number(void);
QUENOR_C_EXPORT const char* quenor_version_string(void);

/* ==== Finding devices ===================================================== */

/* Which fields of a quenor_match are set; the rest match anything. */
#define QUENOR_MATCH_VENDOR_ID 0x1u
#define QUENOR_MATCH_PRODUCT_ID 0x2u
#define QUENOR_MATCH_USAGE_PAGE 0x4u
#define QUENOR_MATCH_USAGE 0x8u

/* Any subset of vendor ID, product ID, usage page and usage; a zeroed match (or NULL)
 * takes every device. Usage page and usage apply to each usage pair on its own. */
typedef struct quenor_match {
    uint32_t fields; /* QUENOR_MATCH_* bits */
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t usage_page;
    uint16_t usage;
} quenor_match;

/* What a device says about itself, read from the registry without opening it. Missing
 * properties read as 0 or "". The strings belong to the list (or notice) that holds the
 * identity and are never NULL. */
typedef struct quenor_identity {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t release_number; /* BCD, as the device reports it */
    uint16_t usage_page;     /* of the entry's usage pair */
    uint16_t usage;
    uint16_t primary_usage_page;
    uint16_t primary_usage;
    uint16_t max_input_report_size;
    uint16_t max_output_report_size;
    uint16_t max_feature_report_size;
    uint32_t location_id;
    const char* manufacturer;
    const char* product;
    const char* serial_number;
    const char* transport; /* "USB", "Bluetooth", ... */
} quenor_identity;

/* One usage pair of one HID device: what quenor_device_open() takes. */
typedef struct quenor_entry {
    uint64_t entry_id;  /* the registry entry ID: unique while the system runs; orders by age */
    const char* path;   /* the I/O Registry service-plane path */
    int32_t pair_index; /* which of the device's usage pairs */
    quenor_identity identity;
} quenor_entry;

/* Lists the HID devices that `match` (NULL: all) wants, one entry per usage pair, oldest
 * device first. On success *entries is an array of *count entries (NULL when there are
 * none) that the caller frees, strings and all, with one quenor_entries_free(). On
 * failure both are set to NULL / 0. */
QUENOR_C_EXPORT quenor_status quenor_devices_list(const quenor_match* match, quenor_entry** entries,
                                                  size_t* count);
/* Frees a list from quenor_devices_list(); NULL is ignored. */
QUENOR_C_EXPORT void quenor_entries_free(quenor_entry* entries);

/* ==== Opening and closing ================================================= */

typedef struct quenor_device quenor_device;

/* Open flags. */
#define QUENOR_OPEN_SHARED 0x0u
#define QUENOR_OPEN_EXCLUSIVE 0x1u /* seize the device: other clients lose it until we close */

/* Makes a device for `entry` (only its path, pair index and entry ID are used; the
 * entry may be freed afterwards) and opens it. On success *device is the open device,
 * which the caller destroys with quenor_device_destroy(). On failure *device is NULL and
 * the status is the platform's for the step that failed: QUENOR_STATUS_NO_DEVICE (nothing
 * at that path any more), QUENOR_STATUS_EXCLUSIVE_ACCESS (another client seized it),
 * QUENOR_STATUS_NOT_PERMITTED (no Input Monitoring grant), and others. */
QUENOR_C_EXPORT quenor_status quenor_device_open(const quenor_entry* entry, uint32_t flags,
                                                 quenor_device** device);
/* Closes the device: pending input reads answer at once, and later I/O answers
 * QUENOR_STATUS_NOT_OPEN. The device stays to be destroyed; its cached strings, report
 * sizes and dropped-report count stay readable. QUENOR_STATUS_NOT_OPEN if it was not open. */
QUENOR_C_EXPORT quenor_status quenor_device_close(quenor_device* device);
/* Closes (if open) and frees the device; NULL is ignored. Requests made on it stay valid.
 * The callbacks of those it had not answered run with QUENOR_STATUS_ABORTED before this
 * returns; waiting on such a request may block for good, so wait with a time-out. */
QUENOR_C_EXPORT void quenor_device_destroy(quenor_device* device);

/* 1 while the device is open and plugged in, else 0. */
QUENOR_C_EXPORT int quenor_device_is_open(const quenor_device* device);

/* Report types, as the platform numbers them. */
typedef enum quenor_report_type {
    QUENOR_REPORT_INPUT = 0,
    QUENOR_REPORT_OUTPUT = 1,
    QUENOR_REPORT_FEATURE = 2
} quenor_report_type;

/* The largest report of `type` the device declared at its last open (0 if unknown). */
QUENOR_C_EXPORT size_t quenor_device_report_size(quenor_device* device, quenor_report_type type);

/* ==== Requests ============================================================ */

/* Every transfer and the USB string request have an asynchronous form that returns at
 * once with a quenor_request, which the caller frees with quenor_request_free(), ready
 * or not. */
typedef struct quenor_request quenor_request;

/* The result of a request, valid until the request is freed (or, in a callback, until
 * the callback returns). */
typedef struct quenor_result {
    quenor_status status; /* 0: success */
    const uint8_t* data;  /* reads: the report's bytes (NULL if none) */
    size_t length;        /* reads: bytes in `data`; sends: bytes sent */
    uint8_t report_id;    /* the report ID the transfer named (0 for input reads) */
    const char* text;     /* string requests: the text ("" on failure); else NULL */
} quenor_result;

/* Called once when a request completes, on a thread of the library's own (one per
 * device for its reports and strings, one for its input reads), in the order the
 * requests complete. It must not block for long, and must not destroy the device
 * whose request it reports. */
typedef void (*quenor_completion)(const quenor_result* result, void* context);

/* Waits until the request completes, then returns its status. Blocks for good on a
 * request its device was destroyed before running; prefer quenor_request_wait_for(). */
QUENOR_C_EXPORT quenor_status quenor_request_wait(quenor_request* request);
/* Waits at most `timeout_ms`; returns 1 when the request has completed, else 0. */
QUENOR_C_EXPORT int quenor_request_wait_for(quenor_request* request, int64_t timeout_ms);
/* 1 when the request has completed, else 0; never blocks. */
QUENOR_C_EXPORT int quenor_request_poll(const quenor_request* request);
/* Fills *result and returns its status, or QUENOR_STATUS_NOT_READY (result untouched). */
QUENOR_C_EXPORT quenor_status quenor_request_result(quenor_request* request, quenor_result* result);
/* Frees the request, completed or not; NULL is ignored. A callback still runs. */
QUENOR_C_EXPORT void quenor_request_free(quenor_request* request);

/* ==== Reports ============================================================= */

/* Sends an output report: `length` bytes from `data` (report ID byte included if the
 * device numbers its reports), giving up after `timeout_ms`. Blocking, and queued with
 * the device's other report and string requests, in call order. */
QUENOR_C_EXPORT quenor_status quenor_write(quenor_device* device, uint8_t report_id,
                                           const uint8_t* data, size_t length, int64_t timeout_ms);
/* Sends a feature report; the library gives the device 5 s. Blocks at most
 * `timeout_ms` (QUENOR_STATUS_TIMEOUT: the report may still be sent). */
QUENOR_C_EXPORT quenor_status quenor_send_feature(quenor_device* device, uint8_t report_id,
                                                  const uint8_t* data, size_t length,
                                                  int64_t timeout_ms);
/* Reads feature report `report_id` into `data` (up to `capacity` bytes; the device is
 * asked for `capacity`) and sets *length to the bytes read. Blocks at most `timeout_ms`. */
QUENOR_C_EXPORT quenor_status quenor_get_feature(quenor_device* device, uint8_t report_id,
                                                 uint8_t* data, size_t capacity, size_t* length,
                                                 int64_t timeout_ms);
/* Takes the oldest input report, waiting up to `timeout_ms` for one
 * (QUENOR_STATUS_TIMEOUT when none came). At most `capacity` bytes are copied into
 * `data`; *length gets the bytes copied. The report ID, if the device numbers its
 * reports, is the first byte. */
QUENOR_C_EXPORT quenor_status quenor_read(quenor_device* device, uint8_t* data, size_t capacity,
                                          size_t* length, int64_t timeout_ms);

/* The same as requests: each returns QUENOR_STATUS_OK and sets *request, or a status
 * (and NULL) when nothing could be started. `completion` may be NULL. Sends copy `data`
 * at once; reads deliver their bytes in the result (a feature read asks for `capacity`
 * bytes, an input read takes up to `capacity`). */
QUENOR_C_EXPORT quenor_status quenor_write_request(quenor_device* device, uint8_t report_id,
                                                   const uint8_t* data, size_t length,
                                                   int64_t timeout_ms, quenor_completion completion,
                                                   void* context, quenor_request** request);
QUENOR_C_EXPORT quenor_status quenor_send_feature_request(quenor_device* device, uint8_t report_id,
                                                          const uint8_t* data, size_t length,
                                                          quenor_completion completion,
                                                          void* context, quenor_request** request);
QUENOR_C_EXPORT quenor_status quenor_get_feature_request(quenor_device* device, uint8_t report_id,
                                                         size_t capacity,
                                                         quenor_completion completion,
                                                         void* context, quenor_request** request);
QUENOR_C_EXPORT quenor_status quenor_read_request(quenor_device* device, size_t capacity,
                                                  int64_t timeout_ms, quenor_completion completion,
                                                  void* context, quenor_request** request);

/* Report filtering: when on, input reports whose ID does not occur on the usage page of
 * the opened usage pair are dropped. Off by default; may be switched while open. */
QUENOR_C_EXPORT void quenor_device_set_report_filtering(quenor_device* device, int enabled);
QUENOR_C_EXPORT int quenor_device_report_filtering(const quenor_device* device);
/* Input reports lost since the device was opened: pushed out of the full queue of 30
 * unread reports, or dropped for want of memory. */
QUENOR_C_EXPORT uint64_t quenor_device_dropped_reports(const quenor_device* device);
/* Aborts and clears the device's USB pipes (a Mac's HID driver refuses this; kept for
 * devices whose interface is not held). */
QUENOR_C_EXPORT void quenor_device_cancel(quenor_device* device);

/* ==== Strings ============================================================= */

typedef enum quenor_string_kind {
    QUENOR_STRING_MANUFACTURER = 0,
    QUENOR_STRING_PRODUCT = 1,
    QUENOR_STRING_SERIAL_NUMBER = 2
} quenor_string_kind;

/* The string the device declared at its last open; answered at once. On success *text
 * is a new string the caller frees with quenor_string_free(); on failure NULL. */
QUENOR_C_EXPORT quenor_status quenor_device_string(quenor_device* device, quenor_string_kind kind,
                                                   char** text);
/* USB string descriptor `index` (0-255), fetched from the device (English, United
 * States; UTF-16 surrogate pairs joined); blocks at most `timeout_ms`. *text as above. */
QUENOR_C_EXPORT quenor_status quenor_usb_string(quenor_device* device, int index, char** text,
                                                int64_t timeout_ms);
QUENOR_C_EXPORT quenor_status quenor_usb_string_request(quenor_device* device, int index,
                                                        quenor_completion completion, void* context,
                                                        quenor_request** request);
/* Frees a string from this interface; NULL is ignored. */
QUENOR_C_EXPORT void quenor_string_free(char* text);

/* ==== Hot-plug monitor ==================================================== */

typedef struct quenor_monitor quenor_monitor;

typedef enum quenor_notice_kind { QUENOR_ARRIVAL = 0, QUENOR_REMOVAL = 1 } quenor_notice_kind;

/* Called on the monitor's own thread, one notice at a time: the devices present at start
 * first (if asked for), then arrivals and removals as they happen. `entry` and its
 * strings are valid until the callback returns. The callback may call any function here,
 * quenor_monitor_stop() and quenor_monitor_free() on its own monitor included (no further
 * callback starts; the thread ends by itself when this one returns). */
typedef void (*quenor_notice_callback)(quenor_notice_kind kind, const quenor_entry* entry,
                                       void* context);

/* Starts a monitor for the devices `match` (NULL: all) wants; with `report_present` 0 the
 * devices present now are not reported as arrivals (their removal is). On success
 * *monitor is running and the caller frees it with quenor_monitor_free(). */
QUENOR_C_EXPORT quenor_status quenor_monitor_start(const quenor_match* match, int report_present,
                                                   quenor_notice_callback callback, void* context,
                                                   quenor_monitor** monitor);
/* No callback runs once this returns (called from the callback: none after it). */
QUENOR_C_EXPORT void quenor_monitor_stop(quenor_monitor* monitor);
/* Stops and frees the monitor; NULL is ignored. */
QUENOR_C_EXPORT void quenor_monitor_free(quenor_monitor* monitor);

#ifdef __cplusplus
}
#endif

#endif /* QUENOR_QUENOR_H */

/* The C interface driven from C: a virtual gadget is plugged, seen arriving, listed,
 * opened, written to, read from, asked for feature reports and a USB string, flooded,
 * unplugged and plugged again, and every request is checked in its C terms (status,
 * bytes, callback). Ends with as many live platform objects as it began with. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quenor/quenor.h>
#include <vmac/cvmac.h>

static int failures = 0;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

#define CHECK_STATUS(expected, actual)                                                      \
    do {                                                                                    \
        quenor_status got_ = (actual);                                                      \
        if (got_ != (expected)) {                                                           \
            char words_[128];                                                               \
            quenor_status_text(got_, words_, sizeof words_);                                \
            fprintf(stderr, "%s:%d: %s: status %s\n", __FILE__, __LINE__, #actual, words_); \
            ++failures;                                                                     \
        }                                                                                   \
    } while (0)

#define GADGET_PATH "IOService:/vmac/XHC@14000000/CGadget@14300000/IOUSBHostInterface@0/CGadget"

static const cvmac_gadget_description kGadget = {
    GADGET_PATH, 0x1209, 0xC0DE,     0x0102,        0xFF00,     0x0001,   8,
    8,           4,      0x14300000, "Quenor Labs", "C Gadget", "C-0001", "USB"};

/* What the monitor and the completion callbacks saw, guarded by `mutex`. */
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static struct {
    int arrivals, removals;
    uint64_t last_entry_id;
    char last_path[256];
    int completions;
    quenor_status statuses[8]; /* of each completion, in order */
    uint8_t completed_bytes[8];
    size_t completed_length;
} seen;

static void on_notice(quenor_notice_kind kind, const quenor_entry* entry, void* context) {
    CHECK(context == &seen);
    pthread_mutex_lock(&mutex);
    if (kind == QUENOR_ARRIVAL) {
        ++seen.arrivals;
        CHECK(entry->identity.product_id == 0xC0DE && entry->identity.usage_page == 0xFF00);
        CHECK(strcmp(entry->identity.serial_number, "C-0001") == 0);
    } else {
        ++seen.removals;
    }
    seen.last_entry_id = entry->entry_id;
    snprintf(seen.last_path, sizeof seen.last_path, "%s", entry->path);
    pthread_mutex_unlock(&mutex);
    pthread_cond_broadcast(&changed);
}

static void on_completion(const quenor_result* result, void* context) {
    CHECK(context == &seen);
    pthread_mutex_lock(&mutex);
    seen.statuses[seen.completions++ % 8] = result->status;
    seen.completed_length = result->length < 8 ? result->length : 8;
    if (result->data) {
        memcpy(seen.completed_bytes, result->data, seen.completed_length);
    }
    pthread_mutex_unlock(&mutex);
    pthread_cond_broadcast(&changed);
}

/* Waits until *counter reaches `count` (at most about 10 s); returns whether it did. */
static int wait_for_count(const int* counter, int count) {
    struct timespec until;
    int reached;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 10;
    pthread_mutex_lock(&mutex);
    while (*counter < count && pthread_cond_timedwait(&changed, &mutex, &until) == 0) {
    }
    reached = *counter >= count;
    pthread_mutex_unlock(&mutex);
    return reached;
}

/* Listing, matching and opening failures. Returns the gadget's entry list. */
static quenor_entry* list_gadget(void) {
    quenor_match match = {QUENOR_MATCH_VENDOR_ID | QUENOR_MATCH_PRODUCT_ID, 0x1209, 0xC0DE, 0, 0};
    quenor_match other = {QUENOR_MATCH_USAGE_PAGE, 0, 0, 0x0001, 0};
    quenor_entry* entries = NULL;
    quenor_entry* none = NULL;
    size_t count = 0;
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_devices_list(&other, &none, &count));
    CHECK(none == NULL && count == 0);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_devices_list(&match, &entries, &count));
    CHECK(count == 1);
    if (count != 1) {
        exit(1);
    }
    CHECK(strcmp(entries[0].path, GADGET_PATH) == 0 && entries[0].pair_index == 0);
    CHECK(entries[0].identity.release_number == 0x0102 &&
          entries[0].identity.usb_strings_available);
    CHECK(strcmp(entries[0].identity.product, "C Gadget") == 0);
    CHECK(quenor_devices_list(NULL, NULL, &count) == QUENOR_STATUS_BAD_ARGUMENT);
    return entries;
}

static void check_open_failure(const quenor_entry* entry) {
    quenor_entry gone = *entry;
    quenor_device* device = (quenor_device*)&gone; /* must be overwritten with NULL */
    char words[128];
    gone.path = "IOService:/vmac/Nowhere";
    gone.entry_id = 0; /* names nothing by ID either */
    CHECK_STATUS(QUENOR_STATUS_NO_DEVICE, quenor_device_open(&gone, QUENOR_OPEN_SHARED, &device));
    CHECK(device == NULL);
    CHECK(quenor_status_text(QUENOR_STATUS_NO_DEVICE, words, sizeof words) < sizeof words &&
          strstr(words, "kIOReturnNoDevice") != NULL);
    CHECK(quenor_device_open(entry, 0x80, &device) == QUENOR_STATUS_BAD_ARGUMENT);
}

static void check_reports(quenor_device* device, cvmac_gadget* gadget) {
    static const uint8_t out[] = {2, 0xAA, 0xBB};
    static const uint8_t feature[] = {3, 1, 2, 3};
    static const uint8_t input[] = {1, 9, 8, 7};
    uint8_t buffer[16] = {0};
    size_t length = 99;

    /* What reaches the device (type, ID, bytes) is the Python test's, through the same calls. */
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_write(device, 2, out, sizeof out, 1000));
    CHECK(cvmac_queue_set_report_answer(gadget, (int32_t)0xE00002BC) == 0);
    CHECK(quenor_write(device, 2, out, sizeof out, 1000) != QUENOR_STATUS_OK);

    CHECK_STATUS(QUENOR_STATUS_OK, quenor_send_feature(device, 3, feature, sizeof feature, 6000));

    CHECK(cvmac_queue_get_report_answer(gadget, 0, feature, sizeof feature) == 0);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_get_feature(device, 3, buffer, 4, &length, 5000));
    CHECK(length == 4 && memcmp(buffer, feature, 4) == 0);
    CHECK(cvmac_queue_get_report_answer(gadget, (int32_t)0xE00002E2, NULL, 0) == 0);
    CHECK_STATUS(QUENOR_STATUS_NOT_PERMITTED,
                 quenor_get_feature(device, 3, buffer, 4, &length, 5000));
    CHECK(length == 0);

    CHECK(cvmac_inject_input_report(gadget, 1, input, sizeof input, 5000) == CVMAC_DELIVERED);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_read(device, buffer, sizeof buffer, &length, 1000));
    CHECK(length == sizeof input && memcmp(buffer, input, sizeof input) == 0);
    /* A caller's buffer shorter than the report gets what fits. */
    CHECK(cvmac_inject_input_report(gadget, 1, input, sizeof input, 5000) == CVMAC_DELIVERED);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_read(device, buffer, 2, &length, 1000));
    CHECK(length == 2 && memcmp(buffer, input, 2) == 0);
    CHECK_STATUS(QUENOR_STATUS_TIMEOUT, quenor_read(device, buffer, sizeof buffer, &length, 20));
}

static void check_requests(quenor_device* device, cvmac_gadget* gadget) {
    static const uint8_t input[] = {1, 4, 5};
    quenor_request* read = NULL;
    quenor_request* feature = NULL;
    quenor_result result;

    CHECK_STATUS(QUENOR_STATUS_OK, quenor_read_request(device, 8, -1, on_completion, &seen, &read));
    CHECK(quenor_request_poll(read) == 0 && quenor_request_wait_for(read, 10) == 0);
    CHECK(quenor_request_result(read, &result) == QUENOR_STATUS_NOT_READY);
    CHECK(cvmac_inject_input_report(gadget, 1, input, sizeof input, 5000) == CVMAC_DELIVERED);
    CHECK(quenor_request_wait_for(read, 5000) == 1 && quenor_request_poll(read) == 1);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_request_result(read, &result));
    CHECK(result.length == sizeof input && memcmp(result.data, input, sizeof input) == 0);
    CHECK(wait_for_count(&seen.completions, 1) && seen.statuses[0] == QUENOR_STATUS_OK);
    CHECK(memcmp(seen.completed_bytes, input, sizeof input) == 0);
    quenor_request_free(read);

    /* Freed before it completes: the callback still runs, once. */
    CHECK(cvmac_queue_get_report_answer(gadget, 0, input, sizeof input) == 0);
    CHECK_STATUS(QUENOR_STATUS_OK,
                 quenor_get_feature_request(device, 1, 3, on_completion, &seen, &feature));
    quenor_request_free(feature);
    CHECK(wait_for_count(&seen.completions, 2) && seen.completed_length == 3);
    CHECK(memcmp(seen.completed_bytes, input, sizeof input) == 0);
}

static void check_strings(quenor_device* device, cvmac_gadget* gadget) {
    char* text = NULL;
    static const char* const greeting =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xF0\x9F\x94\x8C";
    CHECK(cvmac_set_usb_string(gadget, 5, greeting) == 0);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_usb_string(device, 5, &text, 5000));
    CHECK(text && strcmp(text, greeting) == 0);
    quenor_string_free(text);
    CHECK(quenor_usb_string(device, 256, &text, 5000) == QUENOR_STATUS_BAD_ARGUMENT && !text);
}

/* 31 unread reports: the queue keeps 30, one is dropped and counted. */
static void check_dropped(quenor_device* device, cvmac_gadget* gadget) {
    const uint8_t report[] = {1, 0};
    int i;
    CHECK(quenor_device_dropped_reports(device) == 0);
    for (i = 0; i < 31; ++i) {
        CHECK(cvmac_inject_input_report(gadget, 1, report, sizeof report, 5000) == CVMAC_DELIVERED);
    }
    CHECK(quenor_device_dropped_reports(device) == 1);
}

/* An exclusive open seizes the gadget: the shared device's calls are refused until the
 * seizing device goes. */
static void check_exclusive(const quenor_entry* entry, quenor_device* shared) {
    quenor_device* seizing = NULL;
    uint8_t buffer[4];
    size_t length = 0;
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_device_open(entry, QUENOR_OPEN_EXCLUSIVE, &seizing));
    CHECK_STATUS(QUENOR_STATUS_EXCLUSIVE_ACCESS,
                 quenor_get_feature(shared, 3, buffer, sizeof buffer, &length, 5000));
    quenor_device_destroy(seizing);
    CHECK_STATUS(QUENOR_STATUS_OK,
                 quenor_get_feature(shared, 3, buffer, sizeof buffer, &length, 5000));
}

/* Destroyed with two reads pending: the waiting one answers ("no report", or aborted),
 * the one behind it never runs, and its callback says so; both requests outlive the
 * device. */
static void check_destroy_with_pending_reads(void) {
    quenor_entry* entries = list_gadget();
    quenor_device* device = NULL;
    quenor_request* reads[2] = {NULL, NULL};
    int i;
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_device_open(&entries[0], QUENOR_OPEN_SHARED, &device));
    quenor_entries_free(entries);
    for (i = 0; i < 2; ++i) {
        CHECK_STATUS(QUENOR_STATUS_OK,
                     quenor_read_request(device, 8, -1, on_completion, &seen, &reads[i]));
    }
    quenor_device_destroy(device);
    CHECK(wait_for_count(&seen.completions, 4) && seen.statuses[3] == QUENOR_STATUS_ABORTED);
    CHECK(seen.statuses[2] == QUENOR_STATUS_TIMEOUT || seen.statuses[2] == QUENOR_STATUS_ABORTED);
    CHECK(quenor_request_wait_for(reads[0], 0) == 1);
    quenor_request_free(reads[0]);
    quenor_request_free(reads[1]);
}

int main(void) {
    const long objects = cvmac_live_object_count();
    quenor_monitor* monitor = NULL;
    quenor_device* device = NULL;
    quenor_entry* entries;
    cvmac_gadget* gadget;
    quenor_match match = {QUENOR_MATCH_PRODUCT_ID, 0, 0xC0DE, 0, 0};
    uint8_t buffer[8];
    size_t length;
    uint64_t first_id;

    CHECK(quenor_version_number() == (1 << 16) && strcmp(quenor_version_string(), "1.0.0") == 0);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_monitor_start(&match, 1, on_notice, &seen, &monitor));
    gadget = cvmac_plug(&kGadget);
    CHECK(gadget != NULL);
    CHECK(wait_for_count(&seen.arrivals, 1));

    entries = list_gadget();
    CHECK(seen.last_entry_id == entries[0].entry_id && strcmp(seen.last_path, GADGET_PATH) == 0);
    first_id = entries[0].entry_id;
    check_open_failure(&entries[0]);
    CHECK_STATUS(QUENOR_STATUS_OK, quenor_device_open(&entries[0], QUENOR_OPEN_SHARED, &device));
    CHECK(quenor_device_is_open(device) == 1 &&
          quenor_device_report_size(device, QUENOR_REPORT_OUTPUT) == 8);

    check_reports(device, gadget);
    check_requests(device, gadget);
    check_strings(device, gadget);
    check_dropped(device, gadget);
    check_exclusive(&entries[0], device);
    quenor_entries_free(entries);

    /* Unplugged: the monitor says so, the device is no longer open and reads say why. */
    CHECK(cvmac_unplug(gadget, 5000) == CVMAC_DELIVERED);
    CHECK(wait_for_count(&seen.removals, 1) && seen.last_entry_id == first_id);
    CHECK(quenor_device_is_open(device) == 0);
    CHECK_STATUS(QUENOR_STATUS_NOT_OPEN, quenor_read(device, buffer, sizeof buffer, &length, 1000));
    quenor_device_destroy(device);
    cvmac_gadget_free(gadget);

    /* Plugged again: a new arrival with a new entry ID. */
    gadget = cvmac_plug(&kGadget);
    CHECK(wait_for_count(&seen.arrivals, 2) && seen.last_entry_id > first_id);
    check_destroy_with_pending_reads();
    quenor_monitor_free(monitor);
    cvmac_unplug(gadget, 0);
    cvmac_gadget_free(gadget);

    CHECK(cvmac_live_object_count() == objects);
    if (failures == 0) {
        puts("capi_test: all checks passed");
    }
    return failures == 0 ? 0 : 1;
}

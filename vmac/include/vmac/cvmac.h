/* cvmac.h: a C face of the virtual platform's control API (<vmac/control.h>), the few
 * controls a test written in C, or in Python over ctypes, needs to drive a virtual
 * gadget through libquenor's C interface: plug a described gadget, script its answers,
 * see what reached it, inject input reports, serve USB strings, unplug.
 *
 * C99, exported by libvmac (present only in builds for the virtual platform; a program
 * can look for cvmac_plug to tell). Every function may be called from any thread;
 * waits take a time-out in milliseconds. No C++ exception leaves a function: a failure
 * answers NULL or -1. */
#ifndef VMAC_CVMAC_H
#define VMAC_CVMAC_H

#include <stddef.h>
#include <stdint.h>

#define CVMAC_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* A plugged virtual gadget, as the test holds it. */
typedef struct cvmac_gadget cvmac_gadget;

/* What a gadget says about itself: its registry properties. One usage pair, which is
 * also its primary one. NULL strings are left out (they read as ""). */
typedef struct cvmac_gadget_description {
    const char* path; /* the registry path; required, unique among plugged gadgets */
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t release_number;
    uint16_t usage_page;
    uint16_t usage;
    uint16_t max_input_report_size;
    uint16_t max_output_report_size;
    uint16_t max_feature_report_size;
    uint32_t location_id;
    const char* manufacturer;
    const char* product;
    const char* serial_number;
    const char* transport;
} cvmac_gadget_description;

/* Plugs a gadget under a virtual USB interface, with its properties in place before it
 * is published (so a monitor sees it arrive). NULL when the description has no path, a
 * gadget is plugged at that path already, or no memory could be had. The caller frees
 * the handle with cvmac_gadget_free(). */
CVMAC_API cvmac_gadget* cvmac_plug(const cvmac_gadget_description* description);
/* Frees the handle; the gadget stays plugged until cvmac_unplug() or cvmac_reset(). */
CVMAC_API void cvmac_gadget_free(cvmac_gadget* gadget);

/* When an injected report or an unplug reached the library. */
typedef enum cvmac_outcome {
    CVMAC_PENDING = 0,   /* not yet, within the wait */
    CVMAC_DELIVERED = 1, /* an open device object's callback ran */
    CVMAC_DROPPED = 2    /* nobody had it open (or its callback) */
} cvmac_outcome;

/* Unplugs the gadget (later calls on it fail with kIOReturnNotAttached) and waits up
 * to `wait_ms` for the removal notices to reach the open device objects. -1 on a NULL
 * gadget. */
CVMAC_API int cvmac_unplug(cvmac_gadget* gadget, int64_t wait_ms);
/* Unplugs every gadget. */
CVMAC_API void cvmac_reset(void);

/* Queues the answer of the next GetReport (a feature read): `result` (an IOReturn, 0
 * for success) and, on success, `length` bytes of data. Answers are taken in order;
 * with none queued, a GetReport succeeds with no data. 0, or -1 on bad arguments. */
CVMAC_API int cvmac_queue_get_report_answer(cvmac_gadget* gadget, int32_t result,
                                            const uint8_t* data, size_t length);
/* Queues the result of the next SetReport (an output or feature report sent). */
CVMAC_API int cvmac_queue_set_report_answer(cvmac_gadget* gadget, int32_t result);

/* One SetReport or GetReport call that reached the gadget. */
typedef struct cvmac_report_call {
    int kind; /* 0: SetReport, 1: GetReport */
    int type; /* 0 input, 1 output, 2 feature */
    uint32_t report_id;
    size_t length; /* SetReport: bytes sent; GetReport: bytes asked for */
} cvmac_report_call;

/* How many report calls reached the gadget, waiting up to `wait_ms` for at least
 * `count` of them. */
CVMAC_API size_t cvmac_report_calls(const cvmac_gadget* gadget, size_t count, int64_t wait_ms);
/* Call `index` (0: the first): fills *call and copies up to `capacity` sent bytes into
 * `bytes` (may be NULL when capacity is 0). 0, or -1 when there is no such call. */
CVMAC_API int cvmac_report_call_at(const cvmac_gadget* gadget, size_t index,
                                   cvmac_report_call* call, uint8_t* bytes, size_t capacity);

/* Injects an input report (its bytes as the device sends them, report ID byte first
 * when it numbers its reports) to every open device object, and waits up to `wait_ms`
 * for it to be delivered or dropped. Returns the outcome, or -1 on bad arguments. */
CVMAC_API int cvmac_inject_input_report(cvmac_gadget* gadget, uint32_t report_id,
                                        const uint8_t* data, size_t length, int64_t wait_ms);

/* Serves USB string descriptor `index` with the UTF-8 `text`. 0, or -1. */
CVMAC_API int cvmac_set_usb_string(cvmac_gadget* gadget, uint8_t index, const char* text);

/* Live CF objects, for a test to see that it ends with what it began with. */
CVMAC_API long cvmac_live_object_count(void);

#ifdef __cplusplus
}
#endif

#endif /* VMAC_CVMAC_H */

/*
 * marlex: the USB link to one Quellbar.
 *
 * The library holds at most one open device for the whole process. All four
 * functions are meant for one thread at a time; none of them prints or logs.
 * Loading or unloading the library opens and closes nothing.
 */
#ifndef MARLEX_H
#define MARLEX_H

/* The library is built with hidden visibility; these four are its exports. */
#define MARLEX_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* OpenCom's results. */
enum MarlexOpenResult {
    MARLEX_OK = 0,
    MARLEX_ERR_NO_DEVICE = -1,
    MARLEX_ERR_OPEN = -2,
    MARLEX_ERR_CONFIGURATION = -4,
    MARLEX_ERR_CLAIM = -5,
    MARLEX_ERR_ALT_SETTING = -6
};

/* ReadCom's and WriteCom's results while no link is open. */
enum MarlexClosedResult { MARLEX_ERR_READ_CLOSED = -101, MARLEX_ERR_WRITE_CLOSED = -102 };

/*
 * Finds the first Quellbar (MARLEX_VENDOR_ID with MARLEX_PRODUCT_ID_A or _B,
 * protocol.h) over all buses (rescanning them first), opens it, selects
 * configuration 1, claims interface 0 and selects alternate setting 0.
 *
 * Returns a MarlexOpenResult:
 *   MARLEX_OK                 link open
 *   MARLEX_ERR_NO_DEVICE      no matching device on any bus
 *   MARLEX_ERR_OPEN           opening the first matching device failed
 *   MARLEX_ERR_CONFIGURATION  selecting configuration 1 failed (handle closed)
 *   MARLEX_ERR_CLAIM          claiming interface 0 failed (handle closed,
 *                             nothing released)
 *   MARLEX_ERR_ALT_SETTING    selecting alternate setting 0 failed (interface
 *                             released, handle closed)
 *
 * Call it only while no link is open; it does not close a link that is.
 */
MARLEX_API int OpenCom(void);

/*
 * If a link is open: releases interface 0, resets the device, closes it.
 * The device re-enumerates after the reset, so an OpenCom right after may
 * return -1 for a moment. Always returns 0; harmless without a link.
 */
MARLEX_API int CloseCom(void);

/*
 * One bulk read of up to `length` bytes from endpoint 0x82 into `buffer`,
 * waiting at most 5000 ms.
 *
 * Returns:
 *   >= 0  bytes received (may be fewer than asked; the link stays open)
 *   MARLEX_ERR_READ_CLOSED (-101)  no link open; `buffer` is not touched
 *   < 0   libusb's error for the failed transfer, passed through unchanged
 *         (-110 on a time-out); the link has been closed
 *
 * A negative `length` is refused with -22 (EINVAL) and the link stays open;
 * a null `buffer` with a positive length likewise.
 */
MARLEX_API int ReadCom(unsigned char* buffer, int length);

/*
 * One bulk write of `length` bytes from `buffer` to endpoint 0x01, waiting at
 * most 5000 ms.
 *
 * Returns:
 *   >= 0  bytes sent (0 when the endpoint stalled; the link stays open)
 *   MARLEX_ERR_WRITE_CLOSED (-102)  no link open; nothing is sent
 *   < 0   libusb's error for the failed transfer, passed through unchanged;
 *         the link has been closed
 *
 * A negative `length`, or a null `buffer` with a positive length, is refused
 * with -22 (EINVAL) and the link stays open.
 */
MARLEX_API int WriteCom(const unsigned char* buffer, int length);

#ifdef __cplusplus
}
#endif

#endif

/*
 * Control interface of the stand-in libusb, for tests.
 *
 * Without any of these calls the stand-in builds its buses from the
 * environment variable QUELLBAR_SIM (see docs/simulator.md). simctl_reset()
 * switches to an empty, test-built world: nothing comes from the environment
 * afterwards.
 *
 * Device ids are small positive numbers handed out by the add functions (the
 * environment's root hub is id 1 and its Quellbar id 2). They also name the
 * device in the call record: "usb_open(2)".
 */
#ifndef SIMCTL_H
#define SIMCTL_H

#ifdef __cplusplus
extern "C" {
#endif

#define SIMCTL_IN 0  /* usb_bulk_read  */
#define SIMCTL_OUT 1 /* usb_bulk_write */

/* Everything off: no buses, no scripts, no failures, empty call record,
 * usb_reset in place. Handles still open become invalid. */
void simctl_reset(void);

/* Appends a bus to the bus list; returns its index (0-based). */
int simctl_add_bus(void);

/* Appends a plain device (ids only; what it sends and receives is set below)
 * to the end of bus `bus`. Returns its id, or -22 for a bus that doesn't exist. */
int simctl_add_device(int bus, unsigned vendor, unsigned product);

/* Appends a simulated Quellbar configured by `options` (QUELLBAR_SIM syntax).
 * Returns its id, -22 on a bad bus or bad options. */
int simctl_add_quellbar(int bus, const char* options);

/* Changes the first Quellbar's settings (QUELLBAR_SIM syntax; only the keys
 * given change). "faults=" replaces the scheduled faults, counted from the
 * next request. Returns 0, -22 on bad options, -19 when there is no Quellbar. */
int simctl_quellbar_configure(const char* options);

/* Schedules one fault "name[:arg][@n]" on the first Quellbar, n counted from
 * the next request (1 = the next one). Returns 0, -22, or -19 as above. */
int simctl_quellbar_inject(const char* fault);

/* Makes `call` fail `times` times (-1: until simctl_reset). `call` is one of
 * "usb_open" (returns NULL; `result` unused), "usb_set_configuration",
 * "usb_claim_interface", "usb_set_altinterface", "usb_release_interface",
 * "usb_reset", which return `result`. Returns 0, or -22 for another name. */
int simctl_fail(const char* call, int result, int times);

/* Scripted transfers. Each adds one entry to a queue per direction; while the
 * queue is not empty, the next usb_bulk_read (SIMCTL_IN) or usb_bulk_write
 * (SIMCTL_OUT) call on an open, present device takes the entry instead of
 * reaching the device.
 *   data:  after `delay_ms`, IN copies min(length, size) bytes of `data` to the
 *          caller and returns that count; OUT returns min(length, size).
 *   error: after `delay_ms`, returns `error` (a negative errno).
 *   stall: returns 0 at once. */
void simctl_script_data(int dir, const unsigned char* data, int length, int delay_ms);
void simctl_script_error(int dir, int error, int delay_ms);
void simctl_script_stall(int dir);

/* Plain devices. Each request moves at most `max_piece` bytes (0: as many as
 * asked) and takes `delay_ms`; a read with nothing left to send waits for the
 * transfer's deadline and fails with -110. All return 0, or -22 for an id that
 * is not a plain device. */
int simctl_device_send(int id, const unsigned char* data, int length);
int simctl_device_stall(int id, int dir, int on);
int simctl_device_pace(int id, int max_piece, int delay_ms);
/* Copies up to `size` of the bytes the device received so far; returns their
 * total count (or -22). */
int simctl_device_received(int id, unsigned char* buf, int size);
/* Copies up to `size` lengths of the requests the device was handed in
 * direction `dir`; returns their total count (or -22). */
int simctl_device_requests(int id, int dir, int* sizes, int size);

/* Bus events. From now on usb_reset takes the device off the bus and it comes
 * back re-enumerated after `ms`; ms < 0: usb_reset in place (the default, as
 * on Linux: same number, handles stay valid, claims are dropped). */
void simctl_set_reenum_ms(int ms);
/* Takes device `id` off its bus; it comes back after `back_after_ms`
 * (re-enumerated: new number, first in its bus's list), or never if < 0. */
int simctl_unplug(int id, int back_after_ms);
/* Puts an unplugged device back at once (new number, first in its bus). */
int simctl_replug(int id);
/* The device's current number on its bus; 0 while it is off the bus. */
int simctl_devnum(int id);
/* Handles opened and not yet closed. */
int simctl_open_handles(void);

/* The record of libusb calls since the last clear, one per line, e.g.
 * "usb_init", "usb_open(2)", "usb_claim_interface(0)",
 * "usb_bulk_read(0x82,64,5000)", "usb_reset", "usb_close".
 * Writes at most size-1 characters and a terminating NUL; returns the full
 * length, as snprintf does. */
int simctl_calls(char* buf, int size);
void simctl_clear_calls(void);

#ifdef __cplusplus
}
#endif

#endif

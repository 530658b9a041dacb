/* The Quellbar's USB facts: ids, configuration, endpoints, time limit. */
#ifndef MARLEX_PROTOCOL_H
#define MARLEX_PROTOCOL_H

#define MARLEX_VENDOR_ID 0x7E3A
#define MARLEX_PRODUCT_ID_A 0xFF05
#define MARLEX_PRODUCT_ID_B 0x0009

#define MARLEX_CONFIGURATION 1
#define MARLEX_INTERFACE 0
#define MARLEX_ALT_SETTING 0

#define MARLEX_EP_OUT 0x01
#define MARLEX_EP_IN 0x82
#define MARLEX_TIMEOUT_MS 5000

#endif

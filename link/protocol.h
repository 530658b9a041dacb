/* Fixed values of the USB link to the Quellbar. None of them is configurable. */
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

/* Result codes of the four exports. */
#define MARLEX_OK 0
#define MARLEX_ERR_NO_DEVICE (-1)
#define MARLEX_ERR_OPEN (-2)
#define MARLEX_ERR_CONFIGURATION (-4)
#define MARLEX_ERR_CLAIM (-5)
#define MARLEX_ERR_ALT_SETTING (-6)
#define MARLEX_ERR_READ_CLOSED (-101)
#define MARLEX_ERR_WRITE_CLOSED (-102)

#endif

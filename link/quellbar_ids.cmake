# The Quellbar's USB ids, kept here alone: protocol.h, the udev rule, the
# AppStream modaliases and the manual page are configured from them, and the
# install check reads them here. Four lowercase hex digits each.
set(QUELLBAR_VENDOR_ID 7e3a)
set(QUELLBAR_PRODUCT_ID_A ff05)
set(QUELLBAR_PRODUCT_ID_B 0009)

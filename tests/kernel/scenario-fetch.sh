# The fetch cycle's endings over the real stack, each from a gadget fault.
LD_LIBRARY_PATH="$BUILD/lib" "$BUILD/bin/fetch_kernel_tests"

# Checks the built link library: NEEDED libusb-0.1.so.4 and exactly the four exports.
cmake_minimum_required(VERSION 3.22)
find_program(READELF readelf REQUIRED)
find_program(NM nm REQUIRED)

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dynamic}")
list(TRANSFORM needed REPLACE ".*\\[(.*)\\]" "\\1")
if(NOT "libusb-0.1.so.4" IN_LIST needed)
  message(FATAL_ERROR "${LIB} does not need libusb-0.1.so.4 (NEEDED: ${needed})")
endif()

# Absolute symbols (A) are linker bookkeeping such as version nodes.
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[0-9a-fA-F]+ [B-Zab-z] [^\n]+" exports "${symbols}")
list(TRANSFORM exports REPLACE "^[0-9a-fA-F]+ . " "")
list(SORT exports)
set(expected CloseCom OpenCom ReadCom WriteCom)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "${LIB} exports '${exports}', expected '${expected}'")
endif()
message(STATUS "${LIB}: NEEDED ${needed}; exports ${exports}")

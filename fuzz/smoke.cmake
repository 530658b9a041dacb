# A fuzzer's short run, as ctest runs it: from a fresh scratch corpus (the
# saved corpus and the seeds are only read), failing on the fuzzer's exit
# status or on any input it kept as an artifact (a slow unit is kept without
# one). cmake -DFUZZER=.. -DSCRATCH=.. -DSECONDS=.. -DCORPUS=.. -DSEEDS=.. -P smoke.cmake
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/corpus ${SCRATCH}/artifacts)
execute_process(COMMAND ${FUZZER} -max_total_time=${SECONDS} -max_len=32768 -timeout=10 -rss_limit_mb=2048
  -print_final_stats=1 -artifact_prefix=${SCRATCH}/artifacts/ ${SCRATCH}/corpus ${CORPUS} ${SEEDS}
  RESULT_VARIABLE rc)
file(GLOB kept ${SCRATCH}/artifacts/*)
if(NOT rc EQUAL 0 OR kept)
  get_filename_component(name ${FUZZER} NAME)
  message(FATAL_ERROR "${name} found a fault (exit ${rc}); inputs: ${kept}")
endif()

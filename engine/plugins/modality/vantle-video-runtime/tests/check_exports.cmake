# Fails unless the shared library's dynamic symbol table defines exactly the
# vantle_video_runtime_* functions listed below and nothing else of ours.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(found "")
foreach(line ${lines})
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${line}")
  if(name STREQUAL "" OR name MATCHES "^_(init|fini|edata|end|_bss_start)$" OR name MATCHES "^__bss_start$")
    continue()
  endif()
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected
  vantle_video_runtime_decode
  vantle_video_runtime_decode_indexed
  vantle_video_runtime_decode_with_options
  vantle_video_runtime_free_bytes
  vantle_video_runtime_free_indexed_response
  vantle_video_runtime_free_response
  vantle_video_runtime_free_transcode_response
  vantle_video_runtime_last_error
  vantle_video_runtime_release_kept_memory
  vantle_video_runtime_set_kept_memory_limit
  vantle_video_runtime_set_picture_area_limit
  vantle_video_runtime_set_response_limit
  vantle_video_runtime_transcode_h264
  vantle_video_runtime_version)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ:\n found: ${found}\n expected: ${expected}")
endif()
message(STATUS "exports: ${found}")

# The host finds the plug-in by these names only; anything else leaving the
# module could clash with the host's own symbols.
execute_process(COMMAND nm -D --defined-only "${MODULE}" OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected DllGetClassObject tvoz_alert_mac tvoz_confirm_mac tvoz_pick_folder_mac
    tvoz_prompt_text_mac)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()

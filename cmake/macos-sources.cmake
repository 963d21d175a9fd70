# The sources of the macOS module, as this project's own CMake files choose
# them, for scripts/check-macos. Loaded with CMAKE_PROJECT_INCLUDE into a
# throw-away configure on Linux: it makes every if(APPLE) take the Mac's
# branch, then writes macos-sources.txt in the build folder, one line per C++
# or Objective-C++ source of Tornavoz and of the libraries of ours it links,
# each with its compile definitions: "SOURCE<TAB>DEFINITION<TAB>...". So a
# source added to the build is checked without being listed a second time.
set(APPLE TRUE)

function(tvoz_write_macos_sources)
  set(pending Tornavoz)
  set(seen "")
  set(lines "")
  while(pending)
    list(POP_FRONT pending target)
    if(target IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${target})
    get_target_property(dir ${target} SOURCE_DIR)
    get_target_property(sources ${target} SOURCES)
    foreach(source IN LISTS sources)
      if(source MATCHES "\\.(cpp|cc|cxx|mm)$")
        get_filename_component(source ${source} ABSOLUTE BASE_DIR ${dir})
        file(RELATIVE_PATH source ${PROJECT_SOURCE_DIR} ${source})
        string(APPEND lines
          "${source}\t$<JOIN:$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>,\t>\n")
      endif()
    endforeach()
    # Our own libraries only; imported ones (libcurl, JSON) are the system's.
    get_target_property(libraries ${target} LINK_LIBRARIES)
    foreach(library IN LISTS libraries)
      if(TARGET ${library})
        get_target_property(imported ${library} IMPORTED)
        if(NOT imported)
          list(APPEND pending ${library})
        endif()
      endif()
    endforeach()
  endwhile()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/macos-sources.txt CONTENT "${lines}")
endfunction()

# Once every folder has added its sources.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tvoz_write_macos_sources)

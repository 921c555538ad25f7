# chs_library(<name> [EXCLUDE <files...>] DEPS <libs...>)
# One static library per subsystem folder, made of every .cpp in the folder
# except the excluded ones (which another library of the folder builds).
# A folder whose subsystem has no code yet becomes an interface library so that
# the executable can name every subsystem from the start.
function(chs_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER _sources EXCLUDE REGEX "_main\\.cpp$")
  foreach(_excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM _sources ${CMAKE_CURRENT_SOURCE_DIR}/${_excluded})
  endforeach()
  if(_sources)
    add_library(${name} STATIC ${_sources})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# add_unit_test(<subsystem> <name> [LIBS <libs...>] [LABELS <labels...>])
# Builds tests/<subsystem>/<name>.cpp into one executable and registers its
# test cases with CTest one by one.
function(add_unit_test subsystem name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS" ${ARGN})
  set(_src ${CMAKE_CURRENT_SOURCE_DIR}/${subsystem}/${name}.cpp)
  if(NOT EXISTS ${_src})
    message(WARNING "test ${_src} is registered but missing")
    return()
  endif()
  add_executable(${name} ${_src})
  target_link_libraries(${name} PRIVATE chs_test_support ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name}
    TEST_PREFIX "${subsystem}."
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${subsystem};${ARG_LABELS}"
    DISCOVERY_TIMEOUT 30)
endfunction()

# chs_link_whole(<target> <libs...>)
# Links every member of the named static libraries into <target>, so that the
# host interface stays in the daemon even where the daemon itself does not
# call it; plugins find it by name at load time. Interface libraries (a
# subsystem without code yet) are linked normally.
function(chs_link_whole target)
  foreach(lib ${ARGN})
    get_target_property(_type ${lib} TYPE)
    if(_type STREQUAL "STATIC_LIBRARY")
      # One option per library: separate items would be de-duplicated and
      # only the first library would be taken whole.
      target_link_options(${target} PRIVATE "SHELL:-Wl,--whole-archive $<TARGET_FILE:${lib}> -Wl,--no-whole-archive")
      add_dependencies(${target} ${lib})
    endif()
    target_link_libraries(${target} PRIVATE ${lib})
  endforeach()
endfunction()

# Shared build helpers.
#
# aerolith_library(TARGET DEPS ...): one static library made of every .cpp file of
# the calling folder (main.cpp excluded). A folder that has no sources yet becomes an
# interface library carrying only its dependencies, so the link graph stays stable.
set(AEROLITH_ROOT ${CMAKE_SOURCE_DIR})

function(aerolith_library target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${AEROLITH_ROOT} ${AEROLITH_ROOT}/include)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${AEROLITH_ROOT} ${AEROLITH_ROOT}/include)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# aerolith_tests_from_folder(): every *_test.cpp file of the calling folder becomes a
# GoogleTest executable named after its folder and file, linked against every project
# library and the shared test fixtures, and each of its tests is registered with CTest.
function(aerolith_tests_from_folder)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(RELATIVE_PATH rel ${AEROLITH_ROOT}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" prefix "${rel}")
  string(REPLACE "-" "_" prefix "${prefix}")
  foreach(test_source ${tests})
    get_filename_component(name ${test_source} NAME_WE)
    set(exe test_${prefix}_${name})
    add_executable(${exe} ${test_source})
    target_link_libraries(${exe} PRIVATE aerolith_test_support GTest::gtest_main)
    gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST
                         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                         PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()

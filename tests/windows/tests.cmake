add_executable(device_walk_tests windows/device_walk_test.cpp)
target_link_libraries(device_walk_tests PRIVATE portcheck_platform GTest::gtest_main)
portcheck_add_gtest(device_walk_tests)

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

# Cross-built, the tests run under Wine. One throwaway prefix serves the whole
# run: made once by a setup test, its server kept up until the cleanup test.
set(PORTCHECK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(wine_prefix ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh)
add_test(NAME wine_prefix_make COMMAND sh ${wine_prefix} make ${PORTCHECK_WINEPREFIX})
add_test(NAME wine_prefix_down COMMAND sh ${wine_prefix} down ${PORTCHECK_WINEPREFIX})
# The x86 build runs on the Wine that also runs 32-bit programs (scripts/wine.sh).
set(wine_environment "WINEPREFIX=${PORTCHECK_WINEPREFIX};WINEDEBUG=-all;PORTCHECK_WINE_ARCH=${PORTCHECK_ARCHITECTURE};PORTCHECK_EXE=$<TARGET_FILE:portcheck>")
set_tests_properties(wine_prefix_make PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${wine_environment}")
set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${wine_environment}")

# The Python tests are unittest modules of the checkout's packages, run from
# its top, told what to test through the environment.
set(unittest /usr/bin/python3 -B -m unittest -v)
add_test(NAME portcheck_end_to_end COMMAND ${unittest} tests.windows.test_end_to_end
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
# What the image test is told, for the release's signed executables too.
set(image "${PORTCHECK_ARCHITECTURE} ${PORTCHECK_LOWEST_WINDOWS} ${PORTCHECK_FILE_VERSION}")
file(WRITE ${CMAKE_BINARY_DIR}/image_test_arguments.txt "${image}\n")
add_executable(startup_only windows/startup_only.cpp)
target_link_libraries(startup_only PRIVATE portcheck_image)
add_test(NAME portcheck_image COMMAND ${unittest} tests.windows.test_image.Image
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set_tests_properties(portcheck_image PROPERTIES ENVIRONMENT
  "PORTCHECK_EXE=$<TARGET_FILE:portcheck>;PORTCHECK_IMAGE=${image};PORTCHECK_STARTUP=$<TARGET_FILE:startup_only>")

add_test(NAME portcheck_readme_examples COMMAND ${unittest} tests.windows.test_readme_examples
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})

# The start-up code must leave a wildcard argument alone whatever the
# runtime's default: a library that turns expansion on stands in for a runtime
# built that way, and is linked in only if the program's own setting is not
# the one the start-up code reads. Run in a folder that holds files.
add_library(wildcards_on STATIC windows/wildcards_on.cpp)
add_executable(wildcard_test windows/wildcard_test.cpp)
target_link_libraries(wildcard_test PRIVATE portcheck_image wildcards_on)
add_test(NAME portcheck_wildcards_unexpanded COMMAND wildcard_test "*"
         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/windows)

set_tests_properties(portcheck_tests device_walk_tests portcheck_end_to_end
                     portcheck_readme_examples portcheck_wildcards_unexpanded PROPERTIES
  FIXTURES_REQUIRED wine
  ENVIRONMENT "${wine_environment}")

# NO_SEH on x86 is only as true as the check for frame-based handlers, which
# must see one where a program plants it.
if(PORTCHECK_ARCHITECTURE STREQUAL "x86")
  add_executable(planted_frame_handler windows/planted_frame_handler.cpp)
  target_link_options(planted_frame_handler PRIVATE -s)
  add_test(NAME portcheck_image_sees_planted_handler COMMAND ${unittest} tests.windows.test_image.PlantedHandler
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(portcheck_image_sees_planted_handler PROPERTIES
    ENVIRONMENT "PORTCHECK_PLANTED=$<TARGET_FILE:planted_frame_handler>")
endif()

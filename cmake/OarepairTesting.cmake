# Registering tests so that they run the same way in every preset: natively on Linux, and in the
# MinGW cross builds under Wine, each run in its own throwaway prefix (cmake/wine-run.sh is the
# cross toolchains' CROSSCOMPILING_EMULATOR).
#
#   oarepair_add_gtest(<target> [NAME <test-name>] [TIMEOUT <seconds>] [LABELS <label>...]
#                      [ARGS <arg>...])
#     Registers the GoogleTest executable <target> as one ctest test (named <target> unless NAME is
#     given). In a cross build ctest starts it through the emulator, and exit status 77 ("this
#     architecture cannot run on this machine", e.g. 32-bit programs where the kernel has no 32-bit
#     support and qemu-i386 is missing) counts as skipped instead of failed. Default TIMEOUT: 600 s.
#     Call it for every test executable instead of a bare add_test().
#
#   oarepair_add_script_test(NAME <test-name> COMMAND <command> [<arg>...]
#                            [TIMEOUT <seconds>] [LABELS <label>...])
#     Registers a script (end-to-end check). The script gets in its environment:
#       OAREPAIR_SOURCE_DIR, OAREPAIR_BINARY_DIR  source and build tree
#       OAREPAIR_WINE_RUN    path of cmake/wine-run.sh
#       OAREPAIR_WINE_ARCH   x64 or x86 in a cross build, empty in a native one
#       OAREPAIR_WINE_CACHE  where wine-run.sh keeps this build's template prefix
#     Exit status 77 counts as skipped (e.g. `"$OAREPAIR_WINE_RUN" --check "$OAREPAIR_WINE_ARCH" || exit $?`).

include_guard(GLOBAL)

set(OAREPAIR_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
set(OAREPAIR_TEST_SKIP_CODE 77)
set(OAREPAIR_TEST_TIMEOUT 600)

function(oarepair_add_gtest target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;TIMEOUT" "LABELS;ARGS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "oarepair_add_gtest: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "oarepair_add_gtest: ${target} is not a target")
  endif()
  if(NOT arg_NAME)
    set(arg_NAME ${target})
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${OAREPAIR_TEST_TIMEOUT})
  endif()

  # COMMAND names the target, so a cross build prefixes it with the target's CROSSCOMPILING_EMULATOR.
  add_test(NAME ${arg_NAME} COMMAND ${target} ${arg_ARGS})
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  if(CMAKE_CROSSCOMPILING)
    get_target_property(emulator ${target} CROSSCOMPILING_EMULATOR)
    if(NOT emulator)
      message(FATAL_ERROR "oarepair_add_gtest: ${target} has no CROSSCOMPILING_EMULATOR; "
                          "configure the cross build with a preset or cmake/toolchain-mingw-*.cmake")
    endif()
    set_tests_properties(${arg_NAME} PROPERTIES SKIP_RETURN_CODE ${OAREPAIR_TEST_SKIP_CODE})
    list(APPEND arg_LABELS wine)
  endif()
  if(arg_LABELS)
    set_tests_properties(${arg_NAME} PROPERTIES LABELS "${arg_LABELS}")
  endif()
endfunction()

function(oarepair_add_script_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;TIMEOUT" "COMMAND;LABELS")
  if(NOT arg_NAME OR NOT arg_COMMAND OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "oarepair_add_script_test: usage: NAME <name> COMMAND <command> [<arg>...] "
                        "[TIMEOUT <s>] [LABELS <label>...]")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${OAREPAIR_TEST_TIMEOUT})
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
  set_tests_properties(${arg_NAME} PROPERTIES
    TIMEOUT ${arg_TIMEOUT}
    SKIP_RETURN_CODE ${OAREPAIR_TEST_SKIP_CODE}
    ENVIRONMENT "OAREPAIR_SOURCE_DIR=${PROJECT_SOURCE_DIR};OAREPAIR_BINARY_DIR=${PROJECT_BINARY_DIR};OAREPAIR_WINE_RUN=${OAREPAIR_WINE_RUN};OAREPAIR_WINE_ARCH=${OAREPAIR_WINE_ARCH};OAREPAIR_WINE_CACHE=${CMAKE_BINARY_DIR}/wine-prefix")
  if(arg_LABELS)
    set_tests_properties(${arg_NAME} PROPERTIES LABELS "${arg_LABELS}")
  endif()
endfunction()

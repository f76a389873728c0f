# Common settings for every target of the project: warnings, and warnings as
# errors when TEXTRILL_WERROR is on (./scripts/test turns it on).
function(textrill_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(TEXTRILL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# textrill_folder_library(NAME) : a static library made of every .cc file of the
# calling folder but main.cc, with the project root on its include path.
function(textrill_folder_library target)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX ".*/main\\.cc$")
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  textrill_target_defaults(${target})
endfunction()

# textrill_test(NAME LIBS...) : one GoogleTest executable made of every .cc
# file of the calling folder (tests/<subsystem>), registered with CTest and
# labelled with the folder's name. A folder with its own test_main.cc brings
# its main; the others use GoogleTest's.
function(textrill_test target)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  add_executable(${target} ${sources})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/test_main.cc)
    target_link_libraries(${target} PRIVATE GTest::gtest_main)
  endif()
  textrill_target_defaults(${target})
  add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
  set_tests_properties(${target} PROPERTIES LABELS ${folder} TIMEOUT 900)
endfunction()

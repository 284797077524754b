# Warning and sanitizer flags shared by every target of the project.
add_library(joulix_options INTERFACE)
target_compile_options(joulix_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                                -Wno-sign-conversion)
if(JOULIX_WERROR)
  target_compile_options(joulix_options INTERFACE -Werror)
endif()
if(JOULIX_SANITIZE)
  target_compile_options(joulix_options INTERFACE -fsanitize=address,undefined
                                                  -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(joulix_options INTERFACE -fsanitize=address,undefined)
endif()
if(JOULIX_FUZZ)
  # Coverage instrumentation for the libraries too, so the fuzzers see into the parsers.
  target_compile_options(joulix_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
target_include_directories(joulix_options INTERFACE ${PROJECT_SOURCE_DIR})

# joulix_module(NAME DEPS...) builds one library from every source file in its folder
# (Linux platform sources live in a linux/ subfolder).
function(joulix_module name)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC joulix_options ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE joulix_options ${ARGN})
  endif()
endfunction()

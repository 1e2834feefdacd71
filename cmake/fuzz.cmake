# Fuzz targets: one program per fuzz/NAME_fuzz.cc, driven by clang's
# libFuzzer. Built only with -DORV_BUILD_FUZZ=ON and clang++; the regular
# build never sees any of this.
#
# The core library is compiled a second time (orvcore_fuzz) with coverage
# instrumentation and AddressSanitizer + UndefinedBehaviorSanitizer, so the
# fuzzer sees into every function it reaches. `cmake --build ... --target
# orv_fuzz` builds just the targets, not the regular programs.
option(ORV_BUILD_FUZZ "Build the libFuzzer targets (needs clang++)" OFF)

if(ORV_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ORV_BUILD_FUZZ needs clang++ (CMAKE_CXX_COMPILER=clang++)")
  endif()

  set(ORV_FUZZ_COMPILE_FLAGS
      -fsanitize=fuzzer-no-link,address,undefined
      -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer
      -g)
  set(ORV_FUZZ_LINK_FLAGS -fsanitize=fuzzer,address,undefined)

  add_library(orvcore_fuzz STATIC EXCLUDE_FROM_ALL ${ORV_CORE_SOURCES})
  target_include_directories(orvcore_fuzz PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(orvcore_fuzz PUBLIC ${ORV_FUZZ_COMPILE_FLAGS})
  target_link_libraries(orvcore_fuzz PUBLIC Threads::Threads)

  add_custom_target(orv_fuzz)
  file(GLOB ORV_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cc)
  foreach(src ${ORV_FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} EXCLUDE_FROM_ALL ${src} ${CMAKE_SOURCE_DIR}/fuzz/fuzz_util.cc)
    target_link_libraries(${name} PRIVATE orvcore_fuzz)
    target_link_options(${name} PRIVATE ${ORV_FUZZ_LINK_FLAGS})
    add_dependencies(orv_fuzz ${name})
  endforeach()

  # Writes the packet target's seeds (fuzz/make_seeds.sh runs it).
  add_executable(packet_seeds EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/fuzz/packet_seeds.cc
                 ${CMAKE_SOURCE_DIR}/fuzz/fuzz_util.cc)
  target_link_libraries(packet_seeds PRIVATE orvcore_fuzz)
  target_link_options(packet_seeds PRIVATE -fsanitize=address,undefined)
endif()

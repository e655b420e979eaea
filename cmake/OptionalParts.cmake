# The parts of the build that need more than a C++ compiler, CMake and Ninja. Each check sets its
# result variable and, when the part cannot be built, writes one line naming what is missing, so the
# server itself always builds on a bare machine.

# GoogleTest for the unit and end-to-end tests: the installed library, or for the Windows build its
# sources (built with the same toolchain).
function(varn_find_googletest result)
  if(WIN32)
    if(EXISTS "${VARN_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
      set(${result} ON PARENT_SCOPE)
    else()
      message(STATUS "Tests not built: GoogleTest sources not found in ${VARN_GOOGLETEST_SOURCE_DIR} "
                     "(Debian: googletest)")
      set(${result} OFF PARENT_SCOPE)
    endif()
    return()
  endif()
  find_package(GTest QUIET)
  if(TARGET GTest::gtest AND TARGET GTest::gtest_main)
    set(${result} ON PARENT_SCOPE)
  else()
    message(STATUS "Tests not built: GoogleTest not found (Debian: libgtest-dev)")
    set(${result} OFF PARENT_SCOPE)
  endif()
endfunction()

# libFuzzer, which comes with clang (Debian: clang and libclang-rt-dev).
function(varn_check_libfuzzer result)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles(
    "#include <cstddef>
     #include <cstdint>
     extern \"C\" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }"
    VARN_HAVE_LIBFUZZER)
  if(VARN_HAVE_LIBFUZZER)
    set(${result} ON PARENT_SCOPE)
  else()
    message(STATUS "Fuzz targets not built: ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} has no "
                   "libFuzzer (configure with -DCMAKE_CXX_COMPILER=clang++; Debian: clang libclang-rt-dev)")
    set(${result} OFF PARENT_SCOPE)
  endif()
endfunction()

# Lua 5.4 for the operators' scripts (Debian: liblua5.4-dev), found through pkg-config. The Windows build
# goes without scripts.
function(varn_find_lua result)
  if(WIN32)
    message(STATUS "Scripting not built: no Lua 5.4 for the Windows build (ScriptFiles stops the start-up)")
    set(${result} OFF PARENT_SCOPE)
    return()
  endif()
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(VARN_LUA QUIET IMPORTED_TARGET GLOBAL lua5.4)
  endif()
  if(VARN_LUA_FOUND)
    set(${result} ON PARENT_SCOPE)
  else()
    message(STATUS "Scripting not built: Lua 5.4 not found (Debian: liblua5.4-dev; ScriptFiles stops the start-up)")
    set(${result} OFF PARENT_SCOPE)
  endif()
endfunction()

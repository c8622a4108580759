# nlohmann JSON: Debian's header-only package serves both targets. The cross build must see only
# those headers, never the host's whole /usr/include, so a build-tree folder links to them alone.
find_path(ORVO_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(ORVO_NLOHMANN_INCLUDE ${CMAKE_BINARY_DIR}/third-party-include)
file(MAKE_DIRECTORY ${ORVO_NLOHMANN_INCLUDE})
if(NOT EXISTS ${ORVO_NLOHMANN_INCLUDE}/nlohmann)
  file(CREATE_LINK ${ORVO_NLOHMANN_DIR}/nlohmann ${ORVO_NLOHMANN_INCLUDE}/nlohmann SYMBOLIC)
endif()
add_library(orvo_json INTERFACE)
target_include_directories(orvo_json SYSTEM INTERFACE ${ORVO_NLOHMANN_INCLUDE})

# GoogleTest: Debian's libgtest-dev natively; the cross build compiles Debian's sources.
if(ORVO_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# libnftables (Debian's libnftables-dev): the Linux filtering engine behind the kill switch.
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ORVO_NFTABLES REQUIRED IMPORTED_TARGET libnftables)
endif()

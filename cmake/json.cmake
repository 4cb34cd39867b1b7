# nlohmann-json for the programs that read or write JSON (the emulator's
# topology files, fervmon's JSON lines): one interface target, ferv_json.
if(WIN32)
  # Header-only: the cross build takes the build machine's copy, through a
  # folder that holds it alone (the machine's other headers must stay out).
  find_path(FERV_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(FERV_JSON_ONLY ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${FERV_JSON_ONLY})
  file(CREATE_LINK ${FERV_JSON_INCLUDE}/nlohmann ${FERV_JSON_ONLY}/nlohmann SYMBOLIC)
  add_library(ferv_json INTERFACE)
  target_include_directories(ferv_json SYSTEM INTERFACE ${FERV_JSON_ONLY})
else()
  find_package(nlohmann_json 3 REQUIRED)
  add_library(ferv_json INTERFACE)
  target_link_libraries(ferv_json INTERFACE nlohmann_json::nlohmann_json)
endif()

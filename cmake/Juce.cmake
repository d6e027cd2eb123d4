# Debian ships JUCE as module sources; the four modules the converter uses are compiled here
# as one static library. No message loop or GUI code is built.
set(JUCE_MODULES_DIR /usr/share/juce/modules CACHE PATH "Folder holding the JUCE module sources")
if(NOT EXISTS ${JUCE_MODULES_DIR}/juce_core/juce_core.cpp)
  message(FATAL_ERROR "JUCE module sources not found in ${JUCE_MODULES_DIR} (package juce-modules-source-data)")
endif()

set(VORN_JUCE_MODULES juce_core juce_events juce_data_structures juce_cryptography)
set(juce_sources)
foreach(m IN LISTS VORN_JUCE_MODULES)
  list(APPEND juce_sources ${JUCE_MODULES_DIR}/${m}/${m}.cpp)
endforeach()

add_library(vorn_juce STATIC ${juce_sources})
target_include_directories(vorn_juce SYSTEM PUBLIC ${JUCE_MODULES_DIR})
target_compile_definitions(vorn_juce PUBLIC
  NDEBUG=1
  JUCE_DISABLE_ASSERTIONS=1
  JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
  JUCE_STANDALONE_APPLICATION=1
  JUCE_USE_CURL=0
  JUCE_WEB_BROWSER=0
  JUCE_LOAD_CURL_SYMBOLS_LAZILY=0
  JUCE_MODULE_AVAILABLE_juce_core=1
  JUCE_MODULE_AVAILABLE_juce_events=1
  JUCE_MODULE_AVAILABLE_juce_data_structures=1
  JUCE_MODULE_AVAILABLE_juce_cryptography=1
  JUCE_DONT_DECLARE_PROJECTINFO=1)
target_compile_options(vorn_juce PRIVATE -w)
target_link_libraries(vorn_juce PUBLIC ZLIB::ZLIB Threads::Threads ${CMAKE_DL_LIBS} rt)

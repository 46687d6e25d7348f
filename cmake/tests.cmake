# Test builds: the program on the simulated device, the unit tests and the end-to-end scripts.

if(NOT WIN32)
  # The same program with the simulated device as its audio source.
  file(GLOB sim_sources CONFIGURE_DEPENDS src/platform/sim/*.cpp)
  add_executable(wavtap-sim src/driver/main.cpp ${sim_sources})
  target_link_libraries(wavtap-sim PRIVATE wavtap_core)

  find_package(GTest REQUIRED)
  file(GLOB unit_sources CONFIGURE_DEPENDS tests/unit/*.cpp)
  # The ALSA source's loss detector is plain arithmetic: its unit tests need no ALSA.
  add_executable(wavtap_unit ${unit_sources} ${sim_sources}
    ${CMAKE_SOURCE_DIR}/src/platform/alsa/loss_detector.cpp)
  target_link_libraries(wavtap_unit PRIVATE wavtap_core GTest::gmock GTest::gtest GTest::gtest_main)
  include(GoogleTest)
  gtest_discover_tests(wavtap_unit TEST_PREFIX "unit/" DISCOVERY_TIMEOUT 30
    PROPERTIES LABELS unit)
  # The unit tests that run threads (the wave-input service, events, the control handler's wait)
  # once more as one test, for the ThreadSanitizer pass (ctest -L threaded).
  add_test(NAME unit/threaded COMMAND wavtap_unit --gtest_filter=WaveIn*:Event*:CtrlHandler*)
  set_tests_properties(unit/threaded PROPERTIES LABELS threaded)

  # The ALSA source with its stream's calls made to fail, over ALSA's null PCM.
  add_executable(wavtap_alsa_unit tests/alsa/source_alsa_test.cpp ${alsa_sources})
  target_link_libraries(wavtap_alsa_unit PRIVATE wavtap_core ALSA::ALSA GTest::gtest
    GTest::gtest_main)
  gtest_discover_tests(wavtap_alsa_unit TEST_PREFIX "alsa/" DISCOVERY_TIMEOUT 30
    PROPERTIES LABELS unit)

  # The key prompt on its own, for the terminal end-to-end script.
  add_executable(key_prompt_probe tests/tools/key_prompt_probe.cpp)
  target_link_libraries(key_prompt_probe PRIVATE wavtap_core)

  # Drives the ALSA source directly, for the ALSA end-to-end scripts.
  add_executable(alsa_probe tests/tools/alsa_probe.cpp ${alsa_sources})
  target_link_libraries(alsa_probe PRIVATE wavtap_core ALSA::ALSA)

  # The journal of a file's changes, preloaded for the power-cut script (not under sanitizers,
  # whose runtimes must come first).
  if(NOT WAVTAP_SANITIZE)
    enable_language(C)
    add_library(power_cut_shim MODULE tests/tools/power_cut_shim.c)
    target_link_libraries(power_cut_shim PRIVATE ${CMAKE_DL_LIBS})
  endif()
endif()

# The program that -x runs under Wine: it logs its arguments.
if(WIN32)
  add_executable(log_args tests/tools/log_args.cpp)
  target_link_libraries(log_args PRIVATE shell32)
endif()

# End-to-end scripts run the real binaries. A script named tNNNN-*.sh is one test; its labels
# come from a "# labels: a b" line in the script.
file(GLOB e2e_scripts CONFIGURE_DEPENDS tests/e2e/t[0-9][0-9][0-9][0-9]-*.sh)
# The t07NN-wine-* scripts are the Windows program's: a build cross-compiled for Windows runs
# them under Wine, and only them; a build on Windows itself runs none.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  list(FILTER e2e_scripts INCLUDE REGEX "/t07[0-9][0-9]-wine-[^/]*$")
elseif(WIN32)
  set(e2e_scripts "")
else()
  list(FILTER e2e_scripts EXCLUDE REGEX "/t07[0-9][0-9]-wine-[^/]*$")
endif()
foreach(script ${e2e_scripts})
  get_filename_component(name ${script} NAME_WE)
  file(STRINGS ${script} label_line REGEX "^# labels:")
  string(REGEX REPLACE "^# labels: *" "" labels "${label_line}")
  string(REPLACE " " ";" labels "${labels}")
  add_test(NAME e2e/${name} COMMAND bash ${script})
  set(e2e_env
    "WAVTAP=$<TARGET_FILE:wavtap>"
    "WAVTAP_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    "WAVTAP_BUILD_DIR=${CMAKE_BINARY_DIR}"
    "WAVTAP_SANITIZE=${WAVTAP_SANITIZE}")
  if(TARGET wavtap-sim)
    list(APPEND e2e_env "WAVTAP_SIM_PROGRAM=$<TARGET_FILE:wavtap-sim>")
  endif()
  if(TARGET alsa_probe)
    list(APPEND e2e_env "ALSA_PROBE=$<TARGET_FILE:alsa_probe>")
  endif()
  if(TARGET log_args)
    list(APPEND e2e_env "LOG_ARGS=$<TARGET_FILE:log_args>")
  endif()
  if(TARGET power_cut_shim)
    list(APPEND e2e_env "POWER_CUT_SHIM=$<TARGET_FILE:power_cut_shim>")
  endif()
  set_tests_properties(e2e/${name} PROPERTIES ENVIRONMENT "${e2e_env}"
    LABELS "e2e;${labels}" TIMEOUT 300)
  # Recordings in real time (a sound server, Wine) need the cores to themselves: ctest -j runs
  # nothing beside them.
  if("realtime" IN_LIST labels)
    set_tests_properties(e2e/${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endforeach()

# The Wine prefix the Windows scripts share: made (or reused) before them, its server stopped
# after them.
if(WIN32 AND e2e_scripts)
  set(wine_prefix_script ${CMAKE_SOURCE_DIR}/tests/e2e/wine-prefix.sh)
  add_test(NAME wine/prefix-start
    COMMAND bash ${wine_prefix_script} start ${CMAKE_BINARY_DIR}/wineprefix)
  add_test(NAME wine/prefix-stop
    COMMAND bash ${wine_prefix_script} stop ${CMAKE_BINARY_DIR}/wineprefix)
  set_tests_properties(wine/prefix-start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
  set_tests_properties(wine/prefix-stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
  foreach(script ${e2e_scripts})
    get_filename_component(name ${script} NAME_WE)
    set_tests_properties(e2e/${name} PROPERTIES FIXTURES_REQUIRED wine)
  endforeach()
endif()

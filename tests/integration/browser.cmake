# A real browser against the real service: headless Chromium drives the demo
# page (web/demo) through echo, certificates, PIN, signatures and shared values
# from a local and from a public origin, and scripts/run is tried as a newcomer
# runs it. The driver is tests/integration/browser_test.py (standard library
# only); Chromium, OpenSSL and certutil are Debian packages.
find_program(KESTROVA_CHROMIUM chromium)
# The system python3 first: the test needs nothing beyond its standard library.
find_program(KESTROVA_PYTHON3 python3 HINTS /usr/bin)
if(TARGET ARDEQKestrova AND TARGET GpkiCardAdapter AND TARGET GpkiComponent)
  if(NOT KESTROVA_CHROMIUM OR NOT KESTROVA_PYTHON3)
    message(WARNING "chromium or python3 not found: the browser tests are left out (scripts/install-deps)")
  else()
    foreach(case local public denied runscript)
      add_test(NAME browser.${case}
        COMMAND ${KESTROVA_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/browser_test.py
          --case ${case}
          --bin-dir ${KESTROVA_BIN_DIR}
          --web-dir ${CMAKE_SOURCE_DIR}/web
          --make-token ${CMAKE_SOURCE_DIR}/tools/make-test-token
          --run-script ${CMAKE_SOURCE_DIR}/scripts/run
          --chromium ${KESTROVA_CHROMIUM})
      set_tests_properties(browser.${case} PROPERTIES LABELS browser TIMEOUT 900)
    endforeach()
  endif()
endif()

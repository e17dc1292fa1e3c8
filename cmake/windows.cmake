# Windows side of the tree: the driver DLL, its link library, the Windows
# tests (run under Wine by ctest) and the demo client.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELMARO_ARCH x64)
else()
  set(VELMARO_ARCH x86)
endif()

# The 32-bit build does its floating point in SSE2 registers, as the 64-bit
# one does: with the x87 unit's wider intermediates a value on a rounding
# edge (a guide rate of exactly 0.5 %, a percent of 999.5) would round the
# other way, and the two bitnesses would send different commands.
if(VELMARO_ARCH STREQUAL x86)
  add_compile_options(-msse2 -mfpmath=sse)
endif()

# Only system DLLs at run time: the driver is copied alone onto user machines.
set(VELMARO_STATIC_LINK -static -static-libgcc -static-libstdc++)

# Every Windows executable that ctest starts goes through the project's
# private Wine prefix (see tests/wine/).
set(VELMARO_WINE_DIR ${CMAKE_SOURCE_DIR}/build/wine CACHE PATH "Wine prefix and null modem of the tests")
# Each tree runs its programs with its own bitness's loader and names the
# system's tools by the folder of that bitness: with both loaders installed
# a bare `wine cscript` would start the 32-bit one.
if(VELMARO_ARCH STREQUAL x64)
  set(VELMARO_WINE_LOADER /usr/lib/wine/wine64)
  set(VELMARO_SYSTEM_DIR "C:\\windows\\system32")
else()
  set(VELMARO_WINE_LOADER /usr/lib/wine/wine)
  set(VELMARO_SYSTEM_DIR "C:\\windows\\syswow64")
endif()
configure_file(${CMAKE_SOURCE_DIR}/tests/wine/run-in-wine.in ${CMAKE_BINARY_DIR}/run-in-wine @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/run-in-wine)

# The interface description: header, GUIDs and the type library that the
# DLL carries as resource TYPELIB 1.
set(VELMARO_IDL ${CMAKE_SOURCE_DIR}/server/Velmaro.idl)
set(VELMARO_GENERATED ${CMAKE_BINARY_DIR}/generated)
set(WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "System IDL files")
set(WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Where stdole2.tlb is")
if(VELMARO_ARCH STREQUAL x64)
  set(WIDL_TARGET --win64)
else()
  set(WIDL_TARGET --win32)
endif()
file(MAKE_DIRECTORY ${VELMARO_GENERATED})
add_custom_command(
  OUTPUT ${VELMARO_GENERATED}/VelmaroInterface.h ${VELMARO_GENERATED}/VelmaroInterface_i.c ${VELMARO_GENERATED}/Velmaro.tlb
  COMMAND widl ${WIDL_TARGET} -I${WINE_IDL_DIR} -L${WINE_TLB_DIR} -h -o ${VELMARO_GENERATED}/VelmaroInterface.h ${VELMARO_IDL}
  COMMAND widl ${WIDL_TARGET} -I${WINE_IDL_DIR} -L${WINE_TLB_DIR} -u -o ${VELMARO_GENERATED}/VelmaroInterface_i.c ${VELMARO_IDL}
  COMMAND widl ${WIDL_TARGET} -I${WINE_IDL_DIR} -L${WINE_TLB_DIR} -t -o ${VELMARO_GENERATED}/Velmaro.tlb ${VELMARO_IDL}
  DEPENDS ${VELMARO_IDL}
  COMMENT "Compiling the automation interface")
add_custom_target(velmaro_interface DEPENDS ${VELMARO_GENERATED}/VelmaroInterface.h ${VELMARO_GENERATED}/Velmaro.tlb)

# One library per folder, each building only on those below it:
# link <- driver (the mount core) <- server (the COM side) <- ui (the dialog)
# <- dll (Velmaro.DLL: the entry points and the composition).
add_subdirectory(link)
add_subdirectory(driver)
# The Alpaca server for Windows, VelmaroAlpaca.exe: 64-bit only.
if(VELMARO_ARCH STREQUAL x64)
  # The simulator's platform-free core: the server's simulated mount.
  add_subdirectory(sim)
  add_subdirectory(alpaca)
endif()
# The system headers every Windows source reads, windows.h above all,
# compiled once per tree rather than once per source.
target_precompile_headers(velmaro_link PRIVATE
  <windows.h> <oleauto.h> <cmath> <cstdio> <cstring> <mutex> <string>)
target_link_libraries(velmaro_link PUBLIC advapi32)

# The COM side: CTelescope over the core, IDispatch and type information,
# error objects, the registry profile, registration, the class factory, the
# module's application object. No window code: the dialog comes in from the
# DLL (dll/) through setSetupWindowOpener.
add_library(velmaro_com STATIC
  server/Telescope.cpp
  server/TelescopeConnection.cpp
  server/TelescopePosition.cpp
  server/TelescopeSlewing.cpp
  server/TelescopeTracking.cpp
  server/TelescopeCapabilities.cpp
  server/TelescopeParking.cpp
  server/TelescopeSetup.cpp
  server/DriverCall.cpp
  server/ErrorReport.cpp
  server/TypeInfoHolder.cpp
  server/Profile.cpp
  server/ProfileSettings.cpp
  server/TemplateApp.cpp
  server/ClassFactory.cpp
  server/ServerModule.cpp
  server/Registration.cpp
  ${VELMARO_GENERATED}/VelmaroInterface_i.c)
add_dependencies(velmaro_com velmaro_interface)
target_precompile_headers(velmaro_com REUSE_FROM velmaro_link)
set_source_files_properties(${VELMARO_GENERATED}/VelmaroInterface_i.c PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
target_include_directories(velmaro_com PUBLIC ${VELMARO_GENERATED} ${CMAKE_SOURCE_DIR}/server)
target_link_libraries(velmaro_com PUBLIC velmaro_core ole32 oleaut32 uuid advapi32 user32)

# The setup dialog and its controls, over the identifiers of its resources
# (resources/: the template and the picture, which the DLL carries).
add_library(velmaro_ui STATIC
  ui/SetupDialog.cpp
  ui/DlgSettings.cpp
  ui/Dialog.cpp
  ui/XPButton.cpp)
target_precompile_headers(velmaro_ui REUSE_FROM velmaro_link)
target_include_directories(velmaro_ui PUBLIC ${CMAKE_SOURCE_DIR}/ui ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(velmaro_ui PUBLIC velmaro_com user32 gdi32 comctl32)

# The DLL itself: its entry points, and where the COM side and the dialog
# meet. It builds on both; neither of them knows it.
add_subdirectory(dll)

add_executable(velmaro-linkdemo demo/link_demo.cpp)
target_link_libraries(velmaro-linkdemo PRIVATE velmaro_core ${VELMARO_STATIC_LINK})

include(GoogleTest)

# A Windows test program, run under Wine by this tree's own loader. Each
# test needs a harness lane of its own (prefix, null modem, simulator link,
# display): scripts/check gives ctest one resource "lanes" slot per lane,
# and ctest runs as many tests at once as there are lanes. A plain `ctest`
# without that resource file runs them one by one in lane 1; do not give it
# -j then, as the tests would share one null modem.
function(velmaro_wine_test target)
  # Sources, then optionally PROPERTIES for every test the program holds.
  cmake_parse_arguments(PARSE_ARGV 1 WINE_TEST "" "" "PROPERTIES")
  add_executable(${target} ${WINE_TEST_UNPARSED_ARGUMENTS})
  target_link_libraries(${target} PRIVATE velmaro_link velmaro_test_support gtest_main ${VELMARO_STATIC_LINK})
  target_precompile_headers(${target} REUSE_FROM velmaro_test_support)
  gtest_discover_tests(${target} TEST_PREFIX ${VELMARO_ARCH}/ DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES RESOURCE_GROUPS lanes:1 ${WINE_TEST_PROPERTIES})
endfunction()

add_subdirectory(tests/unit)
add_subdirectory(tests/com)

# The DLL's exports and version record, read from the file itself.
add_test(NAME ${VELMARO_ARCH}/dll_exports_and_version
         COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/check-dll-file $<TARGET_FILE:Velmaro> ${VELMARO_ARCH})

# What every script test needs: where the tools, the simulator and the DLLs are.
set(VELMARO_SCRIPT_ENVIRONMENT
  "VELMARO_WINE_DIR=${VELMARO_WINE_DIR}"
  "VELMARO_RUN_IN_WINE=${CMAKE_BINARY_DIR}/run-in-wine"
  "VELMARO_SYSTEM_DIR=${VELMARO_SYSTEM_DIR}"
  "VELMARO_SIMULATOR=${VELMARO_DIST_DIR}/linux/velmaro-mountsim"
  "VELMARO_DLL=${VELMARO_DIST_DIR}/${VELMARO_ARCH}/Velmaro.DLL"
  "VELMARO_DIST_DIR=${VELMARO_DIST_DIR}")

# The Windows server under the server's tests over HTTP (the Linux tree's
# programs, which start it through Wine in the test's lane): the protocol,
# every member, sharing one mount, its life from start to stop and device
# loss, the HTTP limits, two mounts at once, and a link that goes and comes
# back; and its Winsock discovery and config files on their own.
if(VELMARO_ARCH STREQUAL x64)
  add_executable(alpaca_discovery_wine_test ${CMAKE_SOURCE_DIR}/tests/alpaca/discovery_wine_test.cpp)
  target_link_libraries(alpaca_discovery_wine_test PRIVATE velmaro_alpaca ${VELMARO_STATIC_LINK})
  add_test(NAME x64/alpaca_discovery_winsock COMMAND alpaca_discovery_wine_test)
  set_tests_properties(x64/alpaca_discovery_winsock PROPERTIES RESOURCE_GROUPS lanes:1)
  # The server library's own flags: the test support's header cache is not
  # made for them.
  add_executable(alpaca_config_files_tests ${CMAKE_SOURCE_DIR}/tests/alpaca/config_files_wine_tests.cpp)
  target_link_libraries(alpaca_config_files_tests PRIVATE velmaro_alpaca velmaro_test_support gtest_main ${VELMARO_STATIC_LINK})
  gtest_discover_tests(alpaca_config_files_tests TEST_PREFIX x64/ DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES RESOURCE_GROUPS lanes:1)
  foreach(suite protocol members motion sharing lifecycle http_limits mounts simulate link)
    add_test(NAME x64/windows_server_${suite}
             COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/windows-server-tests.sh
                     ${CMAKE_SOURCE_DIR}/build/linux/tests/alpaca/alpaca_${suite}_tests)
    set_tests_properties(x64/windows_server_${suite} PROPERTIES
      RESOURCE_GROUPS lanes:1
      ENVIRONMENT "${VELMARO_SCRIPT_ENVIRONMENT}")
  endforeach()
  # Under Wine, the park and the abort mid-park for each model: the other
  # motion sequences run the same server code natively, and each holds a
  # lane for many seconds.
  set_property(TEST x64/windows_server_motion APPEND PROPERTY ENVIRONMENT
               "GTEST_FILTER=*ParkIsSlewing*:*AbortDuringThePark*")
  # The COM port's device gone mid-park and back, another model on the
  # return, and a silent mount (the others run the same code natively, and
  # the descriptor count is Linux's /proc).
  set_property(TEST x64/windows_server_link APPEND PROPERTY ENVIRONMENT
               "GTEST_FILTER=*midparkamodelthatisasked*:LinkOutage.AnotherModel*:LinkOutage.ASilentMount*")
endif()

# Scripts against the simulated mount, through this bitness's cscript and
# DLL: the built simulator is the native tree's, next to the DLLs in dist/.
foreach(model 1 2 3)
  add_test(NAME ${VELMARO_ARCH}/e2e_vbscript_session_model_${model}
           COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/session_test.sh ${model})
  set_tests_properties(${VELMARO_ARCH}/e2e_vbscript_session_model_${model} PROPERTIES
    RESOURCE_GROUPS lanes:1
    ENVIRONMENT "${VELMARO_SCRIPT_ENVIRONMENT}")
endforeach()

# Both DLLs registered side by side in one prefix, as on 64-bit Windows:
# run from the x86 tree, which is built with the x64 one beside it.
if(VELMARO_ARCH STREQUAL x86)
  add_test(NAME ${VELMARO_ARCH}/side_by_side_registration COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/side_by_side_test.sh)
  set_tests_properties(${VELMARO_ARCH}/side_by_side_registration PROPERTIES
    RESOURCE_GROUPS lanes:1
    ENVIRONMENT "${VELMARO_SCRIPT_ENVIRONMENT}")
endif()

# The Windows installer in fresh prefixes of its own (never the harness's,
# and COM3 there is its own simulator's): install, sessions in both
# bitnesses, reinstall and upgrade, uninstall, failed installs. Run from the
# x64 tree; it needs dist/Velmaro-<version>-Setup.exe from make build.
if(VELMARO_ARCH STREQUAL x64)
  add_test(NAME ${VELMARO_ARCH}/installer COMMAND ${CMAKE_SOURCE_DIR}/tests/installer/installer_test.sh)
  # The longest test, and it needs no lane: started first.
  set_tests_properties(${VELMARO_ARCH}/installer PROPERTIES
    COST 1000
    TIMEOUT 600
    SKIP_RETURN_CODE 77
    ENVIRONMENT "${VELMARO_SCRIPT_ENVIRONMENT};VELMARO_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endif()

# The benchmark program of `make bench` (not a test).
add_subdirectory(bench)

# Creating or connecting a driver object makes no window and no GDI object:
# the code that runs then (the driver's and the link's) calls nothing that
# makes one and names no class of the windows. The second test holds the
# check against the whole library, windows included, where it must name
# the dialog's brush and the dialog itself.
add_test(NAME ${VELMARO_ARCH}/driver_makes_no_windows
         COMMAND ${CMAKE_SOURCE_DIR}/tests/structure/check-no-windows ${CMAKE_NM}
                 $<TARGET_FILE:velmaro_core> $<TARGET_FILE:velmaro_com> $<TARGET_FILE:velmaro_link>)
# Every member opens its DriverCall and returns through it, so the trace
# sees its status. The control case holds a member without its call, one
# with a plain return and one defined nowhere: the check must name all three.
file(GLOB VELMARO_MEMBER_SOURCES ${CMAKE_SOURCE_DIR}/server/Telescope*.cpp)
add_test(NAME ${VELMARO_ARCH}/members_return_through_their_call
         COMMAND ${CMAKE_SOURCE_DIR}/tests/structure/check-member-results ${CMAKE_SOURCE_DIR}/server/Telescope.h
                 ${VELMARO_MEMBER_SOURCES})
add_test(NAME ${VELMARO_ARCH}/members_return_through_their_call_check_sees_the_control
         COMMAND ${CMAKE_SOURCE_DIR}/tests/structure/check-member-results
                 ${CMAKE_SOURCE_DIR}/tests/structure/control/Members.h
                 ${CMAKE_SOURCE_DIR}/tests/structure/control/Members.cpp)
set_tests_properties(${VELMARO_ARCH}/members_return_through_their_call_check_sees_the_control PROPERTIES
  PASS_REGULAR_EXPRESSION "Members.cpp:10:    return returnValue[^\n]*\n[^\n]*get_Untraced has no DriverCall call;\n[^\n]*Members.cpp:17:        return E_POINTER;\nget_Missing is defined in none of the files")
add_test(NAME ${VELMARO_ARCH}/driver_makes_no_windows_check_sees_the_dialog
         COMMAND ${CMAKE_SOURCE_DIR}/tests/structure/check-no-windows ${CMAKE_NM} $<TARGET_FILE:velmaro_ui>)
set_tests_properties(${VELMARO_ARCH}/driver_makes_no_windows_check_sees_the_dialog PROPERTIES
  PASS_REGULAR_EXPRESSION "calls: [^\n]*__imp__?CreateSolidBrush[^\n]*\n[^\n]*uses: [^\n]*CDlgSettings::CDlgSettings")

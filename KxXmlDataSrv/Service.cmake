# Message threads: the workers of the job engine.
add_library(KxMessageThread STATIC MessageThread.cpp)
target_include_directories(KxMessageThread PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KxMessageThread PUBLIC KxPlatform KxWinTypes)
kx_add_test(MessageThreadTest SOURCES tests/MessageThreadTest.cpp LIBS KxMessageThread)

# The event reporter of the process.
add_library(KxServiceModule STATIC KxServiceModule.cpp)
target_include_directories(KxServiceModule PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KxServiceModule PUBLIC KxString KxWinTypes)
kx_add_test(KxServiceModuleTest SOURCES tests/KxServiceModuleTest.cpp LIBS KxServiceModule)

# The service object, the request dispatch and the job engine.
add_library(KxXmlService STATIC KxXmlDataSrv.cpp KxXmlDataSrvObj.cpp XmlDataServerList.cpp XmlJobPayload.cpp XmlBasePaths.cpp
                               XmlAppServer.cpp XmlAppServerList.cpp)
target_include_directories(KxXmlService PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KxXmlService PUBLIC KxXmlCore KxMessageThread KxTracer KxReg KxOsRegistry KxServiceModule
                                          KxSystem KxPlatform KxHop KxWinTypes)

# The service program.
add_executable(KxXmlDataSrv KxXmlDataSrvMain.cpp)
target_link_libraries(KxXmlDataSrv PRIVATE KxXmlService)
kx_add_test(XmlJobPayloadTest SOURCES tests/XmlJobPayloadTest.cpp LIBS KxXmlService)

# The program seen from outside: started with a temporary registry and driven over the router's TCP link.
kx_add_test(ServiceBlackBoxTest SOURCES tests/ServiceBlackBoxTest.cpp LIBS KxHop pugixml::pugixml KxTestTemp)
if(TARGET ServiceBlackBoxTest)
    add_dependencies(ServiceBlackBoxTest KxXmlDataSrv)
    target_compile_definitions(ServiceBlackBoxTest PRIVATE KX_SERVICE_EXE="$<TARGET_FILE:KxXmlDataSrv>")
endif()

# Application servers and the in-process methods against the simulated PLC behind an in-process router.
kx_add_test(XmlAppServerTest SOURCES tests/XmlAppServerListTest.cpp tests/XmlAppServerServiceTest.cpp
            tests/XmlAppServerLinkTest.cpp tests/InProcessMethodsTest.cpp
            LIBS KxXmlService KxSystem KxRouterFrame pugixml::pugixml)
if(TARGET XmlAppServerTest)
    # The router tests' scripted receiver stands in for a device.
    target_include_directories(XmlAppServerTest PRIVATE ${PROJECT_SOURCE_DIR}/KxSystem/tests)
endif()
# The job engine in process, with allocation failures injected (its own program: it replaces operator new).
kx_add_test(XmlDataServerListTest SOURCES tests/XmlDataServerListTest.cpp LIBS KxXmlService KxSystem pugixml::pugixml)

# Encrypted files, backup copies and crash safety, seen through the service program and in process.
kx_add_test(CryptEndToEndTest SOURCES tests/CryptEndToEndTest.cpp LIBS KxXmlCore KxSystem KxTestTemp)
if(TARGET CryptEndToEndTest)
    add_dependencies(CryptEndToEndTest KxXmlDataSrv)
    target_compile_definitions(CryptEndToEndTest PRIVATE KX_XMLSRV_EXE="$<TARGET_FILE:KxXmlDataSrv>")
endif()

# Fuzz target of the job payload decoder (clang only): cmake -DCMAKE_CXX_COMPILER=clang++ -DKX_FUZZ=ON, see
# scripts/fuzz-jobs.sh. The decoder is compiled again with coverage instrumentation for it.
if(KX_FUZZ)
    add_library(KxJobPayloadFuzz STATIC XmlJobPayload.cpp)
    target_include_directories(KxJobPayloadFuzz PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(KxJobPayloadFuzz PUBLIC KxMessageThread KxCommon KxSystem KxHop KxWinTypes)
    target_compile_options(KxJobPayloadFuzz PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
    add_executable(JobPayloadFuzz fuzz/JobPayloadFuzz.cpp)
    target_link_libraries(JobPayloadFuzz PRIVATE KxJobPayloadFuzz)
    target_compile_options(JobPayloadFuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(JobPayloadFuzz PRIVATE -fsanitize=fuzzer,address,undefined)
endif()
kx_add_test(XmlBackupTest SOURCES tests/XmlBackupTest.cpp LIBS KxXmlCore KxSystem KxTestTemp)
kx_add_test(XmlBackupServiceTest SOURCES tests/XmlBackupServiceTest.cpp LIBS KxSystem pugixml::pugixml KxTestTemp)
if(TARGET XmlBackupServiceTest)
    add_dependencies(XmlBackupServiceTest KxXmlDataSrv)
    target_compile_definitions(XmlBackupServiceTest PRIVATE KX_XMLSRV_EXE="$<TARGET_FILE:KxXmlDataSrv>")
endif()
kx_add_test(CrashSafetyTest SOURCES tests/CrashSafetyTest.cpp LIBS KxXmlCore KxSystem KxTestTemp)
if(TARGET CrashSafetyTest)
    add_dependencies(CrashSafetyTest KxXmlDataSrv)
    target_compile_definitions(CrashSafetyTest PRIVATE KX_XMLSRV_EXE="$<TARGET_FILE:KxXmlDataSrv>")
endif()

# The device state at each lifecycle step, read through an in-process router.
kx_add_test(ServiceBlackBoxStateTest SOURCES tests/ServiceBlackBoxStateTest.cpp LIBS KxXmlService KxTestTemp)

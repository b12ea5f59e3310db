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

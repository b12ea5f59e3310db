# KxXmlCore: the data server with its symbol model, serialisation and file operations.
add_library(KxXmlCore STATIC
    ${CMAKE_CURRENT_LIST_DIR}/FexSymbolInfo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/XmlDataServerSymbols.cpp
    ${CMAKE_CURRENT_LIST_DIR}/XmlDataServerTypes.cpp
)
target_include_directories(KxXmlCore PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(KxXmlCore PUBLIC pugixml::pugixml KxCommon KxSystem KxHop KxWinTypes)

kx_add_test(XmlSymbolInfoTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlSymbolInfoTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/FakeFexSync.cpp
    LIBS KxXmlCore)
kx_add_test(XmlTypeInfoTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlTypeInfoTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/FakeFexSync.cpp
    LIBS KxXmlCore)

# Value texts, code pages, array index attributes and the process-wide settings.
target_sources(KxXmlCore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/XmlValueConv.cpp ${CMAKE_CURRENT_LIST_DIR}/XmlArrayIndex.cpp ${CMAKE_CURRENT_LIST_DIR}/XmlDataServerSettings.cpp)
kx_add_test(XmlValueConvTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlValueConvTest.cpp LIBS KxXmlCore)
kx_add_test(XmlArrayIndexTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlArrayIndexTest.cpp LIBS KxXmlCore)

# The value walk between memory images and XML (both directions).
target_sources(KxXmlCore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/XmlSerialize.cpp ${CMAKE_CURRENT_LIST_DIR}/XmlDeserialize.cpp)
kx_add_test(XmlSerializeTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlSerializeTest.cpp ${CMAKE_CURRENT_LIST_DIR}/tests/XmlSerializeOddRecordsTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/XmlSerializeSimTest.cpp ${CMAKE_CURRENT_LIST_DIR}/tests/FakeFexSync.cpp
    LIBS KxXmlCore KxSystem)
kx_add_test(XmlDeserializeTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlDeserializeTest.cpp ${CMAKE_CURRENT_LIST_DIR}/tests/FakeFexSync.cpp
    LIBS KxXmlCore)

# File operations: open, select, transfer, save and close, with backup copies.
target_sources(KxXmlCore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/XmlDataServer.cpp ${CMAKE_CURRENT_LIST_DIR}/XmlDataServerFile.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/XmlDataServerBackup.cpp ${CMAKE_CURRENT_LIST_DIR}/KxCrypto.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/XmlPlainText.cpp)
target_link_libraries(KxXmlCore PUBLIC KxTracer KxPlatform KxOsRegistry)
kx_add_test(XmlSymbolPlcTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlSymbolPlcTest.cpp
    LIBS KxXmlCore KxSystem)
kx_add_test(XmlCryptTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlCryptTest.cpp LIBS KxXmlCore KxTestTemp)

# Fuzz target of the record decoders (clang only): cmake -DCMAKE_CXX_COMPILER=clang++ -DKX_FUZZ=ON.
if(KX_FUZZ)
    add_executable(FexRecordFuzz ${CMAKE_CURRENT_LIST_DIR}/fuzz/FexRecordFuzz.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/FexSymbolInfo.cpp)
    target_include_directories(FexRecordFuzz PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_compile_options(FexRecordFuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(FexRecordFuzz PRIVATE -fsanitize=fuzzer,address,undefined)

    # The plain-text check of data files: what it accepts is one root element.
    add_executable(PlainTextFuzz ${CMAKE_CURRENT_LIST_DIR}/fuzz/PlainTextFuzz.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/XmlPlainText.cpp)
    target_include_directories(PlainTextFuzz PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(PlainTextFuzz PRIVATE pugixml::pugixml KxWinTypes)
    target_compile_options(PlainTextFuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(PlainTextFuzz PRIVATE -fsanitize=fuzzer,address,undefined)

    # Whole documents restored into the sample machine; the data server is instrumented for coverage.
    target_compile_options(KxXmlCore PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
    add_executable(RestoreXmlFuzz ${CMAKE_CURRENT_LIST_DIR}/fuzz/RestoreXmlFuzz.cpp)
    target_include_directories(RestoreXmlFuzz PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)
    target_compile_definitions(RestoreXmlFuzz PRIVATE KX_FUZZ_PLC_FILE="${KX_TEST_DATA_DIR}/plc/sample-machine.xml")
    target_link_libraries(RestoreXmlFuzz PRIVATE KxXmlCore KxSystem)
    target_compile_options(RestoreXmlFuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(RestoreXmlFuzz PRIVATE -fsanitize=fuzzer,address,undefined)
endif()

# Data server against the simulated PLC behind the in-process router: golden files, reading cases, transfers.
kx_add_test(XmlGoldenDataServerTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlGoldenDataServerTest.cpp LIBS KxXmlCore KxSystem)
kx_add_test(XmlDataServerPlcTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/XmlDataServerPlcTest.cpp LIBS KxXmlCore KxSystem)

// Interfaces and entry points of the router library (libKxSystem.so).
// Every interface starts with QueryInterface, AddRef and Release; the operations below follow in slot order.
#pragma once

#include "Hop.h"
#include "KxBstr.h"
#include "platform/FreeBSD/KxWinTypes.h"

#if defined(__GNUC__)
#define KXSYSTEM_API extern "C" __attribute__((visibility("default")))
#else
#define KXSYSTEM_API extern "C"
#endif

// Protocol error numbers answered by the router itself (as an HRESULT: FEX_HRESULT(number)).
#define FEXERR_NOPORT 0x0101u       // no port is registered at the target address
#define FEXERR_TIMEOUT 0x0102u      // no answer within the client's time-out
#define FEXERR_GONE 0x0103u         // the participant serving the target went away
#define FEXERR_MALFORMED 0x0104u    // a frame that could not be parsed
#define FEXERR_ADDRTAKEN 0x0105u    // the address is already registered
#define FEXERR_NOANSWER 0x0700u     // a receiver failed without answering

// Protocol error numbers of a PLC device used across the project.
#define FEXERR_SRVNOTSUPP 0x0701u
#define FEXERR_INVALIDGRP 0x0702u
#define FEXERR_INVALIDOFFSET 0x0703u
#define FEXERR_INVALIDSIZE 0x0705u
#define FEXERR_NOTREADY 0x0707u
#define FEXERR_NOMEMORY 0x070Au
#define FEXERR_NOTFOUND 0x070Cu
#define FEXERR_SYMBOLNOTFOUND 0x0710u

#pragma pack(push, 1)
// Version triple of ReadDeviceInfo: version, revision, build.
struct FexVersion {
    uint8_t version;
    uint8_t revision;
    uint16_t build;
};

// The 16 bytes of attributes of a device notification request.
struct FexNotificationAttrib {
    uint32_t cbLength;
    uint32_t nTransMode;
    uint32_t nMaxDelay;
    uint32_t nCycleTime;
};

// A device notification: length, then that many bytes.
struct FexNotificationStream {
    uint32_t cbLength;
    uint8_t data[1];
};
#pragma pack(pop)

static_assert(sizeof(FexVersion) == 4, "FexVersion is four bytes");
static_assert(sizeof(FexNotificationAttrib) == 16, "notification attributes are 16 bytes");

// Receiving side of a port: the router calls these on its own threads for every request to the port.
// A receiver answers through the port's response functions; a negative result without an answer makes
// the router answer the requester itself.
struct IKxFexAsync : IUnknown {
    virtual HRESULT Write(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbLength,
                          PVOID pData) = 0;
    virtual HRESULT Read(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbLength) = 0;
    virtual HRESULT ReadWrite(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset,
                              ULONG cbReadLength, ULONG cbWriteLength, PVOID pData) = 0;
    virtual HRESULT WriteControl(HopAddr* pAddr, ULONG invokeId, USHORT nState, USHORT nDevState, ULONG cbLength,
                                 PVOID pData) = 0;
    virtual HRESULT ReadState(HopAddr* pAddr, ULONG invokeId) = 0;
    virtual HRESULT ReadDeviceInfo(HopAddr* pAddr, ULONG invokeId) = 0;
    virtual HRESULT AddDeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset,
                                          FexNotificationAttrib* pAttrib) = 0;
    virtual HRESULT DelDeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG hNotification) = 0;
    virtual HRESULT DeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG cbLength,
                                       FexNotificationStream* pStream) = 0;
};

// A connected server port. Response functions route the answer back to the requester and copy their data
// before returning. nError is the 16-bit protocol error number, 0 for success.
struct IKxFexPort : IUnknown {
    virtual HRESULT WriteRes(HopAddr* pAddr, ULONG invokeId, ULONG nError) = 0;
    virtual HRESULT ReadRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, ULONG cbLength, PVOID pData) = 0;
    virtual HRESULT ReadWriteRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, ULONG cbLength, PVOID pData) = 0;
    virtual HRESULT WriteControlRes(HopAddr* pAddr, ULONG invokeId, ULONG nError) = 0;
    virtual HRESULT ReadStateRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, USHORT nState, USHORT nDevState,
                                 FexNotificationAttrib* pReserved) = 0;
    virtual HRESULT ReadDeviceInfoRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, BSTR sName,
                                      FexVersion version) = 0;
    // The address this port serves.
    virtual HRESULT GetAddress(HopAddr* pAddr) = 0;
    // Answer to AddDeviceNotification carrying the new notification handle.
    virtual HRESULT AddDeviceNotificationRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, ULONG hNotification) = 0;
    // Answer to DelDeviceNotification. (A DeviceNotification needs none: the router confirms its delivery.)
    virtual HRESULT DelDeviceNotificationRes(HopAddr* pAddr, ULONG invokeId, ULONG nError) = 0;
};

// The server object of CreateFexServer.
struct IKxFexServer : IUnknown {
    // Registers port nPort of the local net id; requests for it go to pRecv. v1 and v2 are variants of type 10.
    // FEX_HRESULT(FEXERR_ADDRTAKEN) when the port is taken.
    virtual HRESULT ConnectPort(USHORT nPort, ULONG nFlags, IKxFexAsync* pRecv, IKxFexPort** ppPort, VARIANT v1,
                                VARIANT v2) = 0;
};

// Second interface of the server object.
struct IKxFexServer2 : IUnknown {
    virtual HRESULT GetServerFlags(ULONG* pFlags) = 0;
    virtual HRESULT GetPortCount(ULONG* pCount) = 0;
    // Called once with 0 right after creation; flag bits are reserved, 0 keeps the defaults.
    virtual HRESULT SetServerFlags(ULONG nFlags) = 0;
};

// Synchronous requests to one target. Safe for concurrent callers; outlives the client object it came from.
// A protocol error in the answer is returned as FEX_HRESULT(number).
struct IKxFexSync : IUnknown {
    virtual HRESULT SyncWrite(ULONG indexGroup, ULONG indexOffset, ULONG cbLength, PVOID pData) = 0;
    virtual HRESULT SyncWriteControl(USHORT nState, USHORT nDevState, ULONG cbLength, PVOID pData) = 0;
    // *pcbRead: bytes placed in pData (at most cbLength).
    virtual HRESULT SyncRead(ULONG indexGroup, ULONG indexOffset, ULONG cbLength, PVOID pData, ULONG* pcbRead) = 0;
    virtual HRESULT SyncReadWrite(ULONG indexGroup, ULONG indexOffset, ULONG cbReadLength, PVOID pReadData,
                                  ULONG cbWriteLength, PVOID pWriteData, ULONG* pcbRead) = 0;
    virtual HRESULT SyncReadState(USHORT* pnState, USHORT* pnDevState) = 0;
    // sName: a buffer of cbName bytes that receives the NUL-terminated (and if need be cut) device name.
    virtual HRESULT SyncReadDeviceInfo(char* sName, ULONG cbName, FexVersion* pVersion) = 0;
    // Time-out of every later request, in milliseconds (default 5000).
    virtual HRESULT SetTimeout(ULONG nMilliseconds) = 0;
    virtual HRESULT GetTimeout(ULONG* pnMilliseconds) = 0;
};

// The client object of CreateFexClient.
struct IKxFexClient : IUnknown {
    // A synchronous interface bound to pTarget; nPort replaces the target's port when not 0.
    // v1 and v2 are zeroed variants.
    virtual HRESULT Connect(HopAddr* pTarget, USHORT nPort, ULONG nFlags, IKxFexSync** ppSync, ULONG nReserved,
                            VARIANT v1, VARIANT v2) = 0;
};

// Helper interface asked of a client object.
struct IKxFexHelper : IUnknown {
    // Time-out given to the IKxFexSync interfaces that Connect creates later, in milliseconds.
    virtual HRESULT SetDefaultTimeout(ULONG nMilliseconds) = 0;
    virtual HRESULT GetDefaultTimeout(ULONG* pnMilliseconds) = 0;
    virtual HRESULT GetLocalNetId(HopNetId* pNetId) = 0;
};

// The control queue through which the system service drives a service process.
struct IKxServerMessageQueue : IUnknown {
    virtual HRESULT Open(BSTR sProgramPath) = 0;
    // Blocks until the next control message; fails when the queue ends or the wait is interrupted.
    virtual HRESULT GetMessage(ULONG* pnMessage) = 0;
    // The result of the last message.
    virtual HRESULT Reply(HRESULT hrResult) = 0;
    virtual HRESULT SetParameter(BSTR sName, BSTR sValue) = 0;
};

struct IKxServerMessageQueueFactory : IUnknown {
    virtual HRESULT CreateQueue(ULONG bUserMode, IKxServerMessageQueue** ppQueue) = 0;
};

// d9bfa610-6da2-11d2-9e88-00e01890498a
static const IID IID_IKxServer = {0xd9bfa610, 0x6da2, 0x11d2, {0x9e, 0x88, 0x00, 0xe0, 0x18, 0x90, 0x49, 0x8a}};
// 0a1c64c0-a7cb-11d2-9f2f-00e01890498a
static const IID IID_IKxFexAsync = {0x0a1c64c0, 0xa7cb, 0x11d2, {0x9f, 0x2f, 0x00, 0xe0, 0x18, 0x90, 0x49, 0x8a}};
// e772953b-f0dc-46c1-8077-79ae6b76d86b
static const IID IID_IKxFexServer2 = {0xe772953b, 0xf0dc, 0x46c1, {0x80, 0x77, 0x79, 0xae, 0x6b, 0x76, 0xd8, 0x6b}};
// d9bfa614-6da2-11d2-9e88-00e01890498a
static const IID IID_IKxFexHelper = {0xd9bfa614, 0x6da2, 0x11d2, {0x9e, 0x88, 0x00, 0xe0, 0x18, 0x90, 0x49, 0x8a}};
// d70f8b95-0007-4ca8-b058-e4ca3ad264ee
static const CLSID CLSID_KxServerMessageQueueFactory = {
    0xd70f8b95, 0x0007, 0x4ca8, {0xb0, 0x58, 0xe4, 0xca, 0x3a, 0xd2, 0x64, 0xee}};
// 4d21ade0-413d-4e3b-b374-af6485fd8e34
static const IID IID_IKxServerMessageQueueFactory = {
    0x4d21ade0, 0x413d, 0x4e3b, {0xb3, 0x74, 0xaf, 0x64, 0x85, 0xfd, 0x8e, 0x34}};
// Identifiers of the stand-in's own interfaces.
// 6b0f3c10-2e51-4a7b-9a11-5c1e0f7a3b01
static const IID IID_IKxFexServer = {0x6b0f3c10, 0x2e51, 0x4a7b, {0x9a, 0x11, 0x5c, 0x1e, 0x0f, 0x7a, 0x3b, 0x01}};
// 6b0f3c10-2e51-4a7b-9a11-5c1e0f7a3b02
static const IID IID_IKxFexPort = {0x6b0f3c10, 0x2e51, 0x4a7b, {0x9a, 0x11, 0x5c, 0x1e, 0x0f, 0x7a, 0x3b, 0x02}};
// 6b0f3c10-2e51-4a7b-9a11-5c1e0f7a3b03
static const IID IID_IKxFexClient = {0x6b0f3c10, 0x2e51, 0x4a7b, {0x9a, 0x11, 0x5c, 0x1e, 0x0f, 0x7a, 0x3b, 0x03}};
// 6b0f3c10-2e51-4a7b-9a11-5c1e0f7a3b04
static const IID IID_IKxFexSync = {0x6b0f3c10, 0x2e51, 0x4a7b, {0x9a, 0x11, 0x5c, 0x1e, 0x0f, 0x7a, 0x3b, 0x04}};
// 6b0f3c10-2e51-4a7b-9a11-5c1e0f7a3b05
static const IID IID_IKxServerMessageQueue = {
    0x6b0f3c10, 0x2e51, 0x4a7b, {0x9a, 0x11, 0x5c, 0x1e, 0x0f, 0x7a, 0x3b, 0x05}};

// Once before each CreateFexServer; starts the process's router (or joins the one named by KX_ROUTER).
KXSYSTEM_API HRESULT FexInitialize();
KXSYSTEM_API HRESULT CreateFexServer(IKxFexServer** ppServer);
KXSYSTEM_API HRESULT CreateFexClient(IKxFexClient** ppClient);
KXSYSTEM_API HRESULT CreateKxSystemObject(REFCLSID clsid, REFIID iid, void** ppv);

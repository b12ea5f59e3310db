// Control of the process's router for tests, tools and the simulated PLC.
// The router is one per process; FexInitialize starts it from the environment, these functions start it
// with explicit settings and stop it again so that each test can have a fresh one.
#pragma once

#include "KxFex.h"

// How KxRouterStart runs the router.
// like FexInitialize: join KX_ROUTER when set, else host with KX_ROUTER_PORT and start the PLC of KX_PLC
#define KX_ROUTER_MODE_ENV 0u
#define KX_ROUTER_MODE_HOST 1u         // host the router in this process
#define KX_ROUTER_MODE_PARTICIPANT 2u  // join the router at routerHost:routerPort

// Settings of KxRouterStart; fill with KxRouterConfigInit first.
struct KxRouterConfig {
    uint32_t mode;              // one of KX_ROUTER_MODE_*; default KX_ROUTER_MODE_HOST
    uint32_t listen;            // host: 1 = accept participants on 127.0.0.1; default 0
    uint16_t listenPort;        // host: TCP port of the listener, 0 = any free port (see KxRouterListenPort); default 0
    uint16_t routerPort;        // participant: TCP port of the router to join; default 10650
    const char* routerHost;     // participant: IPv4 address or host name of the router; null = 127.0.0.1
    HopNetId netId;             // host: the local net id; all zero = registry value "HopNetId", else 127.0.0.1.1.1
    uint32_t forwardTimeoutMs;  // host: a request from a participant left unanswered this long gets 0x0102; 0 = 30000
    uint32_t startPlc;          // 1 = start the simulated PLC named by KX_PLC after the router is up; default 0
};

// Fills *pConfig with the defaults above.
KXSYSTEM_API void KxRouterConfigInit(KxRouterConfig* pConfig);

// Starts the router with *pConfig (null = KX_ROUTER_MODE_ENV). S_OK when started; 0x800700B7 when one runs
// already; FEX_HRESULT(FEXERR_GONE) when the router to join cannot be reached or refuses the Hello; E_FAIL with
// one line on standard error when the listener cannot be opened.
KXSYSTEM_API HRESULT KxRouterStart(const KxRouterConfig* pConfig);

// Stops the router: outstanding requests are answered with FEXERR_GONE, every port is unregistered, connections
// are closed and the router's threads are joined. Objects still held afterwards fail their calls with
// FEX_HRESULT(FEXERR_GONE).
// A no-op when no router runs.
KXSYSTEM_API void KxRouterStop();

// 1 when a router runs in this process (hosting or participating), else 0.
KXSYSTEM_API int KxRouterIsRunning();

// 1 when the running router is a participant of another router, else 0.
KXSYSTEM_API int KxRouterIsParticipant();

// The TCP port the hosting router listens on; 0 when there is no listener or no router.
KXSYSTEM_API uint16_t KxRouterListenPort();

// The local net id of the running router (a participant: the net id of the router it joined).
// FEX_HRESULT(FEXERR_GONE) when no router runs.
KXSYSTEM_API HRESULT KxRouterGetLocalNetId(HopNetId* pNetId);

// A participant's own address as answered to its Hello. FEX_HRESULT(FEXERR_GONE) when not a running participant.
KXSYSTEM_API HRESULT KxRouterGetParticipantAddress(HopAddr* pAddr);

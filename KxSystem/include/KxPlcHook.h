// Start-up hook between the router and the simulated PLC built into the same library.
// The router calls these when it starts and stops; the simulator provides them. They are weak so that the
// router also links when the simulator is left out.
#pragma once

#include "platform/FreeBSD/KxWinTypes.h"

// Starts the simulated PLC described by the file named in KX_PLC, registering its port with the running router.
// S_OK when KX_PLC is not set; a failure is reported on standard error and returned (the router keeps running).
extern "C" __attribute__((weak)) HRESULT KxPlcSimStartFromEnv();

// Stops every simulated PLC started by KxPlcSimStartFromEnv and releases its ports; called before the router
// stops. A no-op when none runs.
extern "C" __attribute__((weak)) void KxPlcSimStopAll();

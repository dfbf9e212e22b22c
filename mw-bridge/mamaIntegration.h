/* What the middleware bridge uses of OpenMAMA's core: its integration API,
 * as an OpenMAMA install carries it (built with OPENMAMA_INTEGRATION). */
#ifndef TARNIX_MW_MAMAINTEGRATION_H
#define TARNIX_MW_MAMAINTEGRATION_H

#include <mama/mama.h>
#include <mama/io.h>
#include <mama/integration/types.h>
#include <mama/integration/mama.h>
#include <mama/integration/bridge.h>
#include <mama/integration/inbox.h>
#include <mama/integration/msg.h>
#include <mama/integration/queue.h>
#include <mama/integration/subscription.h>
#include <mama/integration/transport.h>

#endif

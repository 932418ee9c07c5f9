// Waiting on the event loop and the test name service, shared with the platform tests.
#pragma once

#include "../../platform/support/event_loop.h"
#include "../../platform/support/fake_resolver.h"

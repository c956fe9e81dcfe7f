// What a client module includes: the reactor manager and the client bases.
//
// Re-entrancy, as clients see it: a notification works on the clients that
// were registered when it arrived. A client registered meanwhile misses it;
// one removed meanwhile still gets it; one destroyed meanwhile is never
// called again; a notification raised from inside another runs a complete
// fan-out of its own; a dispatcher retired meanwhile lives on until its
// running notifications have returned.
#pragma once
#include "kovanotificationdatabasereactor.h"
#include "kovanotificationdocreactor.h"
#include "kovanotificationeditorreactor.h"
#include "kovareactormanager.h"

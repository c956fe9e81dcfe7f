// What a client module includes: the reactor manager and the client bases.
#pragma once
#include "kovanotificationdatabasereactor.h"
#include "kovanotificationdocreactor.h"
#include "kovanotificationeditorreactor.h"
#include "kovareactormanager.h"

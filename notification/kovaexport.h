// What the module exports to its clients; everything else stays inside it.
#pragma once
#define KOVA_EXPORT __attribute__((visibility("default")))

// What the module exports to its clients; everything else stays inside it.
#pragma once
// Inside the module KOVA_EXPORT exports; in its clients (on Windows) it
// imports, so that the exported data g_ReactorManager is reached through
// the import table as MSVC requires.
#if defined(_WIN32)
#ifdef KOVA_BUILDING_HUB
#define KOVA_EXPORT __declspec(dllexport)
#else
#define KOVA_EXPORT __declspec(dllimport)
#endif
#else
#define KOVA_EXPORT __attribute__((visibility("default")))
#endif

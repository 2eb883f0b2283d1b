// The static start of a program of the product family. Its static objects are initialised in
// this order (GCC's init_priority: lower first; everything without a priority comes after):
//
//   DV_INIT_PRIORITY_SYSTEM_CHECK       the system compatibility check, before anything else
//   DV_INIT_PRIORITY_INSTANCE_COUNTER   this process's unit in the instance counter
//   DV_INIT_PRIORITY_LOCALE_CHECK       the run-time locale check
//   (no priority)                       the application object and the rest
//
// Linking the library `dv_static_start` registers the process in the instance counter
// (dv/sync.h) at its place in that order; the unit is taken back when the process ends
// normally, after the application object (constructed later) has been destroyed.
#pragma once

#define DV_INIT_PRIORITY_SYSTEM_CHECK 101
#define DV_INIT_PRIORITY_INSTANCE_COUNTER 102
#define DV_INIT_PRIORITY_LOCALE_CHECK 103

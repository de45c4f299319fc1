// The common helpers are compiled into every deliverable; the shared library exports
// them by name, the programs keep them internal.
#pragma once
#define QOR_EXPORT __attribute__((visibility("default")))

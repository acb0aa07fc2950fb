// Symbol visibility of the library: everything is hidden unless marked as part of its ABI.
#ifndef NELKO_BASE_EXPORT_H
#define NELKO_BASE_EXPORT_H

#define NELKO_EXPORT __attribute__((visibility("default")))

#endif

// RapidJSON, as the settings and configuration code includes it. Its internal stack offsets a
// null pointer on its first push: harmless, but clang's pointer-overflow check stops on it, so the
// check is off for RapidJSON's own functions and nowhere else.
#ifndef NELKO_CORE_SETTINGS_RAPIDJSON_H
#define NELKO_CORE_SETTINGS_RAPIDJSON_H

#if defined(__clang__)
// Members defined outside their class get the attribute at their declaration; clang would warn
// again at the definition.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wignored-attributes"
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), apply_to = function)
#endif

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#if defined(__clang__)
#pragma clang attribute pop
#pragma clang diagnostic pop
#endif

#endif

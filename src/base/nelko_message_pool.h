// nelkoMessagePool: storage that the platform's interfaces library keeps inside every initiator.
// This library only constructs and destroys the pools; what goes into them is the interfaces
// library's business.
#ifndef NELKO_BASE_NELKO_MESSAGE_POOL_H
#define NELKO_BASE_NELKO_MESSAGE_POOL_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "json/elements.h"

// FIXED NAMES: this class, its members and their names are the platform's ABI (the interfaces
// library links against them and shares the layout), so they keep the platform's naming
// (lower camel case, m_ members) instead of this project's. Do not rename them.
class nelkoMessagePool {
 public:
  nelkoMessagePool(void* log_handle, std::uint32_t count)
      : m_logHandle(log_handle), m_count(count) {}

  // The layout below is shared with the interfaces library; do not reorder or add fields.
  void* m_logHandle;
  std::uint32_t m_count;
  std::map<std::string, json::Object> m_messages;
  std::vector<std::string> m_keys;
};

#endif

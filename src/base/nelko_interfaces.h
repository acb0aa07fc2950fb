// nelkoInterfaces: the root of every interface object of the platform. It holds the log handle,
// the version of the interface the object implements and the generator of request identifiers.
#ifndef NELKO_BASE_NELKO_INTERFACES_H
#define NELKO_BASE_NELKO_INTERFACES_H

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>

#include "export.h"

class nelkoInterfaces;

namespace nelko {
namespace base {

// A request identifier held by value: 36 characters and the terminating NUL.
struct UuidText {
  char text[37];
};

// Writes a fresh identifier for a request of `object` into `uuid`, drawn and formatted exactly as
// nelkoInterfaces::generateUUID does, for identifiers that never leave the library: they need no
// allocation. Drawn from an engine of the calling thread, seeded from the system's entropy, so
// that threads draw without a lock; safe to call from several threads on one object.
void generate_uuid(nelkoInterfaces& object, UuidText& uuid);

}  // namespace base
}  // namespace nelko

// FIXED NAMES: this class, its members and their names are the platform's ABI (the interfaces
// library links against them and shares the layout), so they keep the platform's naming
// (lower camel case, m_ members) instead of this project's. Do not rename them.
// Exported: the interfaces library implements members of the derived class and refers to its
// type information.
class NELKO_EXPORT nelkoInterfaces {
 public:
  // Stores the log handle (borrowed, never released here) and the version, and seeds the
  // identifier generator from the system's entropy. Throws std::bad_alloc when out of memory.
  nelkoInterfaces(void* log_handle, std::uint32_t version_major, std::uint32_t version_minor);
  virtual ~nelkoInterfaces();

  nelkoInterfaces(nelkoInterfaces const&) = delete;
  nelkoInterfaces& operator=(nelkoInterfaces const&) = delete;

  // A fresh random (version 4) UUID as 36 lower-case characters in a malloc'ed block that the
  // caller releases with free(); null when the block cannot be allocated. Safe to call from
  // several threads on one object.
  char* generateUUID();
  friend void nelko::base::generate_uuid(nelkoInterfaces& object, nelko::base::UuidText& uuid);

  // printf-style lines at priority 3 (error) and 4 (warning) through the object's log handle.
  void IPC_LOG_ERR(char const* format, ...) const __attribute__((format(printf, 2, 3)));
  void IPC_LOG_WARNING(char const* format, ...) const __attribute__((format(printf, 2, 3)));

  void* logHandle() const { return m_logHandle; }
  std::uint32_t versionMajor() const { return m_versionMajor; }
  std::uint32_t versionMinor() const { return m_versionMinor; }

 protected:
  // The layout below is shared with the interfaces library; do not reorder or add fields.
  void* m_logHandle;
  std::uint32_t m_versionMajor;
  std::uint32_t m_versionMinor;
  boost::shared_ptr<boost::random::mt19937> m_uuidEngine;
  boost::random::uniform_int_distribution<std::uint32_t> m_uuidDistribution;
};

#endif

#include "decoder/service_names.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace netward::decoder {
namespace {
constexpr size_t kPorts = 65536;
// Room for the names of the database; entries beyond it are left out.
constexpr size_t kNameBytes = 48 * 1024;
}  // namespace

SystemServiceNames::SystemServiceNames() {
  for (auto& t : index_) {
    t.reset(new uint16_t[kPorts]);
    memset(t.get(), 0, kPorts * sizeof(uint16_t));
  }
  names_.reset(new char[kNameBytes]);
  size_t used = 1;  // offset 0 is never a name, so 0 can mean "none"
  names_[0] = '\0';
  setservent(0);
  while (const servent* s = getservent()) {
    const bool tcp = s->s_proto && strcmp(s->s_proto, "tcp") == 0;
    const bool udp = s->s_proto && strcmp(s->s_proto, "udp") == 0;
    if (!tcp && !udp) continue;
    const uint16_t port = ntohs(static_cast<uint16_t>(s->s_port));
    uint16_t& slot = index_[tcp ? 1 : 0][port];
    if (slot) continue;
    // Names are kept whole: the columns they are written into bound them.
    const size_t n = strlen(s->s_name);
    if (n == 0 || used + n + 1 > kNameBytes || used > 0xFFFF) continue;
    memcpy(&names_[used], s->s_name, n);
    names_[used + n] = '\0';
    slot = static_cast<uint16_t>(used);
    used += n + 1;
  }
  endservent();
}

const char* SystemServiceNames::ServiceName(uint16_t port, bool tcp) const {
  const uint16_t at = index_[tcp ? 1 : 0][port];
  return at ? &names_[at] : nullptr;
}

}  // namespace netward::decoder

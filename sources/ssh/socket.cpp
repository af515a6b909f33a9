// The socket the reach layer connected, owned here for as long as the session uses it.

#include "internal.h"

#include <unistd.h>

namespace qelto::wmi::ssh {

OwnedSocket::~OwnedSocket() {
    if (fd >= 0) ::close(fd);
}

}  // namespace qelto::wmi::ssh

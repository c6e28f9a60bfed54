#include "session/direction.h"

#include "config/networks.h"
#include "config/settings.h"
#include "session/state.h"

bool is_outbound_mode(const context& c) {
  if (!tavasd_outbound) return false;
  return is_empty_networklist(&mynetworks) || ip_in_networklist(c.connect_ip, &mynetworks) || c.userAuth;
}

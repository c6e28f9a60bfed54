#include "engines/exchange.h"

exchange_result engine_exchange(const char*, const char*, uint16_t, const char*, const std::string&,
                                const exchange_payload*) {
  return exchange_result{};
}
int recvtimeout(int, char*, int, int) { return -1; }
std::string find_header_value(std::string&, std::string) { return ""; }

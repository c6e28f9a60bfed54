#include "config/settings.h"

#include <cstdio>
#include <cstdlib>

namespace {

tav_settings the_settings;
bool frozen = false;

}  // namespace

#define TAV_BIND(type, name, value) std::add_const_t<type>& name = the_settings.name;
TAV_SETTINGS(TAV_BIND)
#undef TAV_BIND
const networklist& ignorenets = the_settings.ignorenets;
const networklist& mynetworks = the_settings.mynetworks;

tav_settings& writable_settings() {
  if (frozen) {
    fprintf(stderr, "tav-milter: a setting was written after start-up\n");
    abort();
  }
  return the_settings;
}

void freeze_settings() { frozen = true; }

void reset_settings() {
  // The lists' arrays are kept: lists are never freed, and a test that
  // parses again reuses them.
  networklist ignore = the_settings.ignorenets, mine = the_settings.mynetworks;
  the_settings = tav_settings{};
  the_settings.ignorenets = {ignore.nets, 0};
  the_settings.mynetworks = {mine.nets, 0};
  frozen = false;
}

// The guard that every callback runs behind: no exception reaches libmilter.
//
// libmilter is C: an exception unwinding into its frames ends the process,
// with every session in it, and leaves the socket and the spool files of
// messages in progress behind. A callback throws only when memory runs out
// (std::bad_alloc, std::length_error while building strings). The guard
// catches whatever it throws and calls callback_failed(), which logs the
// callback's name and the exception at D_ALWAYS, releases the connection's
// message (its spool file goes; after a failed close, the connection's
// record too), sets a 451 4.3.0 reply and returns
// SMFIS_TEMPFAIL: the mail server defers the step and the filter stays up.
// callback_failed() never throws and allocates nothing of its own.
//
// guarded<Name, decltype(&fn), &fn>::call has the callback's own signature
// and is what gets registered; TAV_GUARDED(mlfi_x) spells it with the
// callback's name as the log text (filter.cpp registers every callback so).
//
// Layer: session. Owns nothing; may use config/debug, session/state and
// libmilter.
#pragma once

#include <libmilter/mfapi.h>

#include <exception>

sfsistat callback_failed(SMFICTX* ctx, const char* callback, const char* what) noexcept;

template <typename Name, typename Fn, Fn fn>
struct guarded;

template <typename Name, typename... Args, sfsistat (*fn)(SMFICTX*, Args...)>
struct guarded<Name, sfsistat (*)(SMFICTX*, Args...), fn> {
  static sfsistat call(SMFICTX* ctx, Args... args) noexcept {
    try {
      return fn(ctx, args...);
    } catch (const std::exception& e) {
      return callback_failed(ctx, Name::text(), e.what());
    } catch (...) {
      return callback_failed(ctx, Name::text(), "unknown exception");
    }
  }
};

#define TAV_GUARDED(fn)                                      \
  ([] {                                                      \
    struct name {                                            \
      static const char* text() { return #fn; }             \
    };                                                       \
    return &guarded<name, decltype(&fn), &fn>::call;         \
  }())

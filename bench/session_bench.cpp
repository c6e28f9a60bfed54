// Cost of capturing one message: connect, MAIL with its spool file, ten
// header lines, the body in 64 KiB chunks, abort (close and unlink of the
// spool file) and close, without any daemon (IP reputation off). Also the
// spool file's creation and removal alone. Spool files go to $TMPDIR.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "session/callbacks.h"
#include "session/spool.h"

// The few libmilter entry points the callbacks use, for one connection at a
// time.
namespace {
void* g_priv = nullptr;
char g_handle;
SMFICTX* ctx() { return reinterpret_cast<SMFICTX*>(&g_handle); }
}  // namespace

extern "C" {
int smfi_setpriv(SMFICTX*, void* priv) {
  g_priv = priv;
  return MI_SUCCESS;
}
void* smfi_getpriv(SMFICTX*) { return g_priv; }
char* smfi_getsymval(SMFICTX*, char* name) {
  static char id[] = "4BenchQID";
  return strcmp(name, "i") == 0 ? id : nullptr;
}
int smfi_setreply(SMFICTX*, char*, char*, char*) { return MI_SUCCESS; }
}

namespace {

void BM_CaptureMessage(benchmark::State& state) {
  writable_settings().flag_tavipd = false;
  writable_settings().flag_debug = 1;
  const size_t size = static_cast<size_t>(state.range(0));
  std::string chunk(65536, 'x');
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(0xC0000201);
  char from[] = "<sender@example.org>";
  char* envfrom[] = {from, nullptr};
  char to[] = "<rcpt@example.net>";
  char* envrcpt[] = {to, nullptr};
  char name[] = "X-Bench-Header";
  char value[] = "a value of some forty characters in length...";
  for (auto _ : state) {
    mlfi_connect(ctx(), nullptr, reinterpret_cast<sockaddr*>(&sin));
    mlfi_helo(ctx(), const_cast<char*>("mx.example"));
    if (mlfi_envfrom(ctx(), envfrom) != SMFIS_CONTINUE) state.SkipWithError("not captured");
    mlfi_envrcpt(ctx(), envrcpt);
    for (int i = 0; i < 10; ++i) mlfi_header(ctx(), name, value);
    mlfi_eoh(ctx());
    for (size_t done = 0; done < size; done += chunk.size()) {
      size_t n = size - done < chunk.size() ? size - done : chunk.size();
      if (mlfi_body(ctx(), reinterpret_cast<unsigned char*>(&chunk[0]), n) != SMFIS_CONTINUE)
        state.SkipWithError("spool write failed");
    }
    mlfi_abort(ctx());
    mlfi_close(ctx());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_CaptureMessage)->Arg(0)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_SpoolFileCreateAndRemove(benchmark::State& state) {
  for (auto _ : state) {
    spool_file f = spool_file::create();
    if (!f.valid()) state.SkipWithError("spool_file::create failed");
  }
}
BENCHMARK(BM_SpoolFileCreateAndRemove);

}  // namespace

BENCHMARK_MAIN();

#include "logconv/zstd_output.h"

#include <zstd.h>

#include <vector>

struct ZstdOutput::State {
  explicit State(File& f) : file(f), out(ZSTD_CStreamOutSize()) {}
  File& file;
  ZSTD_CCtx* cctx = nullptr;
  bool ok = true;
  std::string error;
  std::vector<char> out;

  // Compresses `in` with `mode`, writing what comes out; with ZSTD_e_end,
  // until the frame is ended.
  bool run(ZSTD_inBuffer* in, ZSTD_EndDirective mode) {
    for (;;) {
      ZSTD_outBuffer o = {out.data(), out.size(), 0};
      size_t left = ZSTD_compressStream2(cctx, &o, in, mode);
      if (ZSTD_isError(left)) {
        error = ZSTD_getErrorName(left);
        return ok = false;
      }
      if (o.pos > 0 && !file.write(out.data(), o.pos)) {
        error = file.error();
        return ok = false;
      }
      if (mode == ZSTD_e_end ? left == 0 : in->pos == in->size) return true;
    }
  }
};

ZstdOutput::ZstdOutput(File& file, int level, int workers)
    : state_(new State(file)) {
  state_->cctx = ZSTD_createCCtx();
  if (state_->cctx == nullptr) {
    state_->ok = false;
    state_->error = "out of memory";
    return;
  }
  ZSTD_CCtx_setParameter(state_->cctx, ZSTD_c_compressionLevel, level);
  // A library built without threads refuses workers: it compresses alone.
  if (workers > 0)
    ZSTD_CCtx_setParameter(state_->cctx, ZSTD_c_nbWorkers, workers);
}

ZstdOutput::~ZstdOutput() { ZSTD_freeCCtx(state_->cctx); }

bool ZstdOutput::write(const char* data, size_t size) {
  if (!state_->ok) return false;
  ZSTD_inBuffer in = {data, size, 0};
  return state_->run(&in, ZSTD_e_continue);
}

bool ZstdOutput::finish() {
  if (!state_->ok) return false;
  ZSTD_inBuffer in = {nullptr, 0, 0};
  return state_->run(&in, ZSTD_e_end);
}

const std::string& ZstdOutput::error() const { return state_->error; }

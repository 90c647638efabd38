// In-place decompression: x.dat.gz becomes x.dat, as gzip -d does it.

#ifndef QUILLON_RUN_DECOMPRESS_H_
#define QUILLON_RUN_DECOMPRESS_H_

#include <cstdint>
#include <string>

#include "platform/platform.h"

/// Decompresses the gzip file `name` of `dir` (every member of it, as gzip
/// does) into the same name without its last three characters (".gz"), with
/// the permission bits and modification time of the archive, then removes
/// the archive. The data goes to a temporary file that is flushed to stable
/// storage and renamed only once complete, so a failure leaves the archive
/// untouched and neither the target nor the temporary file behind. More than
/// `max_size` bytes of data (0: no limit) is a failure too. Returns false,
/// with *err set, when the target already exists or would have no name, the
/// archive is not gzip data, is truncated, corrupt or too large, or a file
/// operation failed.
bool gunzip_in_place(const Dir& dir, const std::string& name,
                     uint64_t max_size, std::string* err);

#endif  // QUILLON_RUN_DECOMPRESS_H_

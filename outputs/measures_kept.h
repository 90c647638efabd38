// What a -u run of the measures keeps beside their tables, so that the
// next one measures only the logs that came since: each signal's logs as
// they were (size, modification time), where its measures stood after the
// last of them, and where its rows lie in each table. The tables never
// need it: a reader ignores the file.

#ifndef QUILLON_OUTPUTS_MEASURES_KEPT_H_
#define QUILLON_OUTPUTS_MEASURES_KEPT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "measures/measures.h"
#include "measures/state.h"

/// The file's name in the tables' directory.
extern const char kKeptMeasuresName[];

/// Beside the tables of the database's measures (-f sqlite --measures):
/// the state that the one of kKeptMeasuresName went on from.
extern const char kKeptBeforeName[];

/// A log measured, as it was.
struct KeptLog {
  std::string path;  // below the directory argument
  uint64_t size = 0;
  int64_t mtime_ns = 0;

  void state(StateIO& io) { io(path, size, mtime_ns); }
};

/// A signal measured: its dated logs, where its measures stood after the
/// last, and where its rows start in each table of kMeasureSchema. The
/// measures' states are held deflated (`states`, as pack_states() makes
/// it) until a run goes on from them: a thousand signals' would take a
/// few hundred megabytes.
struct KeptSignal {
  std::string id;
  std::vector<KeptLog> logs;
  SignalCheckpoint at;  // its `states` empty
  std::string states;
  std::vector<uint64_t> start;  // by table, in bytes

  void state(StateIO& io) { io(id, logs, at, states, start); }
};

/// Moves the states of `at` into *packed, deflated.
void pack_states(SignalCheckpoint* at, std::string* packed);

/// The states of `packed` into *at. Returns false where they are not
/// whole.
bool unpack_states(const std::string& packed, SignalCheckpoint* at);

/// What a run keeps.
struct KeptMeasures {
  /// A number of its own, which what is kept of the report's pages names.
  uint64_t generation = 0;
  /// What the tables depend on besides the logs, a line each: "NAME VALUE".
  std::string options;
  /// By table of kMeasureSchema: the size and modification time of the
  /// file written; UINT64_MAX for a table not written.
  std::vector<uint64_t> sizes;
  std::vector<int64_t> mtimes;
  std::vector<KeptSignal> signals;  // by id

  void state(StateIO& io) { io(generation, options, sizes, mtimes, signals); }
};

/// The bytes of a file that keeps the state `plain`, its first line
/// `magic`: deflated, with a CRC-32.
std::string pack_kept(std::string_view magic, std::string_view plain);

/// The state of such a file into *plain. Returns false, with *why saying
/// what is wrong, where `bytes` are not one whole.
bool unpack_kept(std::string_view bytes, std::string_view magic, std::string* plain,
                 std::string* why);

/// The bytes of the file that keeps `kept`: compressed, with a check.
std::string encode_kept(KeptMeasures& kept);

/// Reads the bytes of such a file into *kept. Returns false, with *why
/// saying what is wrong, where they are not one whole.
bool decode_kept(std::string_view bytes, KeptMeasures* kept, std::string* why);

/// The name of the first option whose line differs between `was` and
/// `is` (texts of "NAME VALUE" lines); empty where none does.
std::string changed_option(std::string_view was, std::string_view is);

#endif  // QUILLON_OUTPUTS_MEASURES_KEPT_H_

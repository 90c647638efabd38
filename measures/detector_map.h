// A run's detector map: which detector channel of each signal serves which
// phase and approach, what it is for, and how far it is from the stop bar,
// as agencies keep it in a CSV of a row a signal and channel.

#ifndef QUILLON_MEASURES_DETECTOR_MAP_H_
#define QUILLON_MEASURES_DETECTOR_MAP_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

/// What a detector is for on its approach, a bit each.
enum DetectorRole : uint8_t {
  kAdvance = 1,  // upstream: its actuations are the arrivals
  kStopBar = 2,  // at the stop bar: its occupancy is the queue
  kCount = 4,    // its actuations are the approach's volume
};

/// One channel of a signal's map.
struct MappedDetector {
  std::vector<int> phases;  // the phases it serves, one or more
  std::string approach;     // free text: "NB", "Main St EB"
  uint8_t roles = 0;        // DetectorRole bits
  /// The time a vehicle takes from it to the stop bar, distance over speed,
  /// in tenths of a second; 0 where either is empty or 0.
  double travel_tenths = 0;
};

/// The channels of each signal of a map, by signal id and channel.
using DetectorMap = std::map<std::string, std::map<int, MappedDetector>>;

/// Reads a detector map from its CSV text: a header line naming the
/// columns in any order, signal_id, channel, phase, approach, roles,
/// distance (feet; or distance_ft, or distance_m in metres) and speed (mph;
/// or speed_mph, or speed_kmh in km/h), then a row a signal and channel,
/// quoted as RFC 4180 has it. Returns false, with *err naming the line and
/// the problem, where a column is missing, unknown or repeated, a number is
/// bad, a role unknown, or a signal and channel repeated.
bool parse_detector_map(std::string_view text, DetectorMap* map, std::string* err);

/// Reads the detector map in the file `path`. Returns false, with *err
/// naming the file (and the line) and the problem.
bool read_detector_map(const std::string& path, DetectorMap* map, std::string* err);

#endif  // QUILLON_MEASURES_DETECTOR_MAP_H_

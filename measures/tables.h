// The measure of each table: one class a table, each in a file of its own,
// made through these functions from the table's row of kMeasureSchema.

#ifndef QUILLON_MEASURES_TABLES_H_
#define QUILLON_MEASURES_TABLES_H_

#include <memory>

#include "measures/measure.h"

/// logs.csv: each covered, damaged or missing hour of the signal.
std::unique_ptr<Measure> make_logs_measure(const SignalContext& signal);

/// actuations.csv: Detector Ons per channel and bin.
std::unique_ptr<Measure> make_actuations_measure(const SignalContext& signal);

/// detector_health.csv: each detector's actuations, on-time and flags per
/// covered hour.
std::unique_ptr<Measure> make_detector_health_measure(const SignalContext& signal);

/// terminations.csv: gap outs, max outs and force offs per phase and bin.
std::unique_ptr<Measure> make_terminations_measure(const SignalContext& signal);

/// phase_intervals.csv: each green with its clearances and termination.
std::unique_ptr<Measure> make_phase_intervals_measure(const SignalContext& signal);

/// ped.csv: walks, calls and the delay from call to walk per phase and bin.
std::unique_ptr<Measure> make_ped_measure(const SignalContext& signal);

/// coordination.csv: each change of pattern, cycle length or offset.
std::unique_ptr<Measure> make_coordination_measure(const SignalContext& signal);

/// preemption.csv: each preemption from its input on to its input off, and
/// its service.
std::unique_ptr<Measure> make_preemption_measure(const SignalContext& signal);

/// controller_events.csv: the cabinet's own events, power, flash, alarms,
/// clock, coordinator and unit control.
std::unique_ptr<Measure> make_controller_events_measure(const SignalContext& signal);

/// The tables of a detector map, of its signals only:
/// cycles.csv: each whole cycle of every phase.
std::unique_ptr<Measure> make_cycles_measure(const SignalContext& signal);
/// arrivals.csv: the advance detectors' arrivals at the stop bar in cycles.
std::unique_ptr<Measure> make_arrivals_measure(const SignalContext& signal);
/// arrivals_on_green.csv: arrivals by state, share on green, platoon ratio.
std::unique_ptr<Measure> make_arrivals_on_green_measure(const SignalContext& signal);
/// split_failures.csv: each green's stop-bar occupancy, and its first red's.
std::unique_ptr<Measure> make_split_failures_measure(const SignalContext& signal);
/// approach_volume.csv: count detectors' actuations per approach and bin.
std::unique_ptr<Measure> make_approach_volume_measure(const SignalContext& signal);
/// yellow_red_actuations.csv: stop-bar actuations in yellow and red.
std::unique_ptr<Measure> make_yellow_red_actuations_measure(const SignalContext& signal);

#endif  // QUILLON_MEASURES_TABLES_H_

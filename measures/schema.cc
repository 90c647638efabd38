#include "measures/schema.h"

#include "measures/tables.h"

namespace {

using K = ColumnKind;

const char* const kStates[] = {"ok", "damaged", "missing", "duplicate", "undated", "gap"};
const char* const kTerminations[] = {"gap_out", "max_out", "force_off", "none"};
const char* const kItems[] = {"pattern", "cycle_length", "offset", "split", "yield"};

const MeasureColumnDef kSignal = {"signal_id", K::kId, "category"};

const MeasureColumnDef kLogs[] = {
    kSignal,
    {"hour", K::kTime, "datetime64[ns]"},
    {"state", K::kCategory, "category", kStates},
    {"records", K::kInt, "Int64"},
    {"path", K::kText, "string"},
    {"version", K::kInt, "Int64"},
    {"closing", K::kText, "string"},
    {"clock_steps_back", K::kInt, "Int64"},
    {"largest_step_back", K::kSeconds, "float64"},
    {"gap_end", K::kTime, "datetime64[ns]"},
};
const MeasureColumnDef kActuations[] = {
    kSignal,
    {"bin_start", K::kTime, "datetime64[ns]"},
    {"detector", K::kInt, "int16"},
    {"actuations", K::kInt, "int32"},
};
const MeasureColumnDef kTerminationCounts[] = {
    kSignal,
    {"bin_start", K::kTime, "datetime64[ns]"},
    {"phase", K::kInt, "int16"},
    {"gap_out", K::kInt, "int32"},
    {"max_out", K::kInt, "int32"},
    {"force_off", K::kInt, "int32"},
    {"skip", K::kInt, "int32"},
    {"greens", K::kInt, "int32"},
};
const MeasureColumnDef kPhaseIntervals[] = {
    kSignal,
    {"phase", K::kInt, "int16"},
    {"green_start", K::kTime, "datetime64[ns]"},
    {"green", K::kSeconds, "float64"},
    {"yellow", K::kSeconds, "float64"},
    {"red_clearance", K::kSeconds, "float64"},
    {"termination", K::kCategory, "category", kTerminations},
    {"split", K::kSeconds, "float64"},
    {"pattern", K::kInt, "Int64"},
    {"programmed_split", K::kInt, "Int64"},
};
const MeasureColumnDef kPed[] = {
    kSignal,
    {"bin_start", K::kTime, "datetime64[ns]"},
    {"phase", K::kInt, "int16"},
    {"walks", K::kInt, "int32"},
    {"calls", K::kInt, "int32"},
    {"delay_mean", K::kSeconds, "float64"},
    {"delay_samples", K::kInt, "int32"},
    {"delay_max", K::kSeconds, "float64"},
    {"presses", K::kInt, "int32"},
};
const MeasureColumnDef kCoordination[] = {
    kSignal,
    {"timestamp", K::kTime, "datetime64[ns]"},
    {"item", K::kCategory, "category", kItems},
    {"value", K::kInt, "int32"},
    {"phase", K::kInt, "Int64"},
};
const MeasureColumnDef kPreemption[] = {
    kSignal,
    {"preempt", K::kInt, "int16"},
    {"input_on", K::kTime, "datetime64[ns]"},
    {"input_off", K::kTime, "datetime64[ns]"},
    {"duration", K::kSeconds, "float64"},
    {"entry", K::kSeconds, "float64"},
    {"track_clearance", K::kSeconds, "float64"},
    {"dwell", K::kSeconds, "float64"},
    {"exit", K::kSeconds, "float64"},
    {"gate_down", K::kSeconds, "float64"},
    {"max_presence", K::kInt, "Int64"},
    {"link", K::kInt, "Int64"},
};

const MeasureColumnDef kDetectorHealth[] = {
    kSignal,
    {"hour", K::kTime, "datetime64[ns]"},
    {"detector", K::kInt, "int16"},
    {"actuations", K::kInt, "int32"},
    {"on_seconds", K::kSeconds, "float64"},
    {"occupancy", K::kShare, "float64"},
    {"longest_on", K::kSeconds, "float64"},
    {"flags", K::kText, "string"},
};

const char* const kControllerEvents[] = {
    "power_interruption_on", "power_interruption_off", "flash", "alarm_status", "alarm_group",
    "time_update", "coordinator_status", "unit_control"};
const MeasureColumnDef kControllerEventColumns[] = {
    kSignal,
    {"timestamp", K::kTime, "datetime64[ns]"},
    {"event", K::kCategory, "category", kControllerEvents},
    {"value", K::kInt, "Int64"},
};

const char* const kStates3[] = {"red", "green", "yellow"};
const MeasureColumnDef kCycles[] = {
    kSignal,
    {"phase", K::kInt, "int16"},
    {"cycle_start", K::kTime, "datetime64[ns]"},
    {"green_start", K::kTime, "datetime64[ns]"},
    {"yellow_start", K::kTime, "datetime64[ns]"},
    {"cycle_end", K::kTime, "datetime64[ns]"},
};
const MeasureColumnDef kArrivals[] = {
    kSignal,
    {"phase", K::kInt, "int16"},
    {"cycle_start", K::kTime, "datetime64[ns]"},
    {"arrival", K::kTime, "datetime64[ns]"},
    {"seconds_into_cycle", K::kSeconds, "float64"},
    {"state", K::kCategory, "category", kStates3},
};
const MeasureColumnDef kArrivalsOnGreen[] = {
    kSignal,
    {"bin_start", K::kTime, "datetime64[ns]"},
    {"phase", K::kInt, "int16"},
    {"arrivals", K::kInt, "int32"},
    {"on_green", K::kInt, "int32"},
    {"on_yellow", K::kInt, "int32"},
    {"on_red", K::kInt, "int32"},
    {"percent_on_green", K::kSeconds, "float64"},
    {"platoon_ratio", K::kRatio, "float64"},
};
const MeasureColumnDef kSplitFailures[] = {
    kSignal,
    {"phase", K::kInt, "int16"},
    {"green_start", K::kTime, "datetime64[ns]"},
    {"green", K::kSeconds, "float64"},
    {"gor", K::kRatio, "float64"},
    {"ror5", K::kRatio, "float64"},
    {"split_failure", K::kInt, "Int64"},
};
const MeasureColumnDef kApproachVolume[] = {
    kSignal,
    {"bin_start", K::kTime, "datetime64[ns]"},
    {"approach", K::kText, "string"},
    {"volume", K::kInt, "int32"},
};
const MeasureColumnDef kYellowRed[] = {
    kSignal,
    {"bin_start", K::kTime, "datetime64[ns]"},
    {"phase", K::kInt, "int16"},
    {"yellow", K::kInt, "int32"},
    {"red", K::kInt, "int32"},
    {"red_first_5s", K::kInt, "int32"},
};

const MeasureTableDef kTables[] = {
    {"logs", kLogs, make_logs_measure},
    {"actuations", kActuations, make_actuations_measure, false, 2},
    {"terminations", kTerminationCounts, make_terminations_measure},
    {"phase_intervals", kPhaseIntervals, make_phase_intervals_measure, false, 3},
    {"ped", kPed, make_ped_measure},
    {"coordination", kCoordination, make_coordination_measure},
    {"preemption", kPreemption, make_preemption_measure},
    {"controller_events", kControllerEventColumns, make_controller_events_measure},
    {"detector_health", kDetectorHealth, make_detector_health_measure, false, 2},
    {"cycles", kCycles, make_cycles_measure, true, 3},
    {"arrivals", kArrivals, make_arrivals_measure, true, 6},
    {"arrivals_on_green", kArrivalsOnGreen, make_arrivals_on_green_measure, true, 3},
    {"split_failures", kSplitFailures, make_split_failures_measure, true, 5},
    {"approach_volume", kApproachVolume, make_approach_volume_measure, true, 1},
    {"yellow_red_actuations", kYellowRed, make_yellow_red_actuations_measure, true, 1},
};

}  // namespace

const std::span<const MeasureTableDef> kMeasureSchema = kTables;

std::string measure_header(const MeasureTableDef& table) {
  std::string header;
  for (const MeasureColumnDef& column : table.columns) {
    if (!header.empty()) header += ',';
    header += column.name;
  }
  return header + "\n";
}

int measure_table_index(std::string_view name) {
  for (size_t i = 0; i < kMeasureSchema.size(); ++i)
    if (name == kMeasureSchema[i].name) return static_cast<int>(i);
  return -1;
}

int measure_column_index(const MeasureTableDef& table, std::string_view name) {
  for (size_t i = 0; i < table.columns.size(); ++i)
    if (name == table.columns[i].name) return static_cast<int>(i);
  return -1;
}

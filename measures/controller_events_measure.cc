// controller_events.csv: the cabinet's own events, one row each in time
// order (as logged within a tenth): the power interrupted and back, flash,
// alarm status and alarm group changes, the clock set, the coordinator's
// status and the unit control status; the value the row's standard
// conversion gives as its parameter, none for a time update.

#include "measures/tables.h"

namespace {

class ControllerEventsMeasure : public Measure {
 public:
  using Measure::Measure;

  uint32_t kinds() const override {
    uint32_t kinds = 0;
    for (SignalEvent k : {SignalEvent::kPower, SignalEvent::kFlash, SignalEvent::kAlarm,
                          SignalEvent::kAlarmGroup, SignalEvent::kTimeUpdate,
                          SignalEvent::kCoordStatus, SignalEvent::kUnitControl})
      kinds |= 1u << static_cast<int>(k);
    return kinds;
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) logged_.add(event_time(start, e), e);
  }

  void settle(int64_t until) override {
    logged_.settle(until, [this](int64_t t, const MeasureEvent& e) {
      std::string& out = row();
      time_.put(&out, t);
      out += ',';
      out += name_of(e);
      out += ',';
      if (e.kind != SignalEvent::kTimeUpdate && e.kind != SignalEvent::kPower)
        put_int(&out, e.value);
      out += '\n';
    });
  }

  void state(StateIO& io) override { io(logged_); }

 private:
  static const char* name_of(const MeasureEvent& e) {
    switch (e.kind) {
      case SignalEvent::kPower: return e.on ? "power_interruption_on" : "power_interruption_off";
      case SignalEvent::kFlash: return "flash";
      case SignalEvent::kAlarm: return "alarm_status";
      case SignalEvent::kAlarmGroup: return "alarm_group";
      case SignalEvent::kTimeUpdate: return "time_update";
      case SignalEvent::kCoordStatus: return "coordinator_status";
      default: return "unit_control";
    }
  }

  TimeOrdered logged_;  // not yet written
};

}  // namespace

std::unique_ptr<Measure> make_controller_events_measure(const SignalContext& signal) {
  return std::make_unique<ControllerEventsMeasure>(signal);
}

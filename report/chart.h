// The one builder every page and chart of the report is drawn through: an
// element writer that escapes every attribute and text it is given, the
// palette by role (from which both the style sheet and the legend are
// written), scales and the time axis.

#ifndef QUILLON_REPORT_CHART_H_
#define QUILLON_REPORT_CHART_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// `text` as HTML text or an attribute's value: & < > " ' as references.
std::string html_escape(std::string_view text);

/// `v` with `decimals` decimals, as put_fixed writes it.
std::string fixed(double v, int decimals);

/// Where `value` falls between `low` and `high`, mapped onto the pixels from
/// `from` to `to` (clamped to them); `from` where low == high.
double scale(double value, double low, double high, double from, double to);

/// Writes HTML and SVG markup. Every attribute value and text is escaped
/// here; only constant markup (a string literal) goes in as it is.
class Markup {
 public:
  /// Starts the element `name`: "<name".
  Markup& tag(const char* name);
  /// An attribute of the element started: ` name="value"`.
  Markup& attr(const char* name, std::string_view value);
  /// A number attribute with `decimals` decimals.
  Markup& attr(const char* name, double value, int decimals);
  /// A data attribute: ` data-name="value"`.
  Markup& data(const char* name, std::string_view value);
  /// Ends the element's start tag: ">".
  Markup& open();
  /// Ends an element without content: "/>".
  Markup& empty();
  /// Text content.
  Markup& text(std::string_view text);
  /// The end tag of `name`: "</name>".
  Markup& end(const char* name);
  /// Ends the start tag, then a <title> of `tip` (a tooltip) and the end
  /// tag of `name`.
  Markup& titled(const char* name, std::string_view tip);
  /// Constant markup, as it is.
  template <size_t N>
  Markup& literal(const char (&markup)[N]) {
    out_.append(markup, N - 1);
    return *this;
  }
  /// Markup that this builder wrote in an earlier run, kept as its text.
  static Markup kept(std::string markup) {
    Markup m;
    m.out_ = std::move(markup);
    return m;
  }
  /// Markup that this builder wrote.
  Markup& append(const Markup& other) {
    out_ += other.out_;
    return *this;
  }

  /// The markup written so far, which is then forgotten.
  std::string take() { return std::move(out_); }
  bool empty_text() const { return out_.empty(); }

 private:
  // ` PREFIXname="value"`, the value escaped.
  Markup& put_attr(const char* prefix, const char* name, std::string_view value);

  std::string out_;
};

/// The roles that have a colour, by their CSS class.
enum class Role {
  kOk, kDamaged, kMissing, kNone,                   // hours
  kGapOut, kMaxOut, kForceOff, kNoTerm, kSkip,      // how greens ended
  kHeat, kSilent, kOccupancy, kStuck, kChatter, kFault,  // detectors
  kDelay, kShare, kPattern, kCycleLength, kOffset,  // other marks
  kPlan, kFree, kSplit, kProgrammed, kController, kVolume,
  kPreempt, kEntry, kTrackClearance, kDwell, kExit,  // preemption
  kSevere, kWarning, kNotice, kClear,               // problems, worst first
  kCycleGreen, kCycleYellow, kOnRed, kOnGreen, kOnYellow,  // coordination diagram
};

/// The CSS class of `role`.
const char* role_class(Role role);

/// The style sheet of every page: layout, then the colour of each role.
std::string style_sheet();

/// The legend of every colour, as a paragraph.
std::string legend();

/// The head of a page titled `title`, its style and its policy (nothing is
/// fetched from outside, no script runs), and the body's start.
std::string page_head(const std::string& title);

/// The drawing area of every chart, in pixels, and an hour's width on a
/// day's axis.
constexpr double kChartLeft = 70, kChartRight = 1180, kChartWidth = 1200;
constexpr double kHourWidth = (kChartRight - kChartLeft) / 24;

/// An hour of the day as the axis and the hover texts name it: "07:00".
std::string hour_label(int hour);

/// A chart: a figure with its heading, an SVG with its title and
/// description, and a one-line text summary under it.
class Chart {
 public:
  /// Opens the chart `id` headed `heading`, summed up by `summary`, of
  /// `height` pixels, in *page.
  Chart(Markup* page, const std::string& id, const std::string& heading,
        const std::string& summary, double height);
  /// Closes it.
  ~Chart();

  /// The marks go here.
  Markup& marks() { return *page_; }

  /// The hour ticks of a day's time axis along y = `y`: every third of
  /// its hours, named by `labels` (a day of 23 or 25 where the clocks
  /// change), or of a day of 24.
  void time_axis(double y, const std::vector<std::string>* labels = nullptr);

  /// The label of a chart's row, left of its drawing, its baseline at `y`.
  void label(double y, const std::string& text);

  /// A bar or cell with a tooltip.
  void rect(double x, double y, double w, double h, Role role, const Markup& data,
            const std::string& tip);

  /// A line across the drawing at `y`: the axis, or else a gridline.
  void across(double y, bool axis);

  /// The band of an hour (from `x`, `width` wide) along the chart's top,
  /// as dark as `share` (0 to 1) in the colour of `role`, with a tooltip.
  void hour_band(double x, double width, double share, Role role, const Markup& data,
                 const std::string& tip);

 private:
  Markup* page_;
  std::string summary_;
};

/// The x of a time of day, tenths of a second into it, on the axis of a
/// day of `hours` hours.
double day_x(int64_t into_day, int hours = 24);

#endif  // QUILLON_REPORT_CHART_H_

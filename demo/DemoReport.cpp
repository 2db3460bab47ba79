#include "DemoReport.h"

#include "DemoAudio.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sstream>

namespace kivra {
namespace demo {
namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

std::string row(const StreamStats& s) {
  return format("  %-44s %7.1f %7.2f %8lld %8lld %9lld %8lld\n", s.name.c_str(), s.blocks(),
                s.seconds(), static_cast<long long>(s.droppedLog),
                static_cast<long long>(s.droppedCount), static_cast<long long>(s.underruns),
                static_cast<long long>(s.remaining / 2));
}

std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
  return out;
}

// Keeps at most one low and one high point per horizontal pixel.
std::vector<TimePoint> decimate(const std::vector<TimePoint>& in, double seconds, int width) {
  if (static_cast<int>(in.size()) <= 2 * width) return in;
  std::vector<TimePoint> out;
  size_t i = 0;
  for (int px = 0; px < width && i < in.size(); ++px) {
    const double until = seconds * (px + 1) / width;
    TimePoint lo = in[i], hi = in[i];
    while (i < in.size() && in[i].t <= until) {
      if (in[i].v < lo.v) lo = in[i];
      if (in[i].v > hi.v) hi = in[i];
      ++i;
    }
    if (lo.t <= hi.t) {
      out.push_back(lo);
      out.push_back(hi);
    } else {
      out.push_back(hi);
      out.push_back(lo);
    }
  }
  return out;
}

// The latency section of one stream: summary, what the controller did, and
// the mean and maximum of every minute.
std::string latencySection(const StreamStats& st, double seconds) {
  const LatencyStats& L = st.latency;
  std::string s = format("  %s\n", st.name.c_str());
  s += format(
      "    added latency: mean %.2f ms, max %.2f ms (%lld frames placed in their source; %lld "
      "blended or inserted; %lld gap(s) over %lld source frames)\n",
      L.meanMs, L.maxMs, static_cast<long long>(L.placed), static_cast<long long>(L.unplaced),
      static_cast<long long>(L.gaps), static_cast<long long>(L.skippedFrames));
  const int64_t removals = L.quietRemovals + L.crossfades;
  s += format(
      "    controller: %lld removal(s), %lld in quiet stretches (%.1f ms) and %lld with a "
      "crossfade (%.1f ms)%s; %lld insertion(s) (%.1f ms); %lld stale discard(s) (%.1f ms)\n",
      static_cast<long long>(removals), static_cast<long long>(L.quietRemovals),
      L.quietFrames / 48.0, static_cast<long long>(L.crossfades), L.crossfadeFrames / 48.0,
      removals > 0
          ? format(", %.0f%% quiet", 100.0 * L.quietRemovals / static_cast<double>(removals))
                .c_str()
          : "",
      static_cast<long long>(L.insertions), L.insertedFrames / 48.0,
      static_cast<long long>(L.staleEvents), L.staleFrames / 48.0);
  s += format("    drops: %lld block(s) refused for overflow; underruns: %lld\n",
              static_cast<long long>(st.droppedLog), static_cast<long long>(st.underruns));
  if (seconds >= 60.0 && !L.minutes.empty()) {
    s += "    minute  mean ms   max ms\n";
    for (size_t m = 0; m < L.minutes.size(); ++m) {
      s += format("    %6zu %8.2f %8.2f\n", m + 1, L.minutes[m].meanMs(), L.minutes[m].maxMs);
    }
  }
  return s;
}

// ---- The timeline picture.
//
// Every lane has a title, a legend row, a plot with labelled y ticks on round
// values and an axis title with its unit, and time ticks on round values;
// the time axis title is under the last lane. When a series has more points
// than the plot has pixel columns, each column shows the range of its points
// (a light band from the lowest to the highest) and their mean (a line).

constexpr int kSvgWidth = 960;
constexpr int kPlotLeft = 84;   // y tick labels and the y axis title
constexpr int kPlotRight = 44;  // room for the last time label
constexpr int kPlotW = kSvgWidth - kPlotLeft - kPlotRight;
constexpr int kLaneHead = 40;  // title and legend rows
constexpr int kLinearPlotH = 110;
constexpr int kLogPlotH = 190;
constexpr int kLaneFoot = 30;   // time tick labels and the gap to the next lane
constexpr double kCharW = 6.2;  // average advance of an 11 px sans-serif character

// A round step (1, 2 or 5 times a power of ten) that cuts span into at most
// maxTicks pieces.
double niceStep(double span, int maxTicks) {
  if (!(span > 0)) return 1;
  const double raw = span / maxTicks;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * p >= raw * (1 - 1e-9)) return m * p;
  }
  return 10 * p;
}

std::string number(double v) {
  if (std::fabs(v) < 1e-9) return "0";
  if (std::fabs(v - std::round(v)) < 1e-9) return format("%.0f", v);
  if (std::fabs(v * 10 - std::round(v * 10)) < 1e-6) return format("%.1f", v);
  return format("%.2f", v);
}

// Time axis: seconds up to two minutes, minutes beyond.
struct TimeAxis {
  double T = 1;     // session seconds
  double unit = 1;  // seconds per label unit
  double step = 1;  // in label units
  const char* title = "session time (s)";
  explicit TimeAxis(double seconds) : T(std::max(seconds, 0.01)) {
    if (T > 120.0) {
      unit = 60.0;
      title = "session time (min)";
    }
    step = niceStep(T / unit, 10);
    if (unit == 60.0 && step > 1 && step < 5) step = step <= 2 ? 2 : 5;
  }
  double x(double t) const { return kPlotLeft + kPlotW * std::min(1.0, std::max(0.0, t / T)); }
};

void timeGridAndLabels(std::ostringstream& o, const TimeAxis& ax, int plotTop, int plotH) {
  for (double k = 0; k * ax.step * ax.unit <= ax.T * (1 + 1e-9); k += 1) {
    const double t = k * ax.step * ax.unit;
    const double x = ax.x(t);
    o << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << plotTop << "\" y2=\""
      << plotTop + plotH + 4 << "\" stroke=\"#e4e4e4\"/>\n";
    o << "<text x=\"" << x << "\" y=\"" << plotTop + plotH + 15 << "\" text-anchor=\"middle\">"
      << number(k * ax.step) << "</text>\n";
  }
}

void yTitle(std::ostringstream& o, const std::string& title, int plotTop, int plotH) {
  const int cx = 14, cy = plotTop + plotH / 2;
  o << "<text x=\"" << cx << "\" y=\"" << cy << "\" text-anchor=\"middle\" transform=\"rotate(-90 "
    << cx << " " << cy << ")\">" << escape(title) << "</text>\n";
}

// Legend entries laid out left to right, wrapping to a new row when the
// next one would run past the plot's right edge. Returns the rows used.
struct LegendEntry {
  std::string kind;  // "line", "band", "tick", "shade"
  std::string colour;
  std::string text;
};

int legend(std::ostringstream& o, const std::vector<LegendEntry>& entries, int y) {
  double x = kPlotLeft;
  int rows = 1;
  for (const LegendEntry& e : entries) {
    const double w = 22 + kCharW * static_cast<double>(e.text.size()) + 18;
    if (x > kPlotLeft && x + w > kPlotLeft + kPlotW) {
      x = kPlotLeft;
      y += 14;
      ++rows;
    }
    if (e.kind == "line") {
      o << "<line x1=\"" << x << "\" x2=\"" << x + 16 << "\" y1=\"" << y - 4 << "\" y2=\"" << y - 4
        << "\" stroke=\"" << e.colour << "\" stroke-width=\"2\"/>\n";
    } else if (e.kind == "band" || e.kind == "shade") {
      o << "<rect x=\"" << x << "\" y=\"" << y - 9 << "\" width=\"16\" height=\"10\" fill=\""
        << e.colour << "\" fill-opacity=\"" << (e.kind == "band" ? "0.3" : "0.5") << "\"/>\n";
    } else {
      o << "<line x1=\"" << x + 8 << "\" x2=\"" << x + 8 << "\" y1=\"" << y - 10 << "\" y2=\"" << y
        << "\" stroke=\"" << e.colour << "\" stroke-width=\"1.5\"/>\n";
    }
    o << "<text x=\"" << x + 22 << "\" y=\"" << y << "\">" << escape(e.text) << "</text>\n";
    x += w;
  }
  return rows;
}

// A title that fits the plot's width, shortened with an ellipsis if needed
// (bold characters are about a tenth wider).
std::string fitted(const std::string& text, double width, bool bold = false) {
  const size_t max = static_cast<size_t>(width / (bold ? kCharW * 1.1 : kCharW));
  if (text.size() <= max || max < 4) return text;
  return text.substr(0, max - 3) + "...";
}

struct Column {
  double lo = 0, hi = 0, sum = 0;
  int n = 0;
};

// One lane on a linear axis from 0: a series (with its envelope when dense)
// and red ticks for dropped blocks. Returns the lane's height.
int linearLane(std::ostringstream& o, const TimeAxis& ax, int y0, const std::string& title,
               const std::vector<TimePoint>& pts, const std::vector<double>& drops, bool showDrops,
               const char* colour, const std::string& what, const std::string& unit,
               double minTop) {
  o << "<text x=\"" << kPlotLeft << "\" y=\"" << y0 + 12 << "\" font-weight=\"bold\">"
    << escape(fitted(title, kPlotW, true)) << "</text>\n";
  const bool dense = static_cast<int>(pts.size()) > kPlotW;
  std::vector<LegendEntry> entries;
  if (dense) {
    entries.push_back({"line", colour, what + ": mean of each pixel column"});
    entries.push_back({"band", colour, "lowest to highest in the column"});
  } else {
    entries.push_back({"line", colour, what});
  }
  if (showDrops) {
    entries.push_back({"tick", "red", format("dropped 10 ms block (%zu)", drops.size())});
  }
  const int rows = legend(o, entries, y0 + 28);
  const int plotTop = y0 + kLaneHead + 14 * (rows - 1), plotH = kLinearPlotH;

  double peak = 0;
  for (const TimePoint& p : pts) peak = std::max(peak, p.v);
  const double step = niceStep(std::max(minTop, peak), 4);
  const double top = step * std::max(1.0, std::ceil(std::max(minTop, peak) / step - 1e-9));
  auto Y = [&](double v) {
    return plotTop + plotH - plotH * std::min(1.0, std::max(0.0, v / top));
  };
  timeGridAndLabels(o, ax, plotTop, plotH);
  for (double v = 0; v <= top * (1 + 1e-9); v += step) {
    o << "<line x1=\"" << kPlotLeft - 4 << "\" x2=\"" << kPlotLeft + kPlotW << "\" y1=\"" << Y(v)
      << "\" y2=\"" << Y(v) << "\" stroke=\"#e4e4e4\"/>\n";
    o << "<text x=\"" << kPlotLeft - 6 << "\" y=\"" << Y(v) + 4 << "\" text-anchor=\"end\">"
      << number(v) << "</text>\n";
  }
  yTitle(o, unit, plotTop, plotH);
  o << "<rect x=\"" << kPlotLeft << "\" y=\"" << plotTop << "\" width=\"" << kPlotW
    << "\" height=\"" << plotH << "\" fill=\"none\" stroke=\"#999\"/>\n";

  if (pts.empty()) {
    o << "<text x=\"" << kPlotLeft + kPlotW / 2 << "\" y=\"" << plotTop + plotH / 2
      << "\" text-anchor=\"middle\" fill=\"#777\">no data</text>\n";
  } else if (!dense) {
    o << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1\" points=\"";
    for (const TimePoint& p : pts) o << format("%.1f,%.1f ", ax.x(p.t), Y(p.v));
    o << "\"/>\n";
  } else {
    std::vector<Column> cols(static_cast<size_t>(kPlotW));
    for (const TimePoint& p : pts) {
      const int c = std::min(kPlotW - 1, std::max(0, static_cast<int>(p.t / ax.T * kPlotW)));
      Column& col = cols[static_cast<size_t>(c)];
      col.lo = col.n == 0 ? p.v : std::min(col.lo, p.v);
      col.hi = col.n == 0 ? p.v : std::max(col.hi, p.v);
      col.sum += p.v;
      ++col.n;
    }
    std::string upper, lower, mean;
    for (int c = 0; c < kPlotW; ++c) {
      const Column& col = cols[static_cast<size_t>(c)];
      if (col.n == 0) continue;
      const double x = kPlotLeft + c + 0.5;
      upper += format("%.1f,%.1f ", x, Y(col.hi));
      lower = format("%.1f,%.1f ", x, Y(col.lo)) + lower;
      mean += format("%.1f,%.1f ", x, Y(col.sum / col.n));
    }
    o << "<polygon fill=\"" << colour << "\" fill-opacity=\"0.3\" stroke=\"none\" points=\""
      << upper << lower << "\"/>\n";
    o << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1.2\" points=\""
      << mean << "\"/>\n";
  }
  // Drops as ticks along the top edge, one per pixel column at most.
  std::vector<bool> marked(static_cast<size_t>(kPlotW) + 1, false);
  for (double t : drops) {
    const double x = ax.x(t);
    const size_t c = static_cast<size_t>(x - kPlotLeft);
    if (c < marked.size() && marked[c]) continue;
    if (c < marked.size()) marked[c] = true;
    o << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << plotTop << "\" y2=\""
      << plotTop + 10 << "\" stroke=\"red\" stroke-width=\"1.5\"/>\n";
  }
  return kLaneHead + 14 * (rows - 1) + plotH + kLaneFoot;
}

// One lane with every stream's added latency over the session (the age of
// the first frame of each delivery, as the probes measured it; for long
// sessions the largest of each half second), on a shared logarithmic axis in
// ms, with a legend, the Wwise stalls shaded and breaks where a stream was
// not pulled. Returns the lane's height.
int addedLatencyLane(std::ostringstream& o, const SessionResult& r, const SessionConfig& c,
                     const TimeAxis& ax, int y0) {
  // Nine distinct colours, none of them the red of drops and stalls.
  static const char* const kColours[] = {"#1f77b4", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b",
                                         "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
  constexpr size_t kColourCount = sizeof(kColours) / sizeof(kColours[0]);
  std::vector<const StreamStats*> all{&r.uplink};
  for (const StreamStats& t : r.talkers) all.push_back(&t);
  double peak = 10;
  for (const StreamStats* st : all) {
    for (const TimePoint& p : st->latency.trace) peak = std::max(peak, p.v);
  }
  const double lo = 1.0;
  double hi = 10;
  while (hi < peak) hi *= 10;
  const double T = ax.T;

  o << "<text x=\"" << kPlotLeft << "\" y=\"" << y0 + 12 << "\" font-weight=\"bold\">"
    << escape(fitted(r.captured ? "added latency per stream (the age of what Wwise receives, "
                                  "found in its source)"
                                : "added latency per stream (the age of what Wwise receives, "
                                  "found in its source; the largest of each half second)",
                     kPlotW, true))
    << "</text>\n";
  std::vector<LegendEntry> entries;
  for (size_t i = 0; i < all.size(); ++i) {
    // "talker room1/42 -> object 100": the talker's channel/uid.
    const std::string& full = all[i]->name;
    const size_t arrow = full.find(" -> ");
    const std::string name =
        i == 0 ? "microphone"
               : full.substr(7, arrow == std::string::npos ? std::string::npos : arrow - 7);
    entries.push_back({"line", kColours[i % kColourCount],
                       all[i]->latency.trace.empty()
                           ? name + ": no data"
                           : format("%s: mean %.1f, max %.0f ms", name.c_str(),
                                    all[i]->latency.meanMs, all[i]->latency.maxMs)});
  }
  if (!c.stalls.empty()) entries.push_back({"shade", "#f88", "Wwise stall"});
  const int rows = legend(o, entries, y0 + 28);
  const int plotTop = y0 + kLaneHead + 14 * (rows - 1), plotH = kLogPlotH;
  auto Y = [&](double v) {
    const double f =
        (std::log10(std::max(v, lo)) - std::log10(lo)) / (std::log10(hi) - std::log10(lo));
    return plotTop + plotH - plotH * std::min(1.0, f);
  };
  for (const SpanConfig& st : c.stalls) {
    o << "<rect x=\"" << ax.x(st.at) << "\" y=\"" << plotTop << "\" width=\""
      << std::max(1.5, ax.x(st.at + st.seconds) - ax.x(st.at)) << "\" height=\"" << plotH
      << "\" fill=\"#f88\" fill-opacity=\"0.5\"/>\n";
  }
  timeGridAndLabels(o, ax, plotTop, plotH);
  for (double v = lo; v <= hi * 1.001; v *= 10) {
    for (double m : {1.0, 2.0, 5.0}) {
      const double tick = v * m;
      if (tick > hi * 1.001) break;
      o << "<line x1=\"" << kPlotLeft - 4 << "\" x2=\"" << kPlotLeft + kPlotW << "\" y1=\""
        << Y(tick) << "\" y2=\"" << Y(tick) << "\" stroke=\"" << (m == 1.0 ? "#d8d8d8" : "#eee")
        << "\"/>\n";
      o << "<text x=\"" << kPlotLeft - 6 << "\" y=\"" << Y(tick) + 4 << "\" text-anchor=\"end\">"
        << format("%g", tick) << "</text>\n";
    }
  }
  yTitle(o, "ms (log scale)", plotTop, plotH);
  o << "<rect x=\"" << kPlotLeft << "\" y=\"" << plotTop << "\" width=\"" << kPlotW
    << "\" height=\"" << plotH << "\" fill=\"none\" stroke=\"#999\"/>\n";
  bool any = false;
  for (size_t i = 0; i < all.size(); ++i) {
    const char* colour = kColours[i % kColourCount];
    // A new line wherever deliveries pause for more than a second (and more
    // than three pixels: the points are decimated to a low and a high per
    // pixel column, which draws each column's range).
    const std::vector<TimePoint> pts = decimate(all[i]->latency.trace, T, kPlotW);
    any = any || !pts.empty();
    const double pause = std::max(1.0, 3.0 * T / kPlotW);
    bool open = false;
    double lastT = -1e9;
    for (const TimePoint& p : pts) {
      if (open && p.t - lastT > pause) {
        o << "\"/>\n";
        open = false;
      }
      if (!open) {
        o << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1\" points=\"";
        open = true;
      }
      o << format("%.1f,%.1f ", ax.x(p.t), Y(p.v));
      lastT = p.t;
    }
    if (open) o << "\"/>\n";
  }
  if (!any) {
    o << "<text x=\"" << kPlotLeft + kPlotW / 2 << "\" y=\"" << plotTop + plotH / 2
      << "\" text-anchor=\"middle\" fill=\"#777\">no data</text>\n";
  }
  return kLaneHead + 14 * (rows - 1) + plotH + kLaneFoot;
}

}  // namespace

std::string formatReport(const SessionResult& r, const SessionConfig& c) {
  std::string s;
  s += format("KivraWwiseWrapper demo session: %s clock, %.2f s of audio, Wwise frames of %d, %s\n",
              r.clockName.c_str(), r.seconds, r.wwiseFrames,
              r.verify ? "verify mode (identity effect)" : format("mic gain %.2f", r.gain).c_str());
  s += format("  Wwise: %d Hz (%s), %s master bus, %s voice buffers\n", r.wwiseRate,
              r.toldRate == 0             ? "not told: the bridge serves 48000"
              : r.toldRate == r.wwiseRate ? "told through KW_SetWwiseSampleRate"
                                          : format("the bridge was told %d", r.toldRate).c_str(),
              wwiseChannelsName(r.wwiseChannels), r.monoVoices ? "mono" : "stereo");
  s += format("  microphone: %s; %zu remote talker(s); ran in %.2f s of wall time\n",
              c.micWav.empty() ? "synthesised voice" : c.micWav.c_str(), c.talkers.size(),
              r.wallSeconds);
  for (const TalkerConfig& t : c.talkers) {
    s += format("    talker channel %s uid %u -> game object %llu at (%.1f, %.1f, %.1f): %s\n",
                t.channel.c_str(), t.uid, static_cast<unsigned long long>(t.object), t.pos.x,
                t.pos.y, t.pos.z, t.wav.empty() ? "synthesised voice" : t.wav.c_str());
  }
  s += "\n";
  s += format("  %-44s %7s %7s %8s %8s %9s %8s\n", "stream", "blocks", "seconds", "drop:log",
              "drop:cnt", "underruns", "queued");
  s += row(r.uplink);
  for (const StreamStats& t : r.talkers) s += row(t);
  s += row(r.reverse);
  s += "  (blocks of 10 ms; drop:log = the bridge's overflow lines, drop:cnt = from sample\n"
       "   accounting; queued = frames still in the bridge when the session ended)\n\n";
  s += format(
      "  latency microphone -> published: mean %.2f ms, max %.2f ms over %lld samples\n"
      "    (from the engine handing a block to the bridge to that sample position arriving on\n"
      "     the direct track, by sample position)\n",
      r.latencyMeanMs, r.latencyMaxMs, static_cast<long long>(r.latencySamples));
  s += format(
      "\n  added latency per stream, measured from the audio: each frame Wwise receives is found\n"
      "  in its source; its age is the time since the engine handed it to the bridge\n"
      "  (clocks: engine %+.0f ppm, Wwise %+.0f ppm; %zu Wwise stall(s))\n",
      c.enginePpm, c.wwisePpm, c.stalls.size());
  s += latencySection(r.uplink, r.seconds);
  for (const StreamStats& t : r.talkers) s += latencySection(t, r.seconds);
  s += "\n";
  s += format(
      "  bridge time per 10 ms of audio: %.2f us in engine callbacks + %.2f us in Wwise "
      "callbacks = %.2f us (wall time inside the calls)\n",
      r.observerUsPer10ms, r.pluginUsPer10ms, r.observerUsPer10ms + r.pluginUsPer10ms);
  const bool converted = r.wwiseRate != kRate || (r.toldRate != 0 && r.toldRate != kRate);
  const std::string content =
      !r.captured ? std::string("checked by the probes (a long session keeps no audio)")
      : converted
          ? format("checked by the probes (at %d Hz the engine converts the rate)", r.wwiseRate)
      : r.uplink.samples == 0 ? std::string("nothing was published, nothing to compare")
      : r.uplinkContentDiffs != 0
          ? format("%lld samples differ from their microphone sample",
                   static_cast<long long>(r.uplinkContentDiffs))
          : (r.verify ? "every sample the exact value of its microphone sample"
                      : "every sample its microphone sample through the gain (within one step)");
  s += format("  published content: %s\n", content.c_str());
  for (const StreamStats& t : r.talkers) {
    s +=
        format("  %s content: %s\n", t.name.c_str(),
               t.samples == 0 ? "Wwise received nothing, nothing to compare"
               : converted    ? "checked by the probes (the engine converts the rate)"
               : t.contentDiffs == 0
                   ? "every sample Wwise received is the talker's own, in order"
                   : format("%lld samples differ", static_cast<long long>(t.contentDiffs)).c_str());
  }
  s += format(
      "  engine's own microphone send: %s\n",
      r.micNotSilenced == 0
          ? "silenced by the bridge"
          : format("%lld samples NOT silenced", static_cast<long long>(r.micNotSilenced)).c_str());
  s += format("  AEC reference vs the speakers' mix: %s\n",
              converted || r.wwiseChannels != 2
                  ? "not compared sample for sample (the engine keeps it at 48 kHz, downmixed)"
              : r.aecMismatches == 0
                  ? "identical"
                  : format("%lld samples differ", static_cast<long long>(r.aecMismatches)).c_str());
  s += format("  speakers: left %.1f dBFS, right %.1f dBFS (RMS)\n", r.speakersLeftDb,
              r.speakersRightDb);
  s += format("  bridge log: %lld lines\n", static_cast<long long>(r.logLines));
  if (r.verify) s += "  verify: " + r.verifyMessage + "\n";
  s += "\n  outputs:\n";
  for (const std::string& f : r.files) s += "    " + f + "\n";
  return s;
}

std::string timelineSvg(const SessionResult& r, const SessionConfig& c) {
  const TimeAxis ax(r.seconds);
  // Queue-depth lanes exist for undisturbed sessions only (see runSession);
  // the added-latency lane, one line per stream, for every session.
  const bool depths = !r.micDepth.empty();
  std::ostringstream body;
  int y = 52;
  if (depths) {
    y += linearLane(body, ax, y,
                    "microphone queue (frames the engine pushed minus frames Wwise pulled)",
                    r.micDepth, r.micDrops, true, "#1f77b4", "queued", "frames", 480);
    for (size_t i = 0; i < r.talkerDepth.size(); ++i) {
      const TalkerConfig& t = c.talkers[i];
      y += linearLane(body, ax, y,
                      "talker " + t.channel + "/" + std::to_string(t.uid) + " queue (game object " +
                          std::to_string(t.object) + ")",
                      r.talkerDepth[i], r.talkerDrops[i], true, "#2ca02c", "queued", "frames", 480);
    }
  }
  if (!r.latency.empty()) {
    y += linearLane(body, ax, y,
                    "latency microphone -> published (first sample of each 10 ms block)", r.latency,
                    {}, false, "#d62728", "latency", "ms", 10);
  }
  y += addedLatencyLane(body, r, c, ax, y);
  // The time axis title under the last lane's labels.
  body << "<text x=\"" << kPlotLeft + kPlotW / 2 << "\" y=\"" << y - 4
       << "\" text-anchor=\"middle\">" << ax.title << "</text>\n";
  const int height = y + 8;

  std::ostringstream o;
  o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kSvgWidth << "\" height=\"" << height
    << "\" font-family=\"sans-serif\" font-size=\"11\">\n";
  o << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  o << "<text x=\"" << kPlotLeft << "\" y=\"20\" font-size=\"13\" font-weight=\"bold\">"
    << (depths ? "Queue depths, drops and latency" : "Added latency over the session")
    << "</text>\n";
  o << "<text x=\"" << kPlotLeft << "\" y=\"36\">"
    << escape(fitted(format("%s clock, %.2f s, Wwise buffers of %d frames; engine %+.0f ppm, "
                            "Wwise %+.0f ppm; a queue holds 9600 frames (200 ms)",
                            r.clockName.c_str(), r.seconds, r.wwiseFrames, c.enginePpm, c.wwisePpm),
                     kPlotW))
    << "</text>\n";
  o << body.str();
  o << "</svg>\n";
  return o.str();
}

}  // namespace demo
}  // namespace kivra

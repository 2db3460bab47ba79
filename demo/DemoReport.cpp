#include "DemoReport.h"

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

// The height of the added-latency lane, taller than the others: it carries
// every stream on a logarithmic axis.
constexpr int kLatencyLaneHeight = 230;

// One lane with every stream's added latency over the session (the age of
// the first frame of each delivery, as the probes measured it; for long
// sessions the largest of each half second), on a shared logarithmic axis in
// ms, with a legend, the Wwise stalls shaded and breaks where a stream was
// not pulled.
void addedLatencyLane(std::ostringstream& o, const SessionResult& r, const SessionConfig& c, int y0,
                      int left, int plotW, double T) {
  static const char* const kColours[] = {"#1f77b4", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};
  std::vector<const StreamStats*> all{&r.uplink};
  for (const StreamStats& t : r.talkers) all.push_back(&t);
  double peak = 10;
  for (const StreamStats* st : all) {
    for (const TimePoint& p : st->latency.trace) peak = std::max(peak, p.v);
  }
  const double lo = 1.0;
  double hi = 10;
  while (hi < peak) hi *= 10;
  const int plotTop = y0 + 34, plotH = kLatencyLaneHeight - 34;
  auto X = [&](double t) { return left + plotW * std::min(1.0, std::max(0.0, t / T)); };
  auto Y = [&](double v) {
    const double f =
        (std::log10(std::max(v, lo)) - std::log10(lo)) / (std::log10(hi) - std::log10(lo));
    return plotTop + plotH - plotH * std::min(1.0, f);
  };
  o << "<text x=\"" << left << "\" y=\"" << y0 + 12 << "\">added latency per stream, ms, "
    << "logarithmic (the age of what Wwise receives, found in its source; red: Wwise stalls)"
    << "</text>\n";
  for (const SpanConfig& st : c.stalls) {
    o << "<rect x=\"" << X(st.at) << "\" y=\"" << plotTop << "\" width=\""
      << std::max(1.5, X(st.at + st.seconds) - X(st.at)) << "\" height=\"" << plotH
      << "\" fill=\"#f88\" fill-opacity=\"0.5\"/>\n";
  }
  o << "<rect x=\"" << left << "\" y=\"" << plotTop << "\" width=\"" << plotW << "\" height=\""
    << plotH << "\" fill=\"none\" stroke=\"#999\"/>\n";
  for (double v = lo; v <= hi * 1.001; v *= 10) {
    for (double m : {1.0, 2.0, 5.0}) {
      const double tick = v * m;
      if (tick > hi * 1.001) break;
      o << "<line x1=\"" << left << "\" x2=\"" << left + plotW << "\" y1=\"" << Y(tick)
        << "\" y2=\"" << Y(tick) << "\" stroke=\"" << (m == 1.0 ? "#ddd" : "#f0f0f0") << "\"/>\n";
      o << "<text x=\"" << left - 4 << "\" y=\"" << Y(tick) + 4 << "\" text-anchor=\"end\">"
        << format("%g", tick) << "</text>\n";
    }
  }
  for (size_t i = 0; i < all.size(); ++i) {
    const char* colour = kColours[i % 5];
    // A new line wherever deliveries pause for more than a second (and more
    // than three pixels: the points are decimated to two per pixel).
    const std::vector<TimePoint> pts = decimate(all[i]->latency.trace, T, plotW);
    const double pause = std::max(1.0, 3.0 * T / plotW);
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
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.1f,%.1f ", X(p.t), Y(p.v));
      o << buf;
      lastT = p.t;
    }
    if (open) o << "\"/>\n";
    const int ly = y0 + 28;
    const int lx = left + 230 * static_cast<int>(i);
    o << "<line x1=\"" << lx << "\" x2=\"" << lx + 14 << "\" y1=\"" << ly - 4 << "\" y2=\""
      << ly - 4 << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/>\n";
    o << "<text x=\"" << lx + 18 << "\" y=\"" << ly << "\">"
      << escape(format("%s: mean %.1f, max %.0f ms",
                       i == 0 ? "microphone" : all[i]->name.substr(7, 8).c_str(),
                       all[i]->latency.meanMs, all[i]->latency.maxMs))
      << "</text>\n";
  }
}

}  // namespace

std::string formatReport(const SessionResult& r, const SessionConfig& c) {
  std::string s;
  s += format("KivraWwiseWrapper demo session: %s clock, %.2f s of audio, Wwise frames of %d, %s\n",
              r.clockName.c_str(), r.seconds, r.wwiseFrames,
              r.verify ? "verify mode (identity effect)" : format("mic gain %.2f", r.gain).c_str());
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
  const std::string content =
      !r.captured ? std::string("checked by the probes (a long session keeps no audio)")
      : r.uplinkContentDiffs != 0
          ? format("%lld samples differ from their microphone sample",
                   static_cast<long long>(r.uplinkContentDiffs))
          : (r.verify ? "every sample the exact value of its microphone sample"
                      : "every sample its microphone sample through the gain (within one step)");
  s += format("  published content: %s\n", content.c_str());
  for (const StreamStats& t : r.talkers) {
    s +=
        format("  %s content: %s\n", t.name.c_str(),
               t.contentDiffs == 0
                   ? "every sample Wwise received is the talker's own, in order"
                   : format("%lld samples differ", static_cast<long long>(t.contentDiffs)).c_str());
  }
  s += format(
      "  engine's own microphone send: %s\n",
      r.micNotSilenced == 0
          ? "silenced by the bridge"
          : format("%lld samples NOT silenced", static_cast<long long>(r.micNotSilenced)).c_str());
  s += format("  AEC reference vs the speakers' mix: %s\n",
              r.aecMismatches == 0
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
  const int width = 960, left = 96, right = 20, laneH = 110, gap = 30, top = 40;
  const int plotW = width - left - right;
  // Queue-depth lanes exist for undisturbed sessions only (see runSession);
  // the added-latency lane, one line per stream, for every session.
  const bool depths = !r.micDepth.empty();
  const size_t depthLanes = depths ? 1 + r.talkerDepth.size() : 0;
  const size_t lanes = depthLanes + (r.latency.empty() ? 0 : 1) + 1;
  const int height =
      top + static_cast<int>(lanes - 1) * (laneH + gap) + kLatencyLaneHeight + gap + 20;
  const double T = std::max(r.seconds, 0.01);
  std::ostringstream o;
  o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
    << "\" font-family=\"sans-serif\" font-size=\"11\">\n";
  o << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  o << "<text x=\"" << left << "\" y=\"20\" font-size=\"12\">"
    << (depths ? "Queue depths, drops and latency" : "Added latency over the session") << " ("
    << escape(r.clockName) << " clock, " << r.wwiseFrames
    << format(
           "-frame Wwise buffers, %.0f s; engine %+.0f ppm, Wwise %+.0f ppm; a queue holds "
           "9600 frames)</text>\n",
           r.seconds, c.enginePpm, c.wwisePpm);

  auto lane = [&](size_t index, const std::string& title, const std::vector<TimePoint>& pts,
                  const std::vector<double>& drops, const char* colour, const char* unit,
                  double minMax) {
    const int y0 = top + static_cast<int>(index) * (laneH + gap);
    double peak = 0;
    for (const TimePoint& p : pts) peak = std::max(peak, p.v);
    const double vmax = std::max(minMax, peak) * 1.1;
    auto Y0 = [&](double v) { return y0 + laneH - (laneH - 18) * (v / vmax); };
    o << "<text x=\"" << left << "\" y=\"" << y0 + 12 << "\">" << escape(title) << "</text>\n";
    o << "<rect x=\"" << left << "\" y=\"" << y0 + 16 << "\" width=\"" << plotW << "\" height=\""
      << laneH - 16 << "\" fill=\"none\" stroke=\"#999\"/>\n";
    o << "<text x=\"" << left - 4 << "\" y=\"" << Y0(peak) + 4 << "\" text-anchor=\"end\">"
      << format("%.0f", peak) << " " << unit << "</text>\n";
    o << "<line x1=\"" << left << "\" x2=\"" << left + plotW << "\" y1=\"" << Y0(peak) << "\" y2=\""
      << Y0(peak) << "\" stroke=\"#ccc\" stroke-dasharray=\"3,3\"/>\n";
    o << "<text x=\"" << left - 4 << "\" y=\"" << y0 + laneH << "\" text-anchor=\"end\">0</text>\n";
    auto X = [&](double t) { return left + plotW * std::min(1.0, std::max(0.0, t / T)); };
    auto Y = [&](double v) { return y0 + laneH - (laneH - 18) * (v / vmax); };
    o << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1\" points=\"";
    for (const TimePoint& p : decimate(pts, T, plotW)) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.1f,%.1f ", X(p.t), Y(p.v));
      o << buf;
    }
    o << "\"/>\n";
    for (double t : drops) {
      o << "<line x1=\"" << X(t) << "\" x2=\"" << X(t) << "\" y1=\"" << y0 + 16 << "\" y2=\""
        << y0 + laneH << "\" stroke=\"red\" stroke-width=\"1.5\"/>\n";
    }
    if (!drops.empty()) {
      o << "<text x=\"" << left + plotW << "\" y=\"" << y0 + 12
        << "\" text-anchor=\"end\" fill=\"red\">" << drops.size() << " dropped block(s)</text>\n";
    }
  };

  if (depths) {
    lane(0, "microphone queue (frames the engine pushed minus frames Wwise pulled)", r.micDepth,
         r.micDrops, "#1f77b4", "frames", 480);
  }
  for (size_t i = 0; depths && i < r.talkerDepth.size(); ++i) {
    const TalkerConfig& t = c.talkers[i];
    lane(1 + i,
         "talker " + t.channel + "/" + std::to_string(t.uid) + " queue (game object " +
             std::to_string(t.object) + ")",
         r.talkerDepth[i], r.talkerDrops[i], "#2ca02c", "frames", 480);
  }
  if (!r.latency.empty()) {
    lane(depthLanes, "latency microphone -> published (first sample of each 10 ms block)",
         r.latency, {}, "#d62728", "ms", 10);
  }
  addedLatencyLane(o, r, c, top + static_cast<int>(lanes - 1) * (laneH + gap), left, plotW, T);
  const int yAxis = top + static_cast<int>(lanes - 1) * (laneH + gap) + kLatencyLaneHeight + 14;
  if (T >= 120.0) {
    // Minutes, at round steps.
    double step = 1;
    for (double s : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0}) {
      step = s;
      if (T / 60.0 / s <= 12) break;
    }
    for (double m = 0; m * 60 <= T + 1e-6; m += step) {
      const double x = left + plotW * std::min(1.0, m * 60 / T);
      o << "<text x=\"" << x << "\" y=\"" << yAxis << "\" text-anchor=\""
        << (m * 60 >= T - 1e-6 ? "end" : "middle") << "\">" << format("%.0f min", m) << "</text>\n";
    }
  } else {
    for (int k = 0; k <= 10; ++k) {
      const double t = T * k / 10.0;
      o << "<text x=\"" << left + plotW * k / 10 << "\" y=\"" << yAxis << "\" text-anchor=\""
        << (k == 10 ? "end" : "middle") << "\">" << format("%.2f s", t) << "</text>\n";
    }
  }
  o << "</svg>\n";
  return o.str();
}

}  // namespace demo
}  // namespace kivra

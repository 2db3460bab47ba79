// The demo's timeline picture at short and long sessions: every text inside
// the picture and clear of every other, time ticks on round values, labelled
// axes, and no series drawn with more points than the plot has room for.
// Text boxes are estimated from the font size (0.6 em per character, bold a
// tenth wider), as a renderer with a common sans-serif font lays them out.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "DemoReport.h"
#include "DemoSession.h"

using namespace kivra::demo;

namespace {

struct Box {
  std::string text;
  double x0, y0, x1, y1;
};

struct Svg {
  double width = 0, height = 0;
  std::vector<Box> texts;
  std::vector<std::string> numericMiddle;  // (y, text) of centred numbers
  std::vector<double> numericMiddleY;
  size_t maxPoints = 0;
  size_t bytes = 0;
};

std::string unescape(std::string s) {
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at)) {
      s.replace(at, from.size(), to);
    }
  }
  return s;
}

bool isNumber(const std::string& s) {
  static const std::regex number("-?[0-9]+(\\.[0-9]+)?");
  return std::regex_match(s, number);
}

Svg parse(const std::string& svg) {
  Svg out;
  out.bytes = svg.size();
  std::smatch m;
  static const std::regex head("<svg[^>]*width=\"([0-9.]+)\" height=\"([0-9.]+)\"");
  if (std::regex_search(svg, m, head)) {
    out.width = std::stod(m[1]);
    out.height = std::stod(m[2]);
  }
  static const std::regex text("<text([^>]*)>([^<]*)</text>");
  static const std::regex attr("([a-z-]+)=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), text); it != std::sregex_iterator();
       ++it) {
    const std::string attrs = (*it)[1], content = unescape((*it)[2]);
    double x = 0, y = 0, size = 11;
    bool bold = false, rotated = false;
    std::string anchor = "start";
    for (auto a = std::sregex_iterator(attrs.begin(), attrs.end(), attr);
         a != std::sregex_iterator(); ++a) {
      const std::string k = (*a)[1], v = (*a)[2];
      if (k == "x") x = std::stod(v);
      if (k == "y") y = std::stod(v);
      if (k == "font-size") size = std::stod(v);
      if (k == "font-weight") bold = v == "bold";
      if (k == "text-anchor") anchor = v;
      if (k == "transform") rotated = true;
    }
    const double w = static_cast<double>(content.size()) * 0.6 * size * (bold ? 1.1 : 1.0);
    double start = anchor == "middle" ? -w / 2 : anchor == "end" ? -w : 0;
    Box b{content, x + start, y - 0.8 * size, x + start + w, y + 0.2 * size};
    if (rotated) b = {content, x - 0.8 * size, y + start, x + 0.2 * size, y + start + w};
    out.texts.push_back(b);
    if (anchor == "middle" && !rotated && isNumber(content)) {
      out.numericMiddle.push_back(content);
      out.numericMiddleY.push_back(y);
    }
  }
  static const std::regex points("points=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), points); it != std::sregex_iterator();
       ++it) {
    const std::string p = (*it)[1];
    size_t n = 0;
    for (char c : p) n += c == ',';
    out.maxPoints = std::max(out.maxPoints, n);
  }
  return out;
}

// A session result as the demo fills it: queue depths that rise and fall
// with every engine block and Wwise frame (about 150 points a second), a
// drop now and then, and the latency traces.
SessionResult result(double seconds, size_t talkers, bool withData) {
  SessionResult r;
  r.clockName = "virtual";
  r.seconds = seconds;
  r.wwiseFrames = 1024;
  r.captured = seconds <= kCaptureSeconds;
  auto saw = [&](double scale) {
    std::vector<TimePoint> v;
    if (!withData) return v;
    for (double t = 0; t < seconds; t += 1.0 / 150) {
      v.push_back({t, scale * (0.5 + 0.5 * std::sin(t * 300.0))});
    }
    return v;
  };
  std::vector<double> drops;
  for (int k = 0; withData && k < 7; ++k) drops.push_back(seconds * (k + 0.5) / 7);
  r.micDepth = saw(1400);
  r.micDrops = drops;
  if (r.captured) r.latency = saw(20);
  r.uplink.name = "microphone -> published (direct track)";
  r.uplink.latency.trace = saw(30);
  r.uplink.latency.meanMs = 15;
  r.uplink.latency.maxMs = 30;
  for (size_t i = 0; i < talkers; ++i) {
    r.talkerDepth.push_back(saw(1000));
    r.talkerDrops.push_back(drops);
    StreamStats s;
    s.name = "talker a-rather-long-channel-name/" + std::to_string(4000000000u + i) +
             " -> object 18446744073709551615";
    s.latency.trace = saw(25);
    r.talkers.push_back(s);
  }
  if (!r.captured) {
    // Long sessions keep no depth series.
    r.micDepth.clear();
    r.micDrops.clear();
    r.talkerDepth.clear();
    r.talkerDrops.clear();
  }
  return r;
}

SessionConfig config(size_t talkers) {
  SessionConfig c;
  for (size_t i = 0; i < talkers; ++i) {
    TalkerConfig t;
    t.channel = "a-rather-long-channel-name";
    t.uid = 4000000000u + static_cast<uint32_t>(i);
    t.object = 18446744073709551615ull;
    c.talkers.push_back(t);
  }
  c.stalls.push_back({1.0, 0.3});
  return c;
}

void expectReadable(const Svg& svg, const std::string& what) {
  ASSERT_GT(svg.width, 0) << what;
  ASSERT_GT(svg.height, 0) << what;
  for (const Box& b : svg.texts) {
    EXPECT_GE(b.x0, 0) << what << ": '" << b.text << "' starts left of the picture";
    EXPECT_LE(b.x1, svg.width) << what << ": '" << b.text << "' runs past the right edge";
    EXPECT_GE(b.y0, 0) << what << ": '" << b.text << "' above the picture";
    EXPECT_LE(b.y1, svg.height) << what << ": '" << b.text << "' below the picture";
  }
  for (size_t i = 0; i < svg.texts.size(); ++i) {
    for (size_t j = i + 1; j < svg.texts.size(); ++j) {
      const Box &a = svg.texts[i], &b = svg.texts[j];
      const double w = std::min(a.x1, b.x1) - std::max(a.x0, b.x0);
      const double h = std::min(a.y1, b.y1) - std::max(a.y0, b.y0);
      EXPECT_FALSE(w > 0.5 && h > 0.5)
          << what << ": '" << a.text << "' and '" << b.text << "' overlap";
    }
  }
}

// The labels of the last row of time ticks: 0, s, 2s, ... with s one of 1, 2
// or 5 times a power of ten, reaching the end of the session.
void expectRoundTimeTicks(const Svg& svg, double end, const std::string& what) {
  double lastY = 0;
  for (double y : svg.numericMiddleY) lastY = std::max(lastY, y);
  std::vector<double> v;
  for (size_t i = 0; i < svg.numericMiddle.size(); ++i) {
    if (svg.numericMiddleY[i] == lastY) v.push_back(std::stod(svg.numericMiddle[i]));
  }
  ASSERT_GE(v.size(), 3u) << what;
  const double step = v[1] - v[0];
  EXPECT_EQ(v[0], 0) << what;
  const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
  EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-6 || std::fabs(mantissa - 2) < 1e-6 ||
              std::fabs(mantissa - 5) < 1e-6)
      << what << ": step " << step;
  for (size_t i = 1; i < v.size(); ++i) EXPECT_NEAR(v[i] - v[i - 1], step, 1e-6) << what;
  EXPECT_LE(v.back(), end + 1e-6) << what;
  EXPECT_GT(v.back() + step, end - 1e-6) << what << ": the ticks stop short of the end";
}

bool has(const Svg& svg, const std::string& text) {
  for (const Box& b : svg.texts) {
    if (b.text == text) return true;
  }
  return false;
}

}  // namespace

TEST(DemoTimeline, ReadableAtEverySessionLength) {
  const struct {
    double seconds;
    double end;  // in the axis unit
    const char* axis;
  } cases[] = {{1.0, 1.0, "session time (s)"},      {4.0, 4.0, "session time (s)"},
               {60.0, 60.0, "session time (s)"},    {119.0, 119.0, "session time (s)"},
               {600.0, 10.0, "session time (min)"}, {3600.0, 60.0, "session time (min)"}};
  for (const auto& c : cases) {
    for (size_t talkers : {size_t{0}, size_t{2}, size_t{5}}) {
      const std::string what =
          std::to_string(c.seconds) + " s, " + std::to_string(talkers) + " talker(s)";
      const Svg svg = parse(timelineSvg(result(c.seconds, talkers, true), config(talkers)));
      expectReadable(svg, what);
      expectRoundTimeTicks(svg, c.end, what);
      EXPECT_TRUE(has(svg, c.axis)) << what;
      EXPECT_TRUE(has(svg, "ms (log scale)")) << what;
      if (c.seconds <= kCaptureSeconds) {
        EXPECT_TRUE(has(svg, "frames")) << what << ": the queue lanes' y axis has no title";
        EXPECT_TRUE(has(svg, "ms")) << what;
        EXPECT_TRUE(has(svg, "dropped 10 ms block (7)")) << what << ": drops not in the legend";
      }
      // Dense series are drawn per pixel column, whatever the length.
      EXPECT_LE(svg.maxPoints, 2u * 960u) << what;
      EXPECT_LT(svg.bytes, 2u * 1024u * 1024u) << what;
    }
  }
}

TEST(DemoTimeline, NoDataIsSaidNotDrawnOverlapping) {
  for (double seconds : {1.0, 4.0, 600.0}) {
    const std::string what = std::to_string(seconds) + " s without data";
    SessionResult r = result(seconds, 1, false);
    // The depth lanes exist (one point each) but nothing was delivered.
    if (r.captured) {
      r.micDepth = {{0, 0}};
      r.talkerDepth = {{{0, 0}}};
      r.talkerDrops = {{}};
    }
    const Svg svg = parse(timelineSvg(r, config(1)));
    expectReadable(svg, what);
    EXPECT_TRUE(has(svg, "no data")) << what;
    EXPECT_TRUE(has(svg, "microphone: no data")) << what;
  }
}

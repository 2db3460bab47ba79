// kivra_demo: a simulated voice session through KivraWwiseWrapper, loaded the
// way a game loads it, with real audio in and out. See docs/DEMO.md.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DemoEcho.h"
#include "DemoLive.h"
#include "DemoReport.h"
#include "DemoSession.h"

namespace {

using kivra::demo::SessionConfig;
using kivra::demo::TalkerConfig;

const char* kUsage =
    "Usage: kivra_demo [options]\n"
    "Runs a simulated voice session through libKivraWwiseWrapper: a simulated voice engine\n"
    "records the microphone and plays remote talkers, a simulated Wwise pulls them through the\n"
    "bridge, spatialises the talkers and pushes its mix back. With no options it runs a\n"
    "built-in 4-second session (synthesised voices, one talker left, one right).\n"
    "\n"
    "Options:\n"
    "  --mic FILE          microphone input (any file libsndfile reads; converted to 48 kHz\n"
    "                      stereo); default: a synthesised voice\n"
    "  --talker LIST       a remote talker, repeatable; LIST is comma-separated key=value:\n"
    "                        channel=ID  RTC channel id (default room1)\n"
    "                        uid=N       remote user id (required, 1..4294967295)\n"
    "                        object=N    Wwise game object id (required)\n"
    "                        wav=FILE    the talker's audio (default: a synthesised voice)\n"
    "                        pos=X,Y,Z   position relative to the listener, metres;\n"
    "                                    x right, y up, z forward (default 0,0,1)\n"
    "                        virtual=AT+S  Wwise does not pull this voice for S seconds from\n"
    "                                    AT (a voice it virtualised); repeatable\n"
    "                      e.g. --talker channel=room1,uid=42,object=100,wav=a.wav,pos=-3,0,1\n"
    "                      default: two synthesised talkers at (-3,0,1) and (4,0,2)\n"
    "  --seconds S         session length, 1..3600 (default: the microphone's length, 4 s\n"
    "                      when synthesised). An input shorter than the session is followed\n"
    "                      by silence, a longer one is cut at its end\n"
    "  --clock real|virtual\n"
    "                      real: engine and Wwise threads sleep to absolute deadlines;\n"
    "                      virtual (default): the same interleaving as fast as the machine\n"
    "                      allows, identical outputs on every run\n"
    "  --wwise-frames N    frames per Wwise buffer, 16..16384 (default 1024)\n"
    "  --wwise-rate HZ     the rate Wwise renders at, told to the bridge before it binds\n"
    "                      (KW_SetWwiseSampleRate), 8000..96000 (default: not told, 48000)\n"
    "  --wwise-channels mono|stereo|5.1|7.1\n"
    "                      Wwise's master bus, and so the reverse stream (default stereo)\n"
    "  --mono-voices       Wwise pulls every talker into a one-channel buffer\n"
    "  --gain G            microphone effect gain, 0..16 (default 1.0)\n"
    "  --verify            identity microphone effect; check that the published track equals\n"
    "                      the microphone input sample for sample; exit 1 when it does not\n"
    "  --out DIR           output folder (default ./demo-out)\n"
    "  --channel ID        the microphone's RTC channel id (default room1)\n"
    "  --library PATH      libKivraWwiseWrapper to load (default: the one built with the demo)\n"
    "  --engine-ppm P      the voice engine's device clock runs P ppm fast (negative: slow),\n"
    "                      -1000..1000 (default 0)\n"
    "  --wwise-ppm P       the same for Wwise's output device (default 0)\n"
    "  --stall AT+S        Wwise's audio thread stalls for S seconds from AT (a loading hitch;\n"
    "                      the frames due meanwhile are never rendered); repeatable\n"
    "  --preset long       one hour of a game session: engine +100 ppm, Wwise -100 ppm, a 300 ms\n"
    "                      stall every four minutes and a 2 s one at 31:00, the second talker\n"
    "                      virtual from 20:00 for a minute (options after it change it)\n"
    "  --no-progress       no progress bar (it is drawn only on a terminal anyway)\n"
    "  --echo ...          the echo scenario instead (see kivra_demo --echo --help)\n"
    "  --live ...          the session live on the audio devices (see kivra_demo --live --help)\n"
    "  --help              this text\n"
    "\n"
    "Outputs in DIR: microphone.wav (the input as fed to the engine, cut or followed by\n"
    "silence to the session's length), published.wav (the direct track), aec_reference.wav\n"
    "(the AEC reference track), speakers.wav (the Wwise mix), timeline.svg, report.txt and\n"
    "the bridge's kivra_wwise_log.txt. Sessions over 120 s keep no\n"
    "audio: they loop their inputs and write no WAV files; the report gives each stream's\n"
    "added latency per minute. Inputs get -84 dBFS of dither so that every frame is unique.\n"
    "Exit status: 0 success, 1 verification failed, 2 bad arguments or inputs, 3 session error.\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "kivra_demo: %s\n(see kivra_demo --help)\n", message.c_str());
  return 2;
}

// A finite number: strtod also reads "nan" and "inf", which no option takes.
bool parseDouble(const std::string& s, double& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtod(s.c_str(), &end);
  return errno == 0 && end != nullptr && *end == '\0' && std::isfinite(out);
}

bool parseUnsigned(const std::string& s, unsigned long long max, unsigned long long& out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoull(s.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0' && out <= max;
}

// "AT+S": a span of S seconds from AT, both at least 0, S above 0.
bool parseSpan(const std::string& text, kivra::demo::SpanConfig& span) {
  const size_t plus = text.find('+');
  if (plus == std::string::npos) return false;
  double at = 0, seconds = 0;
  if (!parseDouble(text.substr(0, plus), at) || !parseDouble(text.substr(plus + 1), seconds)) {
    return false;
  }
  if (!(at >= 0) || at > 3600 || !(seconds > 0) || seconds > 3600) return false;
  span = {at, seconds};
  return true;
}

bool parseTalker(const std::string& desc, TalkerConfig& t, std::string& error) {
  bool haveUid = false, haveObject = false;
  std::vector<std::string> parts;
  // pos=X,Y,Z carries commas: a part without '=' continues the previous one.
  size_t start = 0;
  while (start <= desc.size()) {
    size_t comma = desc.find(',', start);
    if (comma == std::string::npos) comma = desc.size();
    std::string part = desc.substr(start, comma - start);
    if (part.find('=') == std::string::npos && !parts.empty()) {
      parts.back() += "," + part;
    } else {
      parts.push_back(part);
    }
    start = comma + 1;
  }
  for (const std::string& part : parts) {
    const size_t eq = part.find('=');
    if (eq == std::string::npos) {
      error = "'" + part + "' is not key=value";
      return false;
    }
    const std::string key = part.substr(0, eq), value = part.substr(eq + 1);
    unsigned long long n = 0;
    if (key == "channel") {
      if (value.empty()) {
        error = "channel must not be empty";
        return false;
      }
      t.channel = value;
    } else if (key == "uid") {
      if (!parseUnsigned(value, 0xFFFFFFFFull, n) || n == 0) {
        error = "uid '" + value + "' must be a number from 1 to 4294967295";
        return false;
      }
      t.uid = static_cast<uint32_t>(n);
      haveUid = true;
    } else if (key == "object") {
      if (!parseUnsigned(value, ~0ull, n)) {
        error = "object '" + value + "' must be an unsigned 64-bit number";
        return false;
      }
      t.object = n;
      haveObject = true;
    } else if (key == "wav") {
      t.wav = value;
    } else if (key == "pos") {
      double v[3];
      size_t s = 0;
      int k = 0;
      for (; k < 3; ++k) {
        size_t c = value.find(',', s);
        if (k < 2 && c == std::string::npos) break;
        if (k == 2) c = value.size();
        if (!parseDouble(value.substr(s, c - s), v[k]) || v[k] < -1e4 || v[k] > 1e4) break;
        s = c + 1;
      }
      if (k != 3) {
        error = "pos '" + value + "' must be three numbers X,Y,Z from -10000 to 10000 (metres)";
        return false;
      }
      t.pos = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
    } else if (key == "virtual") {
      kivra::demo::SpanConfig span;
      if (!parseSpan(value, span)) {
        error = "virtual '" + value + "' must be AT+SECONDS, e.g. 600+60";
        return false;
      }
      t.virtualSpans.push_back(span);
    } else {
      error = "unknown key '" + key + "' (channel, uid, object, wav, pos, virtual)";
      return false;
    }
  }
  if (!haveUid || !haveObject) {
    error = "uid= and object= are required";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The echo scenario has its own options: kivra_demo --echo --help.
  if (argc > 1 && std::strcmp(argv[1], "--echo") == 0) return kivra::demo::echoMain(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "--live") == 0) return kivra::demo::liveMain(argc, argv);
  SessionConfig config = kivra::demo::defaultSession();
  std::vector<TalkerConfig> talkers;
  bool noProgress = false, gainGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--mic") {
      if (!value(v) || v.empty()) return fail("--mic needs a file");
      config.micWav = v;
    } else if (arg == "--talker") {
      if (!value(v)) return fail("--talker needs a description");
      TalkerConfig t;
      std::string error;
      if (!parseTalker(v, t, error)) return fail("--talker '" + v + "': " + error);
      talkers.push_back(t);
    } else if (arg == "--seconds") {
      double s = 0;
      if (!value(v) || !parseDouble(v, s) || s < kivra::demo::kMinSeconds || s > 3600) {
        return fail("--seconds '" + v + "': must be a number of seconds from 1 to 3600");
      }
      config.seconds = s;
    } else if (arg == "--clock") {
      if (!value(v)) return fail("--clock needs real or virtual");
      if (v == "real") {
        config.clock = kivra::sim::ClockMode::Real;
      } else if (v == "virtual") {
        config.clock = kivra::sim::ClockMode::Virtual;
      } else {
        return fail("--clock '" + v + "': must be real or virtual");
      }
    } else if (arg == "--wwise-frames") {
      unsigned long long n = 0;
      if (!value(v) || !parseUnsigned(v, 16384, n) || n < 16) {
        return fail("--wwise-frames '" + v + "': must be a whole number from 16 to 16384");
      }
      config.wwiseFrames = static_cast<int>(n);
    } else if (arg == "--wwise-rate") {
      unsigned long long n = 0;
      if (!value(v) || !parseUnsigned(v, 96000, n) || n < 8000) {
        return fail("--wwise-rate '" + v + "': must be a whole number from 8000 to 96000");
      }
      config.wwiseRate = static_cast<int>(n);
      config.toldRate = config.wwiseRate;
    } else if (arg == "--wwise-channels") {
      if (!value(v) || !kivra::demo::parseWwiseChannels(v, config.wwiseChannels)) {
        return fail("--wwise-channels '" + v + "': must be mono, stereo, 5.1 or 7.1");
      }
    } else if (arg == "--mono-voices") {
      config.monoVoices = true;
    } else if (arg == "--gain") {
      double g = 0;
      if (!value(v) || !parseDouble(v, g) || !(g >= 0) || g > 16) {
        return fail("--gain '" + v + "': must be a number from 0 to 16");
      }
      config.gain = static_cast<float>(g);
      gainGiven = true;
    } else if (arg == "--verify") {
      config.verify = true;
    } else if (arg == "--out") {
      if (!value(v) || v.empty()) return fail("--out needs a folder");
      config.outDir = v;
    } else if (arg == "--channel") {
      if (!value(v) || v.empty()) return fail("--channel needs a channel id");
      config.channel = v;
    } else if (arg == "--library") {
      if (!value(v) || v.empty()) return fail("--library needs a path");
      config.libraryPath = v;
    } else if (arg == "--engine-ppm" || arg == "--wwise-ppm") {
      double ppm = 0;
      if (!value(v) || !parseDouble(v, ppm) || !(ppm >= -1000) || ppm > 1000) {
        return fail(arg + " '" + v + "': must be a number from -1000 to 1000");
      }
      (arg == "--engine-ppm" ? config.enginePpm : config.wwisePpm) = ppm;
    } else if (arg == "--stall") {
      kivra::demo::SpanConfig span;
      if (!value(v) || !parseSpan(v, span)) {
        return fail("--stall '" + v + "': must be AT+SECONDS, e.g. 30+0.3");
      }
      config.stalls.push_back(span);
    } else if (arg == "--preset") {
      if (!value(v) || v != "long") return fail("--preset '" + v + "': the one preset is long");
      const kivra::demo::SessionConfig preset = kivra::demo::longSession();
      config.preset = preset.preset;
      config.seconds = preset.seconds;
      config.enginePpm = preset.enginePpm;
      config.wwisePpm = preset.wwisePpm;
      config.stalls = preset.stalls;
      config.talkers = preset.talkers;
    } else if (arg == "--no-progress") {
      noProgress = true;
    } else {
      return fail("unknown argument '" + arg + "'");
    }
  }
  const bool disturbed =
      config.enginePpm != 0 || config.wwisePpm != 0 || !config.stalls.empty() ||
      std::any_of(config.talkers.begin(), config.talkers.end(),
                  [](const TalkerConfig& t) { return !t.virtualSpans.empty(); }) ||
      (talkers.empty() == false &&
       std::any_of(talkers.begin(), talkers.end(),
                   [](const TalkerConfig& t) { return !t.virtualSpans.empty(); }));
  if (config.verify && (disturbed || config.seconds > kivra::demo::kCaptureSeconds)) {
    return fail(
        "--verify: checks an undisturbed session of at most 120 s sample for sample; leave out "
        "--engine-ppm, --wwise-ppm, --stall, virtual= and --preset");
  }
  if (config.verify &&
      (config.wwiseRate != 48000 || config.wwiseChannels != 2 || config.monoVoices)) {
    return fail(
        "--verify: checks 48 kHz stereo sample for sample (at another rate the engine converts, "
        "and mono or surround buffers mix channels); leave out --wwise-rate, --wwise-channels "
        "and --mono-voices, or give --wwise-rate 48000");
  }
  if (config.verify && gainGiven && config.gain != 1.0f) {
    return fail("--gain: --verify uses the identity effect; leave --gain out");
  }
  if (!talkers.empty()) config.talkers = talkers;
  for (size_t a = 0; a < config.talkers.size(); ++a) {
    for (size_t b = a + 1; b < config.talkers.size(); ++b) {
      if (config.talkers[a].object == config.talkers[b].object) {
        return fail("--talker: game object " + std::to_string(config.talkers[a].object) +
                    " is given twice");
      }
      if (config.talkers[a].uid == config.talkers[b].uid &&
          config.talkers[a].channel == config.talkers[b].channel) {
        return fail("--talker: channel " + config.talkers[a].channel + " uid " +
                    std::to_string(config.talkers[a].uid) + " is given twice");
      }
    }
  }
  config.progress = !noProgress && isatty(STDERR_FILENO);

  std::string error;
  if (!kivra::demo::prepareInputs(config, error)) return fail(error);
  if (!kivra::demo::checkOutputs(config, error)) return fail(error);
  kivra::demo::SessionResult result;
  if (!kivra::demo::runSession(config, result, error)) {
    std::fprintf(stderr, "kivra_demo: %s\n", error.c_str());
    return 3;
  }
  std::fputs(kivra::demo::formatReport(result, config).c_str(), stdout);
  if (config.verify && !result.verifyOk) return 1;
  return 0;
}

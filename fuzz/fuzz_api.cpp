// The whole surface a game, the plugin side and the engine reach, driven by
// the input as a sequence of operations: the six exported functions, the six
// callbacks and the observer the engine holds. Arbitrary game object ids and
// uids, channel ids that are empty, very long or not UTF-8 (and null), Wwise
// buffers of any shape, engine frames of any size.
//
// Oracles: no crash and no out-of-bounds access (ASan, the buffers are sized
// exactly), the registry answers as a model of it predicts, a Wwise buffer is
// never declared filled beyond its capacity, an engine's recorded frame always
// leaves silenced, a remote talker's frame is never changed, and every frame
// reaching a custom track is a well-formed 48 kHz stereo frame.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FuzzInput.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "ak_wrapper_c_api.h"

using kivra::fuzz::fail;
using kivra::fuzz::FuzzInput;
namespace media = kivra::media;

namespace {

constexpr size_t kLongId = 100 * 1024;

class ExactProxy : public IAkAudioBufferProxy {
 public:
  ExactProxy(uint16_t capacity, uint32_t channelCount) : capacity_(capacity), count_(channelCount) {
    // Exactly the channels it reports, as a real buffer has.
    for (uint32_t c = 0; c < channelCount; ++c) channels_.emplace_back(new float[capacity]());
  }
  uint16_t CapacityFrames() override { return capacity_; }
  void MarkState(int state) override {
    if (state != 45) fail("MarkState with a state other than 45");
    ++markStates_;
  }
  void Reserved() override { fail("Reserved called"); }
  void SetFilledFrames(uint16_t frames) override {
    if (frames > capacity_) fail("buffer declared filled beyond its capacity");
    filled_ = frames;
    ++setFilled_;
  }
  uint16_t FilledFrames() override { return filled_; }
  uint32_t ChannelCount() override { return count_; }
  float* ChannelData(uint32_t index) override {
    if (index >= channels_.size()) fail("ChannelData asked for a channel the buffer does not have");
    return index < channels_.size() ? channels_[index].get() : nullptr;
  }

  uint16_t capacity_;
  uint32_t count_;
  std::vector<std::unique_ptr<float[]>> channels_;
  uint16_t filled_ = 0;
  int markStates_ = 0;
  int setFilled_ = 0;
};

std::unique_ptr<ExactProxy> makeProxy(FuzzInput& in) {
  static const uint16_t kCapacities[] = {0, 1, 480, 1024, 65535, 256, 2048, 7};
  const uint8_t shape = in.u8();
  uint16_t capacity = kCapacities[shape & 7];
  if (shape & 0x80) capacity = in.u16() % 4096;
  auto proxy = std::make_unique<ExactProxy>(capacity, in.u8() % 9);
  proxy->filled_ = capacity == 0 ? 0 : in.u16() % (capacity + 1);
  // A few floats from the input, repeated over the whole buffer.
  float pattern[4] = {in.f32(), in.f32(), in.f32(), in.f32()};
  for (auto& ch : proxy->channels_) {
    if (capacity < 4) {
      for (uint16_t i = 0; i < capacity; ++i) ch[i] = pattern[i];
      continue;
    }
    std::memcpy(ch.get(), pattern, sizeof pattern);
    for (size_t done = 4; done < capacity; done *= 2)
      std::memcpy(ch.get() + done, ch.get(),
                  sizeof(float) * std::min<size_t>(done, capacity - done));
  }
  return proxy;
}

const std::string& logDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/kivra-fuzz-api-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return std::string(d != nullptr ? d : "/tmp");
  }();
  return dir;
}

struct RegistryModel {
  std::map<unsigned long long, std::pair<std::string, unsigned>> fwd;
  std::map<std::pair<std::string, unsigned>, unsigned long long> rev;
  size_t longest = 0;
};

unsigned long long gameObjectId(FuzzInput& in) {
  switch (in.u8() & 3) {
    case 0:
      return 0;
    case 1:
      return ~0ull;
    case 2:
      return in.u8() % 8;
    default:
      return in.u64();
  }
}

unsigned uid(FuzzInput& in) {
  switch (in.u8() & 3) {
    case 0:
      return 0;
    case 1:
      return ~0u;
    default:
      return in.u8() % 8;
  }
}

void observerOp(FuzzInput& in, media::IAudioFrameObserver* obs) {
  const uint8_t which = in.u8() % 9;
  const std::string channel = in.str(kLongId);
  const bool nullChannel = (in.u8() & 7) == 0;
  const char* cid = nullChannel ? nullptr : channel.c_str();
  media::AudioFrame frame{};
  frame.type = media::FRAME_TYPE_PCM16;
  frame.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
  frame.samplesPerSec = 48000;
  frame.channels = static_cast<int>(in.u8() % 9) - 1;
  frame.samplesPerChannel = static_cast<int>(in.u16() % 1100) - 2;
  const long n = static_cast<long>(frame.channels) * frame.samplesPerChannel;
  std::vector<int16_t> samples(n > 0 ? static_cast<size_t>(n) : 0);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 7 + 1);
  const bool nullBuffer = (in.u8() & 15) == 0;
  frame.buffer = nullBuffer || samples.empty() ? nullptr : samples.data();
  const std::vector<int16_t> before = samples;

  switch (which) {
    case 0:
      obs->onRecordAudioFrame(cid, frame);
      // A frame with negative sizes cannot be trusted with any write.
      if (frame.channels < 0 || frame.samplesPerChannel < 0) {
        if (samples != before) fail("frame with negative sizes written");
        return;
      }
      for (int16_t s : samples)
        if (s != 0 && frame.buffer != nullptr) fail("recorded frame not silenced");
      return;
    case 1:
      obs->onPlaybackAudioFrame(cid, frame);
      break;
    case 2:
      obs->onPlaybackAudioFrameBeforeMixing(cid, uid(in), frame);
      if (samples != before) fail("remote talker's frame changed");
      return;
    case 3:
      obs->onPlaybackAudioFrameBeforeMixing(cid, static_cast<kivra::rtc::user_id_t>(cid), frame);
      break;
    case 4:
      obs->onMixedAudioFrame(cid, frame);
      break;
    case 5:
      obs->onEarMonitoringAudioFrame(frame);
      break;
    case 6: {
      // Stereo, 10 ms periods at a rate the bridge serves (48000 until told).
      const media::AudioParams rec = obs->getRecordAudioParams();
      const media::AudioParams play = obs->getPlaybackAudioParams();
      if (rec.channels != 2 || play.channels != 2) fail("record or playback params: channels");
      if (rec.sample_rate < 8000 || rec.sample_rate > 96000 || play.sample_rate != rec.sample_rate)
        fail("record or playback params: rate");
      if (rec.samples_per_call != rec.sample_rate / 100 * 2) fail("record params: not 10 ms");
    } break;
    case 7:
      obs->getMixedAudioParams();
      obs->getEarMonitoringAudioParams();
      break;
    default:
      obs->getObservedAudioFramePosition();
      break;
  }
  if (samples != before) fail("observer changed a frame it must leave alone");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  kivra::standin::RecordingRtcEngine engine;
  engine.setYieldMediaEngine(static_cast<int>(in.u8() % 4) - 1);
  RegistryModel model;

  while (!in.empty()) {
    switch (in.u8() % 13) {
      case 0: {  // KW_InitKivraWwisePlugin
        const uint8_t args = in.u8();
        int track = -7;
        const std::string missing = logDir() + "/missing/dir";
        const char* path = (args & 3) == 0   ? nullptr
                           : (args & 3) == 1 ? missing.c_str()
                                             : logDir().c_str();
        void* eng = (args & 4) ? nullptr : static_cast<kivra::rtc::IRtcEngine*>(&engine);
        const int r = KW_InitKivraWwisePlugin(eng, (args & 8) ? nullptr : &track, path);
        if (r != 0 && r != -1) fail("init result neither 0 nor -1");
        if (eng == nullptr && r != -1) fail("init with a null engine accepted");
        if (r == -1 && track != -7) fail("failed init wrote the out-argument");
        break;
      }
      case 1:
        if (KW_UninitKivraWwisePlugin() != 0) fail("uninit result not 0");
        model.fwd.clear();
        model.rev.clear();
        break;
      case 2: {  // KW_SetUidToGameObjectIDMapping
        const unsigned long long g = gameObjectId(in);
        const std::string c = in.str(kLongId);
        const unsigned u = uid(in);
        const bool nullId = (in.u8() & 15) == 0;
        const int r = KW_SetUidToGameObjectIDMapping(g, nullId ? nullptr : c.c_str(), u);
        if (!nullId) {
          if (r != 0) fail("mapping result not 0");
          model.fwd[g] = {c, u};
          model.rev[{c, u}] = g;
          if (c.size() > model.longest) model.longest = c.size();
        }
        break;
      }
      case 3: {  // KW_GetUidByGameObjectID into a buffer sized by the caller's rule
        const unsigned long long g = gameObjectId(in);
        const uint8_t nulls = in.u8();
        std::unique_ptr<char[]> buf(new char[model.longest + 1]);
        std::memset(buf.get(), 'q', model.longest + 1);
        unsigned u = 12345;
        const bool nullBuf = (nulls & 15) == 1, nullUid = (nulls & 15) == 2;
        const int r =
            KW_GetUidByGameObjectID(g, nullBuf ? nullptr : buf.get(), nullUid ? nullptr : &u);
        const auto it = model.fwd.find(g);
        if (nullBuf || nullUid) {
          if (r != -1) fail("look-up with a null out-argument accepted");
        } else if (it == model.fwd.end()) {
          if (r != -1 || u != 12345 || buf[0] != 'q') fail("look-up of an unmapped object");
        } else {
          if (r != 0) fail("look-up of a mapped object failed");
          if (it->second.first != buf.get() || it->second.second != u)
            fail("look-up returned another talker");
        }
        break;
      }
      case 4: {  // KW_ClearReceiveOpenID
        const std::string c = in.str(kLongId);
        const unsigned u = uid(in);
        const bool nullId = (in.u8() & 15) == 0;
        const int r = KW_ClearReceiveOpenID(nullId ? nullptr : c.c_str(), u);
        if (nullId) {
          if (r != -1) fail("removal with a null channel id accepted");
          break;
        }
        int want = -1;
        const auto it = model.rev.find({c, u});
        if (it != model.rev.end()) {
          const unsigned long long g = it->second;
          model.rev.erase(it);
          want = model.fwd.erase(g) ? 0 : -1;
        }
        if (r != want) fail("removal result differs from the registry model");
        break;
      }
      case 5:
        SetTransferRecordingData(in.u8() & 1);
        break;
      case 6:
        SetTransferPlayoutData(in.u8() & 1);
        break;
      case 7:
      case 8:
      case 9:
      case 10: {  // the four buffer callbacks, sometimes with a null buffer
        const uint8_t kind = in.u8() % 4;
        std::unique_ptr<ExactProxy> proxy = makeProxy(in);
        ExactProxy* p = (in.u8() & 15) == 0 ? nullptr : proxy.get();
        const uint16_t filledBefore = proxy->filled_;
        if (kind == 0) GetRecodeAudioFrame(p);
        if (kind == 1) PushRecodeAudioFrameAfterEffect(p);
        if (kind == 2) GetPlayoutAudioFrameByUid(p, gameObjectId(in));
        if (kind == 3) PushPlayoutAudioFrameAfterEffect(p);
        if (proxy->markStates_ != proxy->setFilled_) fail("MarkState without SetFilledFrames");
        if ((kind & 1) && proxy->setFilled_ != 0) fail("a push changed FilledFrames");
        if ((kind & 1) && proxy->filled_ != filledBefore) fail("a push changed FilledFrames");
        break;
      }
      case 12: {  // KW_SetWwiseSampleRate, the rates studios use and the edges
        static const int kRates[] = {0,     -1,    7999,  8000,  11025, 16000, 22050,
                                     24000, 32000, 44100, 48000, 96000, 96001};
        const uint8_t pick = in.u8();
        const int rate = pick < 13 * 16 ? kRates[pick % 13] : static_cast<int>(in.u32());
        const int r = KW_SetWwiseSampleRate(rate);
        const bool servable = rate >= 8000 && rate <= 96000;
        if (r != (servable ? 0 : -1)) fail("rate result differs from the rates served");
        break;
      }
      default: {
        media::IAudioFrameObserver* obs = engine.mediaEngine().observer();
        if (obs != nullptr) observerOp(in, obs);
        break;
      }
    }
  }
  KW_UninitKivraWwisePlugin();
  KW_SetWwiseSampleRate(48000);  // the next input starts as the first did
  // The stand-in SDK keeps every setter call; forget them so that no input
  // looks like a leak to libFuzzer's malloc/free balance.
  kivra::standin::resetPluginCallbacks();
  if (engine.mediaEngine().observer() != nullptr) fail("observer still registered after uninit");
  for (const kivra::standin::PushedFrame& f : engine.mediaEngine().pushedFrames()) {
    if (f.frame.channels != 2 || f.frame.samplesPerSec < 8000 || f.frame.samplesPerSec > 96000 ||
        f.frame.type != media::FRAME_TYPE_PCM16 || f.frame.bytesPerSample != 2)
      fail("malformed frame pushed to a track");
    if (f.frame.samplesPerChannel < 0 || f.frame.samplesPerChannel > 65535 ||
        f.samples.size() != static_cast<size_t>(f.frame.samplesPerChannel) * 2)
      fail("pushed frame's size is wrong");
  }
  return 0;
}

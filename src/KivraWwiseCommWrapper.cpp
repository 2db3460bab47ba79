#include "KivraWwiseCommWrapper.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "KivraCommConversion.h"
#include "KivraCommFormat.h"
#include "KivraCommLog.h"
#include "KivraWwiseCommHandlerKivraInterface.h"

using kivra::media::AudioFrame;
using kivra::media::AudioParams;

KivraWwiseCommWrapper* KivraWwiseCommWrapper::m_instance_ = nullptr;

namespace {

// An engine frame over interleaved 16-bit samples the bridge owns; every
// field not set here is 0.
AudioFrame pcm16Frame(int16_t* samples, int samplesPerChannel, int channels, int sampleRate) {
  AudioFrame frame{};
  frame.type = kivra::media::FRAME_TYPE_PCM16;
  frame.samplesPerChannel = samplesPerChannel;
  frame.bytesPerSample = kivra::media::TWO_BYTES_PER_SAMPLE;
  frame.channels = channels;
  frame.samplesPerSec = sampleRate;
  frame.buffer = samples;
  return frame;
}

// 200 ms of 48 kHz stereo, in 16-bit values: the queues' length until
// another rate is served (kivra::format::queueSamples).
constexpr uint32_t kStreamBufferSize = 19200;

// An engine frame labelled with another rate than the one served (0: not
// labelled, taken as served).
bool otherRate(const AudioFrame& frame, int served) {
  return frame.samplesPerSec != 0 && frame.samplesPerSec != served;
}

// Valid frames of a Wwise buffer that the bridge may read: never more than
// the buffer holds, whatever FilledFrames() reports.
int validFrames(IAkAudioBufferProxy* buffer) {
  return std::min<int>(buffer->FilledFrames(), buffer->CapacityFrames());
}

// The 16-bit values an engine frame carries: 0 for an empty frame, -1 for one
// that cannot be read (negative sizes, or samples without a buffer).
int64_t frameSamples(const AudioFrame& frame) {
  if (frame.channels < 0 || frame.samplesPerChannel < 0) return -1;
  const int64_t n = static_cast<int64_t>(frame.channels) * frame.samplesPerChannel;
  if (n > 0 && frame.buffer == nullptr) return -1;
  return n;
}

// A buffer without channels holds no audio: it is ignored like a null one,
// so that nothing is taken from a queue for it.
bool unusable(IAkAudioBufferProxy* buffer) {
  return buffer == nullptr || buffer->ChannelCount() == 0;
}

// Ring-buffer lengths are int; a larger frame can never fit and is refused.
int ringLength(int64_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

void silenceFrame(AudioFrame& frame, int64_t n) {
  if (n > 0) std::memset(frame.buffer, 0, static_cast<size_t>(n) * sizeof(int16_t));
}

const char* orEmpty(const char* s) { return s != nullptr ? s : ""; }

using Latency = KivraCommLatencyController;

// One line per correction the latency controller made; written after the
// stream lock is released. `stream` names the queue ("uplink", "reverse",
// "downlink uid 7 channel room1").
void logLatencyAction(const char* stream, const Latency::Action& a) {
  if (a.staleEnded) {
    KV_LOG("latency %s: pulled again; %d more frames of stale audio were replaced meanwhile",
           stream, a.staleReplacedFrames);
  }
  switch (a.kind) {
    case Latency::ActionKind::None:
      return;
    case Latency::ActionKind::QuietRemoval:
      KV_LOG(
          "latency %s: removed %d frames in a quiet stretch (standing backlog %d frames, "
          "target %d)",
          stream, a.frames, a.backlog, a.target);
      return;
    case Latency::ActionKind::CrossfadeRemoval:
      KV_LOG(
          "latency %s: removed %d frames with a %d-frame crossfade (standing backlog %d "
          "frames, target %d)",
          stream, a.frames, a.fadeFrames, a.backlog, a.target);
      return;
    case Latency::ActionKind::QuietInsertion:
      KV_LOG(
          "latency %s: inserted %d frames of silence in a quiet stretch (backlog %d frames "
          "from target %d)",
          stream, a.frames, a.backlog, a.target);
      return;
    case Latency::ActionKind::FadeInsertion:
      KV_LOG(
          "latency %s: inserted %d frames of silence between %d-frame fades (backlog %d "
          "frames from target %d)",
          stream, a.frames, a.fadeFrames, a.backlog, a.target);
      return;
  }
}

void logStale(const char* stream, const Latency::StaleEvent& e) {
  if (!e.happened) return;
  KV_LOG(
      "latency %s: queue full for longer than it holds, %d stale frames discarded; the "
      "newest audio replaces the oldest until it is pulled again",
      stream, e.frames);
}

// "downlink uid 7 channel room1", without heap use.
struct TalkerName {
  char text[96];
  TalkerName(kivra::rtc::uid_t uid, const char* channelId) {
    std::snprintf(text, sizeof(text), "downlink uid %u channel %s", static_cast<unsigned>(uid),
                  channelId);
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Creation and destruction

KivraWwiseCommWrapper::KivraWwiseCommWrapper()
    : m_rec_proc_buffer_(std::make_unique<KivraCommCircularBuffer>(kStreamBufferSize)),
      m_rec_org_buffer_(std::make_unique<KivraCommCircularBuffer>(kStreamBufferSize)),
      m_playback_proc_buffer_(std::make_unique<KivraCommCircularBuffer>(kStreamBufferSize)),
      m_rec_pop_scratch_(kMaxBlockSamples),
      m_rec_push_scratch_(kMaxBlockSamples),
      m_play_pop_scratch_(kMaxBlockSamples),
      m_reverse_push_scratch_(kMaxBlockSamples) {
  KV_LOG("Kivra wwise wrapper construct");
  KV_LOG("Reverse audio buffer size: %d(%d), record buffer size %d",
         static_cast<int>(kStreamBufferSize),
         static_cast<int>(m_playback_proc_buffer_->mInt16BufferCapacity),
         static_cast<int>(kStreamBufferSize));
  resetPlayState();
  resetRecordState();
  resetReverseState();
}

KivraWwiseCommWrapper::~KivraWwiseCommWrapper() = default;

KivraWwiseCommWrapper* KivraWwiseCommWrapper::getInstance() {
  if (m_instance_ == nullptr) {
    // Out of memory must not throw into the game: the front end reports a
    // null instance as a failed binding.
    try {
      m_instance_ = new KivraWwiseCommWrapper();
    } catch (...) {
      m_instance_ = nullptr;
    }
  }
  return m_instance_;
}

bool KivraWwiseCommWrapper::destroyInstance(KivraWwiseCommWrapper* p) {
  if (p == nullptr || p != m_instance_) return false;
  delete p;
  m_instance_ = nullptr;
  return true;
}

// ---------------------------------------------------------------------------
// Configuration and observer answers

void KivraWwiseCommWrapper::setEngine(kivra::rtc::IRtcEngine* engine) { m_pEngine = engine; }

void KivraWwiseCommWrapper::setFeature(bool disableWwiseUplink, bool disableWwiseDownlink) {
  m_disable_uplink_proc_ = disableWwiseUplink;
  m_disable_downlink_proc_ = disableWwiseDownlink;
}

void KivraWwiseCommWrapper::setSendTrackIdDirectAdvanced(int trackId) {
  m_send_track_id_direct_advanced = trackId;
}

void KivraWwiseCommWrapper::setSendTrackIdAecReference(int trackId) {
  m_send_track_id_aec_reference = trackId;
}

int KivraWwiseCommWrapper::getObservedAudioFramePosition() {
  int position = kivra::media::AUDIO_FRAME_POSITION_NONE;
  if (!m_disable_uplink_proc_) position += kivra::media::AUDIO_FRAME_POSITION_RECORD;
  if (!m_disable_downlink_proc_) {
    position += kivra::media::AUDIO_FRAME_POSITION_PLAYBACK +
                kivra::media::AUDIO_FRAME_POSITION_BEFORE_MIXING;
  }
  return position;
}

// The engine is asked for 10 ms periods at the rate served: the bridge
// itself never resamples.
AudioParams KivraWwiseCommWrapper::getPlaybackAudioParams() {
  const int rate = m_rec_samplerate;
  return AudioParams{rate, m_play_channels, kivra::media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE,
                     kivra::format::periodFrames(rate) * m_play_channels};
}

AudioParams KivraWwiseCommWrapper::getRecordAudioParams() {
  const int rate = m_rec_samplerate;
  return AudioParams{rate, m_rec_channels, kivra::media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE,
                     kivra::format::periodFrames(rate) * m_rec_channels};
}

AudioParams KivraWwiseCommWrapper::getMixedAudioParams() {
  const int rate = m_rec_samplerate;
  return AudioParams{rate, m_play_channels, kivra::media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE,
                     kivra::format::periodFrames(rate) * m_play_channels};
}

AudioParams KivraWwiseCommWrapper::getEarMonitoringAudioParams() {
  return AudioParams{0, 0, kivra::media::RAW_AUDIO_FRAME_OP_MODE_READ_ONLY, 0};
}

bool KivraWwiseCommWrapper::onMixedAudioFrame(const char* channelId, AudioFrame& audioFrame) {
  (void)channelId;
  (void)audioFrame;
  return false;
}

bool KivraWwiseCommWrapper::onEarMonitoringAudioFrame(AudioFrame& audioFrame) {
  (void)audioFrame;
  return false;
}

// ---------------------------------------------------------------------------
// Sample rate

KivraWwiseCommWrapper::RateQueues KivraWwiseCommWrapper::makeRateQueues(int rate, size_t talkers) {
  RateQueues q;
  if (!kivra::format::servableRate(rate)) return q;
  const uint32_t samples = kivra::format::queueSamples(rate);
  try {
    q.record = std::make_unique<KivraCommCircularBuffer>(samples);
    q.effect = std::make_unique<KivraCommCircularBuffer>(samples);
    q.reverse = std::make_unique<KivraCommCircularBuffer>(samples);
    q.talkers.reserve(talkers);
    for (size_t i = 0; i < talkers; ++i)
      q.talkers.push_back(std::make_unique<KivraCommCircularBuffer>(samples));
  } catch (...) {
    return RateQueues();
  }
  return q;
}

size_t KivraWwiseCommWrapper::talkerCount() {
  std::lock_guard<KivraCommAudioMutex> guard(m_player_data_lock_);
  return m_player_buffer_map_.size();
}

bool KivraWwiseCommWrapper::setSampleRate(int rate) {
  RateQueues queues = makeRateQueues(rate, talkerCount());
  return applySampleRate(rate, queues);
}

bool KivraWwiseCommWrapper::applySampleRate(int rate, RateQueues& queues) {
  if (!kivra::format::servableRate(rate) || !queues.complete()) return false;
  // Each queue is swapped and restarted under its own lock, one at a time; the
  // rate is stored first, so a frame of the old rate arriving meanwhile is
  // told apart by its label and dropped.
  m_quiet_drops_left_ = kQuietDropsAfterChange;
  m_rate_before_change_ = m_rec_samplerate.exchange(rate);
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_rec_data_lock_);
    std::swap(m_rec_org_buffer_, queues.record);
    m_rec_latency_.setSampleRate(rate);
    m_rate_watch_.restart(rate);
  }
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_rec_proc_data_lock_);
    std::swap(m_rec_proc_buffer_, queues.effect);
  }
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_play_proc_data_lock_);
    std::swap(m_playback_proc_buffer_, queues.reverse);
    m_playback_latency_.setSampleRate(rate);
  }
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_player_data_lock_);
    size_t next = 0;
    for (auto& entry : m_player_buffer_map_) {
      if (next < queues.talkers.size())
        std::swap(entry.second->player_buffer, queues.talkers[next++]);
      entry.second->latency.setSampleRate(rate);
    }
  }
  resetRecordState();
  resetReverseState();
  resetPlayState();
  m_rec_rate_log_.flush();
  m_play_rate_log_.flush();
  return true;
}

bool KivraWwiseCommWrapper::quietDrop(const AudioFrame& frame) {
  return frame.samplesPerSec == m_rate_before_change_ && m_quiet_drops_left_.fetch_sub(1) > 0;
}

// ---------------------------------------------------------------------------
// Transfer switches and resets

void KivraWwiseCommWrapper::setTransferRecordDataState(bool enable) {
  if (m_disable_uplink_proc_) {
    KV_LOG("%s Already config bypass wwise uplink proc", "setTransferRecordDataState");
    return;
  }
  if (enable && !m_rec_trans_state_) {
    resetRecordState();
    resetReverseState();
  }
  m_rec_trans_state_ = enable;
  KV_LOG("%s enable %d", "setTransferRecordDataState", enable ? 1 : 0);
}

void KivraWwiseCommWrapper::setTransferPlayerDataState(bool enable) {
  logTransferPlayerDataState(switchTransferPlayerDataState(enable));
}

KivraWwiseCommWrapper::TransferSwitch KivraWwiseCommWrapper::switchTransferPlayerDataState(
    bool enable) {
  if (m_disable_downlink_proc_) return TransferSwitch{true, enable};
  if (enable && !m_play_trans_state_) resetPlayState();
  m_play_trans_state_ = enable;
  return TransferSwitch{false, enable};
}

void KivraWwiseCommWrapper::logTransferPlayerDataState(TransferSwitch done) {
  if (done.bypassed) {
    KV_LOG("%s Already config bypass wwise downlink proc", "setTransferPlayerDataState");
  } else {
    KV_LOG("%s enable %d", "setTransferPlayerDataState", done.enable ? 1 : 0);
  }
}

void KivraWwiseCommWrapper::resetPlayState() {
  std::lock_guard<KivraCommAudioMutex> guard(m_player_data_lock_);
  for (auto& entry : m_player_buffer_map_) {
    entry.second->player_buffer->Reset();
    entry.second->latency.restart();
    entry.second->transfer_start = false;
    entry.second->overflow_log.flush();
  }
  m_player_missing_log_.flush();
}

void KivraWwiseCommWrapper::resetRecordState() {
  // Each half under its own stream lock, one at a time.
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_rec_data_lock_);
    m_total_record_frames_ = 0;
    m_rec_org_buffer_->Reset();
    m_rec_latency_.restart();
    m_rate_watch_.restart(m_rec_samplerate);
  }
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_rec_proc_data_lock_);
    m_total_effect_frames_ = 0;
    m_rec_proc_buffer_->Reset();
  }
  m_rec_overflow_log_.flush();
  m_rec_not_started_log_.flush();
  m_rec_not_ready_log_.flush();
}

void KivraWwiseCommWrapper::resetReverseState() {
  std::lock_guard<KivraCommAudioMutex> guard(m_play_proc_data_lock_);
  m_playback_proc_buffer_->Reset();
  m_playback_latency_.restart();
  m_first_reverse_push_ = false;
  m_first_reverse_pop_ = false;
  m_total_reverse_frames_ = 0;
  m_reverse_overflow_log_.flush();
  m_reverse_wait_log_.flush();
  m_reverse_not_available_log_.flush();
}

// ---------------------------------------------------------------------------
// Conversions

void KivraWwiseCommWrapper::AkBufferToInt16Buf(IAkAudioBufferProxy* buffer, int16_t* out,
                                               int channels) {
  if (buffer == nullptr || out == nullptr || channels <= 0) return;
  kivra::format::toInterleaved(buffer, out, channels, validFrames(buffer));
}

void KivraWwiseCommWrapper::Int16BufToAkBuffer(IAkAudioBufferProxy* buffer, int16_t* in,
                                               int channels, int frames) {
  if (buffer == nullptr) return;
  frames = std::max(0, std::min<int>(frames, buffer->CapacityFrames()));
  kivra::format::fromInterleaved(in, channels, buffer, frames);
  buffer->SetFilledFrames(static_cast<uint16_t>(frames));
}

void KivraWwiseCommWrapper::FloatToInt16(float* in, int16_t* out, int count) {
  if (in == nullptr || out == nullptr) {
    KV_LOG("in %p, out %p fatal", static_cast<void*>(in), static_cast<void*>(out));
    return;
  }
  kivra::convert::convertFloats(in, out, count);
}

// ---------------------------------------------------------------------------
// Uplink

bool KivraWwiseCommWrapper::onRecordAudioFrame(const char* channelId, AudioFrame& audioFrame) {
  const int64_t totalSamples = frameSamples(audioFrame);
  bool overflow = false;
  bool on = false;
  int rate = 0;
  Latency::StaleEvent stale;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_rec_data_lock_);
    // Read under the queue's lock: a rate change stores the rate before it
    // swaps the queue, so no frame of the old rate reaches the new queue.
    rate = m_rec_samplerate;
    on = m_rec_trans_state_ && !otherRate(audioFrame, rate);
    if (on && audioFrame.samplesPerChannel > 0)
      m_rate_watch_.engineFrames(audioFrame.samplesPerChannel);
    if (on && totalSamples > 0) {
      const int n = ringLength(totalSamples);
      if (m_rec_latency_.push(*m_rec_org_buffer_, static_cast<int16_t*>(audioFrame.buffer), n,
                              &stale) != Latency::PushResult::Refused) {
        m_total_record_frames_ += n;
      } else {
        overflow = true;
      }
    }
  }
  logStale("uplink", stale);
  if (!otherRate(audioFrame, rate)) {
    m_rate_before_change_ = 0;
    m_rec_rate_log_.end();
  } else if (!quietDrop(audioFrame)) {
    // Queued, it would play at the wrong speed and pitch.
    m_rec_rate_log_.log("%s engine frame at %d Hz while the bridge serves %d Hz, dropped",
                        "onRecordAudioFrame", audioFrame.samplesPerSec, rate);
  }
  if (overflow) {
    m_rec_overflow_log_.log("[zn] %s channelId %s record data is overflow, check why not consume",
                            "onRecordAudioFrame", orEmpty(channelId));
  } else {
    m_rec_overflow_log_.end();
  }
  // The engine's own copy always leaves silent: the voice goes out through Wwise.
  silenceFrame(audioFrame, totalSamples);
  return on;
}

bool KivraWwiseCommWrapper::popOriginRecordAudioFrame(IAkAudioBufferProxy* pBuffer) {
  if (unusable(pBuffer) || !m_rec_trans_state_) return false;
  const int capacity = pBuffer->CapacityFrames();
  int frames = 0;
  bool started = false;
  bool popped = false;
  Latency::Action action;
  kivra::format::RateWatch::Verdict rate;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_rec_data_lock_);
    rate = m_rate_watch_.wwisePull(capacity);
    if (m_total_record_frames_ != 0) {
      started = true;
      frames = std::min(m_rec_org_buffer_->GetAvailableFrames() / m_rec_channels, capacity);
      const int size = frames * m_rec_channels;
      popped = m_rec_latency_.pull(*m_rec_org_buffer_, m_rec_pop_scratch_.data(), size,
                                   capacity * m_rec_channels, &action) == size;
    }
  }
  logLatencyAction("uplink", action);
  if (rate.warn) {
    KV_LOG(
        "wwise pulls at about %d Hz while the bridge serves %d Hz: tell the bridge Wwise's rate "
        "with KW_SetWwiseSampleRate",
        rate.seenRate, m_rec_samplerate.load());
  }
  if (!started) {
    m_rec_not_started_log_.log("sdk not start save record data yet");
    return false;
  }
  m_rec_not_started_log_.end();
  if (!popped) {
    m_rec_not_ready_log_.log("sdk record data is not ready");
    return false;
  }
  m_rec_not_ready_log_.end();
  Int16BufToAkBuffer(pBuffer, m_rec_pop_scratch_.data(), m_rec_channels, frames);
  pBuffer->MarkState(kBufferStateFilled);
  return true;
}

bool KivraWwiseCommWrapper::pushRecordAudioFrameAfterEffect(IAkAudioBufferProxy* pBuffer) {
  if (unusable(pBuffer) || !m_rec_trans_state_) return false;
  const int frames = validFrames(pBuffer);
  bool first = false;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_rec_proc_data_lock_);
    first = m_total_effect_frames_ == 0;
    m_total_effect_frames_ += frames;
  }
  if (first) {
    KV_LOG("%s first record effect data arrive, frames %d, channel %d",
           "pushRecordAudioFrameAfterEffect", frames, static_cast<int>(pBuffer->ChannelCount()));
  }

  const int totalSamples = frames * m_rec_channels;
  AkBufferToInt16Buf(pBuffer, m_rec_push_scratch_.data(), m_rec_channels);
  AudioFrame frame = pcm16Frame(m_rec_push_scratch_.data(), totalSamples / m_rec_channels,
                                m_rec_channels, m_rec_samplerate);
  // Without a bound media engine there is nowhere to send the block.
  kivra::media::IMediaEngine* engine = m_kivra_media_engine;
  if (engine != nullptr) engine->pushFrameToTrack(&frame, m_send_track_id_direct_advanced);

  // The processed microphone goes out through the engine, not through Wwise.
  kivra::format::silence(pBuffer, frames);
  return engine != nullptr;
}

bool KivraWwiseCommWrapper::popRecordAudioFrameAfterEffect(AudioFrame& audioFrame) {
  const int64_t n = frameSamples(audioFrame);
  std::lock_guard<KivraCommAudioMutex> guard(m_rec_proc_data_lock_);
  if (!m_rec_trans_state_ || n <= 0) return false;
  const int length = ringLength(n);
  return m_rec_proc_buffer_->Pop(static_cast<int16_t*>(audioFrame.buffer), length) == length;
}

// ---------------------------------------------------------------------------
// Downlink

void KivraWwiseCommWrapper::setReceiveOpenIDWithGameObjectID(unsigned long long gameObjectId,
                                                             const std::string& channelId,
                                                             const kivra::rtc::uid_t& uid) {
  // Built before the lock the engine's per-talker callback waits on; the
  // record it replaces is freed after it.
  RemoteUserNode record = makeRemoteUser(channelId, uid, m_rec_samplerate);
  const bool built = !record.empty();
  RemoteUserNode replaced;
  if (built) replaced = installRemoteUser(std::move(record));
  logRemoteUser(gameObjectId, channelId, uid, built, !replaced.empty());
}

KivraWwiseCommWrapper::RemoteUserNode KivraWwiseCommWrapper::makeRemoteUser(
    const std::string& channelId, kivra::rtc::uid_t uid, int rate) {
  if (!kivra::format::servableRate(rate)) rate = kDefaultValueOfSampleRate;
  try {
    auto record = std::make_unique<RemoteUserController>();
    // 200 ms of the talker's audio.
    record->player_buffer =
        std::make_unique<KivraCommCircularBuffer>(kivra::format::queueSamples(rate));
    record->latency.setSampleRate(rate);
    RemoteUserMap staging;
    staging.emplace(RemoteUserKey(channelId, uid), std::move(record));
    return staging.extract(staging.begin());
  } catch (...) {
    return RemoteUserNode();
  }
}

KivraWwiseCommWrapper::RemoteUserNode KivraWwiseCommWrapper::installRemoteUser(
    RemoteUserNode record) {
  if (record.empty()) return record;
  std::lock_guard<KivraCommAudioMutex> guard(m_player_data_lock_);
  auto it = m_player_buffer_map_.find(record.key());
  if (it == m_player_buffer_map_.end()) {
    m_player_buffer_map_.insert(std::move(record));
    return RemoteUserNode();
  }
  // Same key: the new record takes the old one's place, the node carries the
  // old one out.
  std::swap(it->second, record.mapped());
  return record;
}

KivraWwiseCommWrapper::RemoteUserNode KivraWwiseCommWrapper::takeRemoteUser(
    const std::string& channelId, kivra::rtc::uid_t uid) {
  const std::pair<std::string_view, uint32_t> key(channelId, uid);
  std::lock_guard<KivraCommAudioMutex> guard(m_player_data_lock_);
  auto it = m_player_buffer_map_.find(key);
  if (it == m_player_buffer_map_.end()) return RemoteUserNode();
  return m_player_buffer_map_.extract(it);
}

void KivraWwiseCommWrapper::logRemoteUser(unsigned long long gameObjectId,
                                          const std::string& channelId, kivra::rtc::uid_t uid,
                                          bool built, bool reused) {
  KV_LOG("%s set channel id %s and user id %d for game %lld", "setReceiveOpenIDWithGameObjectID",
         channelId.c_str(), static_cast<int>(uid), static_cast<long long>(gameObjectId));
  if (!built) {
    KV_LOG("%s out of memory for uid %d, channel %s", "setReceiveOpenIDWithGameObjectID",
           static_cast<int>(uid), channelId.c_str());
    return;
  }
  if (reused) KV_LOG("warning, please check why userID %d is reused", static_cast<int>(uid));
  KV_LOG(" create buffer for uid %d, channel %s", static_cast<int>(uid), channelId.c_str());
}

bool KivraWwiseCommWrapper::onPlaybackAudioFrameBeforeMixing(const char* channelId,
                                                             kivra::rtc::uid_t uid,
                                                             AudioFrame& audioFrame) {
  const std::pair<std::string_view, uint32_t> key(orEmpty(channelId), uid);
  const int64_t n = frameSamples(audioFrame);
  Latency::StaleEvent stale;
  int rate = 0;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_player_data_lock_);
    auto it = m_player_buffer_map_.find(key);
    if (it == m_player_buffer_map_.end() || n < 0) return false;
    // Under the lock, as for the uplink: the rate is stored before the swap.
    rate = m_rec_samplerate;
    if (!otherRate(audioFrame, rate)) {
      if (n == 0) return true;  // nothing to queue, nothing lost
      RemoteUserController& user = *it->second;
      KivraCommCircularBuffer& ring = *user.player_buffer;
      const int length = ringLength(n);
      if (user.latency.push(ring, static_cast<int16_t*>(audioFrame.buffer), length, &stale) ==
          Latency::PushResult::Refused) {
        // Paced under the lock: the game may free the record once it is released.
        user.overflow_log.log("%s playback uid %d data overflow max(%d), avail(%d), drop(%d)",
                              "onPlaybackAudioFrameBeforeMixing", static_cast<int>(uid),
                              static_cast<int>(ring.mInt16BufferCapacity),
                              ring.GetAvailableFrames(), length);
        return false;
      }
      user.overflow_log.end();
    }
  }
  if (otherRate(audioFrame, rate)) {
    if (!quietDrop(audioFrame)) {
      m_play_rate_log_.log("%s engine frame at %d Hz while the bridge serves %d Hz, dropped",
                           "onPlaybackAudioFrameBeforeMixing", audioFrame.samplesPerSec, rate);
    }
    return false;
  }
  if (stale.happened) logStale(TalkerName(uid, orEmpty(channelId)).text, stale);
  return true;
}

bool KivraWwiseCommWrapper::popOriginPlayerAudioFrameByUid(IAkAudioBufferProxy* pBuffer,
                                                           const char* channelId,
                                                           kivra::rtc::uid_t uid,
                                                           KivraCommLogRepeat* missingLog) {
  if (unusable(pBuffer)) return false;
  const std::pair<std::string_view, uint32_t> key(orEmpty(channelId), uid);
  const int capacity = pBuffer->CapacityFrames();
  bool found = false;
  bool firstConsume = false;
  bool popped = false;
  int available = 0;
  int frames = 0;
  Latency::Action action;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_player_data_lock_);
    auto it = m_player_buffer_map_.find(key);
    if (it != m_player_buffer_map_.end()) {
      found = true;
      RemoteUserController& user = *it->second;
      available = user.player_buffer->GetAvailableFrames() / m_play_channels;
      firstConsume = !user.transfer_start;
      user.transfer_start = true;
      frames = std::min(available, capacity);
      const int size = frames * m_play_channels;
      popped = user.latency.pull(*user.player_buffer, m_play_pop_scratch_.data(), size,
                                 capacity * m_play_channels, &action) == size;
    }
  }
  if (action.kind != Latency::ActionKind::None || action.staleEnded) {
    logLatencyAction(TalkerName(uid, orEmpty(channelId)).text, action);
  }
  KivraCommLogRepeat& missing = missingLog != nullptr ? *missingLog : m_player_missing_log_;
  if (!found) {
    missing.log("%s the buffer map has no data for uid %d", "popOriginPlayerAudioFrameByUid",
                static_cast<int>(uid));
    return false;
  }
  missing.end();
  if (firstConsume) {
    KV_LOG("%s data for uid %d start to consume data(%d)", "popOriginPlayerAudioFrameByUid",
           static_cast<int>(uid), available);
  }
  if (!popped) return false;
  Int16BufToAkBuffer(pBuffer, m_play_pop_scratch_.data(), m_play_channels, frames);
  pBuffer->MarkState(kBufferStateFilled);
  return true;
}

// ---------------------------------------------------------------------------
// Reverse

bool KivraWwiseCommWrapper::pushReverseAudioFrameAfterEffect(IAkAudioBufferProxy* pBuffer) {
  if (unusable(pBuffer)) return false;
  const int frames = validFrames(pBuffer);
  if (!m_rec_trans_state_) return false;
  const int count = frames * m_play_channels;
  if (count == 0) return false;

  // The Wwise buffer itself stays as it is.
  AkBufferToInt16Buf(pBuffer, m_reverse_push_scratch_.data(), m_play_channels);
  const bool direct = m_use_direct_push_reverse_;
  bool firstPush = false;
  bool overflow = false;
  int capacity = 0;
  int available = 0;
  Latency::StaleEvent stale;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_play_proc_data_lock_);
    firstPush = !m_first_reverse_push_;
    m_first_reverse_push_ = true;
    if (!direct) {
      KivraCommCircularBuffer& ring = *m_playback_proc_buffer_;
      if (m_playback_latency_.push(ring, m_reverse_push_scratch_.data(), count, &stale) ==
          Latency::PushResult::Refused) {
        overflow = true;
        capacity = static_cast<int>(ring.mInt16BufferCapacity);
        available = ring.GetAvailableFrames();
      }
    }
    // Counted in both modes, dropped blocks included.
    m_total_reverse_frames_ += count;
  }
  if (firstPush) {
    KV_LOG("%s reverse audio frame first push %d", "pushReverseAudioFrameAfterEffect", count);
  }
  logStale("reverse", stale);
  if (direct) {
    kivra::media::IMediaEngine* engine = m_kivra_media_engine;
    if (engine == nullptr) return false;
    AudioFrame frame = pcm16Frame(m_reverse_push_scratch_.data(), count / m_play_channels,
                                  m_play_channels, m_rec_samplerate);
    engine->pushFrameToTrack(&frame, m_send_track_id_aec_reference);
  } else if (overflow) {
    m_reverse_overflow_log_.log(
        "%s reverse float audio frame overflow max(%d), avail(%d), drop(%d)",
        "pushReverseAudioFrameAfterEffect", capacity, available, count);
  } else {
    m_reverse_overflow_log_.end();
  }
  return true;
}

bool KivraWwiseCommWrapper::onPlaybackAudioFrame(const char* channelId, AudioFrame& audioFrame) {
  (void)channelId;
  if (m_use_direct_push_reverse_) return true;

  // An empty or unreadable frame has nothing to play; the queue stays as it is.
  const int64_t n = frameSamples(audioFrame);
  if (n <= 0) return false;
  silenceFrame(audioFrame, n);
  if (otherRate(audioFrame, m_rec_samplerate)) return false;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_play_proc_data_lock_);
    if (!m_rec_trans_state_ || m_total_reverse_frames_ == 0) return false;
  }
  if (popReverseAudioFrameAfterEffect(audioFrame)) {
    m_reverse_not_available_log_.end();
    return true;
  }

  int available = 0;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_play_proc_data_lock_);
    m_first_reverse_pop_ = false;  // buffer up again before playing
    available = m_playback_proc_buffer_->GetAvailableFrames();
  }
  m_reverse_not_available_log_.log("%s reverse data is not avaliable(%d)", "onPlaybackAudioFrame",
                                   available);
  return false;
}

bool KivraWwiseCommWrapper::popReverseAudioFrameAfterEffect(AudioFrame& audioFrame) {
  const int64_t n = frameSamples(audioFrame);
  if (n <= 0) return false;
  const int length = ringLength(n);
  bool waiting = false;
  bool firstConsume = false;
  bool popped = false;
  int available = 0;
  long long total = 0;
  Latency::Action action;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_play_proc_data_lock_);
    if (!m_rec_trans_state_) return false;
    available = m_playback_proc_buffer_->GetAvailableFrames();
    if (available > 0 && !m_first_reverse_pop_) {
      const int whole = available / audioFrame.samplesPerChannel / audioFrame.channels;
      if (whole < kDefaultNumOfReverseData) {
        waiting = true;
      } else {
        m_first_reverse_pop_ = true;
        firstConsume = true;
        total = static_cast<long long>(m_total_reverse_frames_);
        // Playing starts: the residue this first buffering leaves becomes
        // the target; after an underrun the queue is steered back to it.
        m_playback_latency_.restart(false);
      }
    }
    if (!waiting) {
      popped = m_playback_latency_.pull(*m_playback_proc_buffer_,
                                        static_cast<int16_t*>(audioFrame.buffer), length, length,
                                        &action) == length;
    }
  }
  logLatencyAction("reverse", action);
  if (waiting) {
    m_reverse_wait_log_.log("%s reverse audio frame wait for buffreing avaliable %d",
                            "popReverseAudioFrameAfterEffect", available);
    return false;
  }
  m_reverse_wait_log_.end();
  if (firstConsume) {
    KV_LOG("%s reverse audio frame first consume avaliable %d(%lld)",
           "popReverseAudioFrameAfterEffect", available, total);
  }
  return popped;
}

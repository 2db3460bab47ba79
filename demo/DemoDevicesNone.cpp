// The demo's audio devices when it was built without an audio I/O library.
#include "DemoDevices.h"

namespace kivra {
namespace demo {

struct AudioDevices::Impl {};

AudioDevices::AudioDevices() : impl_(new Impl) {}
AudioDevices::~AudioDevices() = default;

bool AudioDevices::available() { return false; }

std::string AudioDevices::unavailableReason() {
  return "this kivra_demo was built without PortAudio: install it (scripts/install-deps.sh live, "
         "or portaudio19-dev) and build again";
}

bool AudioDevices::list(std::vector<DeviceInfo>&, std::string& error) {
  error = unavailableReason();
  return false;
}

bool AudioDevices::open(const DeviceConfig&, DeviceClient&, std::string& error) {
  error = unavailableReason();
  return false;
}

bool AudioDevices::start(std::string& error) {
  error = unavailableReason();
  return false;
}

void AudioDevices::stop() {}

}  // namespace demo
}  // namespace kivra
